// What the native module's functions share: a caller's bytes-like object
// borrowed in place, the numpy names of the sample kinds and the check of an
// orientation.
#pragma once

#include <jxl/codestream_header.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "codec/layouts.h"
#include "lib/python.h"

namespace tessara::native {

// A caller's bytes-like object, read in place and released on every way out.
struct Borrowed {
  Py_buffer view{};
  Borrowed() noexcept = default;
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  ~Borrowed() {
    if (view.obj != nullptr) PyBuffer_Release(&view);
  }
  std::span<const uint8_t> bytes() const noexcept {
    return {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)};
  }
};

inline const char* dtype_name(SampleKind kind) noexcept {
  switch (kind) {
    case SampleKind::Uint8: return "uint8";
    case SampleKind::Uint16: return "uint16";
    case SampleKind::Float16: return "float16";
    case SampleKind::Float: return "float32";
  }
  return "";
}

inline std::optional<SampleKind> kind_named(const char* name) noexcept {
  for (SampleKind kind : {SampleKind::Uint8, SampleKind::Uint16, SampleKind::Float16,
                          SampleKind::Float}) {
    if (std::strcmp(name, dtype_name(kind)) == 0) return kind;
  }
  return std::nullopt;
}

// An orientation argument in Exif's numbering; nothing, with ValueError set,
// for any other number.
inline std::optional<JxlOrientation> orientation_of(int value) noexcept {
  if (value < JXL_ORIENT_IDENTITY || value > JXL_ORIENT_ROTATE_90_CCW) {
    PyErr_Format(PyExc_ValueError, "orientation must be 1 to 8, not %d", value);
    return std::nullopt;
  }
  return static_cast<JxlOrientation>(value);
}

}  // namespace tessara::native
