// The one way the bindings include CPython's headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
