// Coding-independent code points (H.273: primaries, transfer, matrix, full
// range), as a PNG's cICP chunk holds them, mapped to a JPEG XL colour
// encoding the way cjxl maps them.
#pragma once

#include <jxl/color_encoding.h>

#include <array>
#include <cstdint>
#include <optional>

namespace tessara {

// The encoding of RGB samples (or grey, with `grey`) so labelled; nothing
// when JPEG XL has no encoding for them (a YCbCr matrix, narrow range, or
// primaries or a transfer it cannot express).
std::optional<JxlColorEncoding> color_encoding_from_cicp(const std::array<uint8_t, 4>& cicp,
                                                         bool grey) noexcept;

// The code points of RGB (or grey) samples in `encoding`, as a PNG's cICP
// chunk labels them; nothing for an encoding they cannot name (primaries or
// a white point given by chromaticities, a gamma other than 2.2 and 2.8, an
// unknown transfer, XYB).
std::optional<std::array<uint8_t, 4>> cicp_from_color_encoding(
    const JxlColorEncoding& encoding) noexcept;

}  // namespace tessara
