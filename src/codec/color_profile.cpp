// encoding_of_profile: libjxl's CMS names the encoding a profile looks like;
// only a profile libjxl renders the same, byte for byte, is taken for it, so
// that storing the encoding changes neither a colour nor a byte of the
// profile a reader gets back.
#include "codec/color_profile.h"

#include <jxl/cms.h>
#include <jxl/encode_cxx.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "codec/encoder_status.h"
#include "codec/facts.h"
#include "codec/memory.h"

namespace tessara {
namespace {

using Rendered = Result<std::optional<std::vector<uint8_t>>, EncodeError>;

// libjxl writes its own name as the profile's CMM (bytes 4 to 7 of the
// header): a profile without it cannot be one libjxl wrote, and is passed
// over before the CMS spends milliseconds probing its curves.
constexpr std::array<uint8_t, 4> kLibjxlCmm = {'j', 'x', 'l', ' '};
constexpr size_t kIccHeaderSize = 128;

bool written_by_libjxl(std::span<const uint8_t> icc) noexcept {
  return icc.size() >= kIccHeaderSize &&
         std::memcmp(icc.data() + 4, kLibjxlCmm.data(), kLibjxlCmm.size()) == 0;
}

// The profile libjxl writes for `color`: that of a one-pixel lossless file
// declared in it, as a decoder reports it. Nothing when libjxl cannot store
// the encoding (an unknown transfer function, say).
Rendered profile_libjxl_writes(const JxlColorEncoding& color) noexcept {
  const std::optional<JxlEncoder*> created =
      allocating_call([] { return JxlEncoderCreate(nullptr); });
  if (!created || *created == nullptr) return Err{EncodeError::AllocationFailed};
  JxlEncoderPtr owned(*created);
  JxlEncoder* enc = owned.get();
  const bool grey = color.color_space == JXL_COLOR_SPACE_GRAY;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = 1;
  info.ysize = 1;
  info.uses_original_profile = JXL_TRUE;
  info.num_color_channels = grey ? 1 : 3;
  const std::optional<JxlEncoderFrameSettings*> settings =
      allocating_call([&] { return JxlEncoderFrameSettingsCreate(enc, nullptr); });
  if (!settings || *settings == nullptr) return Err{EncodeError::AllocationFailed};
  const std::array<uint8_t, 3> pixel{};
  const JxlPixelFormat format{grey ? 1u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::array<uint8_t, 4096> file;  // a one-pixel file of an encoding takes a few dozen
  uint8_t* next = file.data();
  size_t avail = file.size();
  const std::optional<bool> written = allocating_call([&] {
    if (JxlEncoderSetBasicInfo(enc, &info) != JXL_ENC_SUCCESS ||
        JxlEncoderSetColorEncoding(enc, &color) != JXL_ENC_SUCCESS ||
        JxlEncoderSetFrameLossless(*settings, JXL_TRUE) != JXL_ENC_SUCCESS ||
        JxlEncoderFrameSettingsSetOption(*settings, JXL_ENC_FRAME_SETTING_EFFORT, 1) !=
            JXL_ENC_SUCCESS ||
        JxlEncoderAddImageFrame(*settings, &format, pixel.data(), format.num_channels) !=
            JXL_ENC_SUCCESS) {
      return false;
    }
    JxlEncoderCloseInput(enc);
    return JxlEncoderProcessOutput(enc, &next, &avail) == JXL_ENC_SUCCESS;
  });
  if (!written) return Err{EncodeError::AllocationFailed};
  if (!*written) {
    if (JxlEncoderGetError(enc) == JXL_ENC_ERR_OOM) return Err{EncodeError::AllocationFailed};
    return std::optional<std::vector<uint8_t>>{};
  }
  FactsScope header_only;
  header_only.all_frames = false;
  auto facts = read_facts({file.data(), static_cast<size_t>(next - file.data())}, header_only);
  if (!facts) {
    if (facts.error().kind == AnimationError::Kind::OutOfMemory) {
      return Err{EncodeError::AllocationFailed};
    }
    return std::optional<std::vector<uint8_t>>{};
  }
  return std::optional{std::move(facts.value().original_icc)};
}

}  // namespace

Result<std::optional<JxlColorEncoding>, EncodeError> encoding_of_profile(
    std::span<const uint8_t> icc) noexcept {
  if (!written_by_libjxl(icc)) return std::optional<JxlColorEncoding>{};
  const JxlCmsInterface* cms = JxlGetDefaultCms();
  JxlColorEncoding color;
  JXL_BOOL cmyk = JXL_FALSE;
  const std::optional<JXL_BOOL> parsed = allocating_call([&] {
    return cms->set_fields_from_icc(cms->set_fields_data, icc.data(), icc.size(), &color, &cmyk);
  });
  if (!parsed) return Err{EncodeError::AllocationFailed};
  if (!*parsed || cmyk) return std::optional<JxlColorEncoding>{};
  Rendered rendered = profile_libjxl_writes(color);
  if (!rendered) return Err{rendered.error()};
  const std::optional<std::vector<uint8_t>>& own = rendered.value();
  if (!own || !std::equal(own->begin(), own->end(), icc.begin(), icc.end())) {
    return std::optional<JxlColorEncoding>{};
  }
  return std::optional{color};
}

Status<EncodeError> declare_profile(JxlEncoder* encoder, std::span<const uint8_t> icc,
                                    bool lossless, bool grey) noexcept {
  using encoder_status::check_call;
  if (lossless) {
    auto encoding = encoding_of_profile(icc);
    if (!encoding) return Err{encoding.error()};
    // A grey profile for colour samples, or the reverse, is declared as the
    // profile, which libjxl refuses with its reason.
    const std::optional<JxlColorEncoding>& color = encoding.value();
    if (color && (color->color_space == JXL_COLOR_SPACE_GRAY) == grey) {
      return check_call(encoder, [&] { return JxlEncoderSetColorEncoding(encoder, &*color); });
    }
  }
  return check_call(encoder,
                    [&] { return JxlEncoderSetICCProfile(encoder, icc.data(), icc.size()); });
}

}  // namespace tessara
