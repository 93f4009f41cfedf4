// PNG files for tessara_pillow's converter, through libpng (png/png.h): the
// image at the file's own depth with its colour, Exif, XMP and animation
// facts, and the writer of the same layouts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "lib/python.h"

namespace tessara::native {

// png_read(data, max_pixels) -> (SampleBuffer, height, width, channels, dtype, facts)
// facts: (cicp or None, icc, sRGB intent (-1: none), gamma x 100000 (0:
//         none), cHRM x 100000 or None, exif, xmp, (frames, plays) or None)
PyObject* png_read(PyObject* module, PyObject* args) noexcept;

// png_write(samples, width, height, channels, dtype, cicp, icc, exif, xmp,
//           compress_level) -> bytes
PyObject* png_write(PyObject* module, PyObject* args) noexcept;

// cicp_encodable(cicp) -> whether JPEG XL has a colour encoding for it
PyObject* cicp_encodable(PyObject* module, PyObject* args) noexcept;

// `object`, None or a tuple of four ints 0-255, as code points; false with an
// exception set when it is neither.
bool parse_cicp(PyObject* object, std::optional<std::array<uint8_t, 4>>& cicp) noexcept;

}  // namespace tessara::native
