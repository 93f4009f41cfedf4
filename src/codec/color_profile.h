// The colour an encoder declares for an ICC profile: the profile itself, or,
// for a lossless file, the colour encoding libjxl's own profile stands for,
// which tools that read no ICC profile (HDR video tools) understand.
#pragma once

#include <jxl/color_encoding.h>
#include <jxl/encode.h>

#include <cstdint>
#include <optional>
#include <span>

#include "codec/errors.h"
#include "codec/result.h"

namespace tessara {

// The colour encoding whose profile, as this libjxl writes it, is `icc` byte
// for byte; nothing for every other profile (a camera's, Adobe RGB, a Display
// P3 profile another program wrote). AllocationFailed when memory runs out.
Result<std::optional<JxlColorEncoding>, EncodeError> encoding_of_profile(
    std::span<const uint8_t> icc) noexcept;

// Declares `icc` as the colour of the image whose basic info `encoder` has
// (`grey`: one colour channel): in a lossless file, as the colour encoding
// it is exactly, if it is one, so a reader gets the same profile bytes back;
// otherwise as the profile.
Status<EncodeError> declare_profile(JxlEncoder* encoder, std::span<const uint8_t> icc,
                                    bool lossless, bool grey) noexcept;

}  // namespace tessara
