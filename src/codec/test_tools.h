// What a C++ test does when a command-line tool it needs is missing: under
// tools/dev, whose root installs every tool (it sets TESSARA_TOOLS_REQUIRED),
// the test fails, because a skip would hide a broken set-up; elsewhere it is
// skipped.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#define TESSARA_TOOL_MISSING(name)                                                         \
  do {                                                                                     \
    if (std::getenv("TESSARA_TOOLS_REQUIRED") != nullptr) FAIL() << name " cannot be run"; \
    GTEST_SKIP() << name " cannot be run";                                                 \
  } while (0)
