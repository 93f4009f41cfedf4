// Conversions of Python values into the module's own values and back.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/python.h"
#include "module/errors.h"

namespace tessara::py {

// The type's __qualname__, or "<failed to extract type name>".
std::string qualified_name(PyTypeObject* type);

// "'T' object is not an instance of 'target'" (or the None form).
Err<Error> type_mismatch(PyObject* object, const char* target);

Outcome<int64_t> to_int64(PyObject* object);
Outcome<uint32_t> to_uint32(PyObject* object);
Outcome<uint8_t> to_uint8(PyObject* object);
Outcome<float> to_float32(PyObject* object);
Outcome<bool> to_bool(PyObject* object);
// Borrowed from the object: valid while the argument is referenced.
Outcome<std::string_view> to_text_view(PyObject* object);
Outcome<std::string> to_owned_text(PyObject* object);
// Read in place, never copied; `bytes` cannot change under us.
Outcome<std::span<const uint8_t>> to_bytes_view(PyObject* object);
Outcome<std::vector<uint8_t>> to_byte_vector(PyObject* object);
Outcome<std::array<uint8_t, 4>> to_byte_array4(PyObject* object);

// Result conversions; a null object is an internal fault.
Outcome<Ref> from_bool(bool value);
Outcome<Ref> from_uint32(uint32_t value);
Outcome<Ref> from_bytes(std::span<const uint8_t> bytes);
Outcome<Ref> from_text(std::string_view text);

}  // namespace tessara::py
