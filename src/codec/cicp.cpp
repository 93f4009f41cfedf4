// The H.273 tables for the code points JPEG XL can hold. Named primaries
// and transfers map to libjxl's enumerations; the other primaries are given
// by their chromaticities.
#include "codec/cicp.h"

#include <jxl/encode.h>

namespace tessara {
namespace {

struct Chromaticities {
  double red[2], green[2], blue[2];
  JxlWhitePoint white;
  double white_xy[2];  // used with JXL_WHITE_POINT_CUSTOM
};

void set_custom(JxlColorEncoding& c, const Chromaticities& p) noexcept {
  c.primaries = JXL_PRIMARIES_CUSTOM;
  for (int i = 0; i < 2; ++i) {
    c.primaries_red_xy[i] = p.red[i];
    c.primaries_green_xy[i] = p.green[i];
    c.primaries_blue_xy[i] = p.blue[i];
    c.white_point_xy[i] = p.white_xy[i];
  }
  c.white_point = p.white;
}

bool set_primaries(JxlColorEncoding& c, uint8_t code) noexcept {
  constexpr JxlWhitePoint D65 = JXL_WHITE_POINT_D65;
  constexpr JxlWhitePoint C = JXL_WHITE_POINT_CUSTOM;  // Illuminant C
  switch (code) {
    case 1: c.primaries = JXL_PRIMARIES_SRGB; c.white_point = D65; return true;
    case 9: c.primaries = JXL_PRIMARIES_2100; c.white_point = D65; return true;
    case 11: c.primaries = JXL_PRIMARIES_P3; c.white_point = JXL_WHITE_POINT_DCI; return true;
    case 12: c.primaries = JXL_PRIMARIES_P3; c.white_point = D65; return true;
    case 4:  // BT.470 System M
      set_custom(c, {{0.67, 0.33}, {0.21, 0.71}, {0.14, 0.08}, C, {0.310, 0.316}});
      return true;
    case 5:  // BT.470 System B, G (625-line PAL and SECAM)
      set_custom(c, {{0.64, 0.33}, {0.29, 0.60}, {0.15, 0.06}, D65, {}});
      return true;
    case 6:  // SMPTE 170M, and 240M with the same primaries
    case 7:
      set_custom(c, {{0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}, D65, {}});
      return true;
    case 8:  // generic film
      set_custom(c, {{0.681, 0.319}, {0.243, 0.692}, {0.145, 0.049}, C, {0.310, 0.316}});
      return true;
    case 10:  // CIE 1931 XYZ
      set_custom(c, {{1, 0}, {0, 1}, {0, 0}, JXL_WHITE_POINT_E, {}});
      return true;
    case 22:  // EBU Tech 3213-E
      set_custom(c, {{0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}, D65, {}});
      return true;
    default: return false;
  }
}

bool set_transfer(JxlColorEncoding& c, uint8_t code) noexcept {
  switch (code) {
    case 1:  // BT.709, and 601, 2020 10-bit and 12-bit, which share its curve
    case 6:
    case 14:
    case 15: c.transfer_function = JXL_TRANSFER_FUNCTION_709; return true;
    case 4:
      c.transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
      c.gamma = 1 / 2.2;
      return true;
    case 5:
      c.transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
      c.gamma = 1 / 2.8;
      return true;
    case 8: c.transfer_function = JXL_TRANSFER_FUNCTION_LINEAR; return true;
    case 13: c.transfer_function = JXL_TRANSFER_FUNCTION_SRGB; return true;
    case 16: c.transfer_function = JXL_TRANSFER_FUNCTION_PQ; return true;
    case 17: c.transfer_function = JXL_TRANSFER_FUNCTION_DCI; return true;
    case 18: c.transfer_function = JXL_TRANSFER_FUNCTION_HLG; return true;
    default: return false;
  }
}

std::optional<uint8_t> primaries_code(const JxlColorEncoding& c) noexcept {
  // Grey has no primaries of its own; its white is that of sRGB's.
  if (c.color_space == JXL_COLOR_SPACE_GRAY) {
    return c.white_point == JXL_WHITE_POINT_D65 ? std::optional<uint8_t>{1} : std::nullopt;
  }
  const bool d65 = c.white_point == JXL_WHITE_POINT_D65;
  switch (c.primaries) {
    case JXL_PRIMARIES_SRGB: return d65 ? std::optional<uint8_t>{1} : std::nullopt;
    case JXL_PRIMARIES_2100: return d65 ? std::optional<uint8_t>{9} : std::nullopt;
    case JXL_PRIMARIES_P3:
      if (d65) return 12;
      return c.white_point == JXL_WHITE_POINT_DCI ? std::optional<uint8_t>{11} : std::nullopt;
    default: return std::nullopt;
  }
}

std::optional<uint8_t> transfer_code(const JxlColorEncoding& c) noexcept {
  switch (c.transfer_function) {
    case JXL_TRANSFER_FUNCTION_709: return 1;
    case JXL_TRANSFER_FUNCTION_LINEAR: return 8;
    case JXL_TRANSFER_FUNCTION_SRGB: return 13;
    case JXL_TRANSFER_FUNCTION_PQ: return 16;
    case JXL_TRANSFER_FUNCTION_DCI: return 17;
    case JXL_TRANSFER_FUNCTION_HLG: return 18;
    case JXL_TRANSFER_FUNCTION_GAMMA:
      // The header stores the gamma in millionths.
      if (c.gamma > 1 / 2.2 - 1e-6 && c.gamma < 1 / 2.2 + 1e-6) return 4;
      if (c.gamma > 1 / 2.8 - 1e-6 && c.gamma < 1 / 2.8 + 1e-6) return 5;
      return std::nullopt;
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<std::array<uint8_t, 4>> cicp_from_color_encoding(
    const JxlColorEncoding& encoding) noexcept {
  if (encoding.color_space != JXL_COLOR_SPACE_RGB && encoding.color_space != JXL_COLOR_SPACE_GRAY) {
    return std::nullopt;
  }
  const std::optional<uint8_t> primaries = primaries_code(encoding);
  const std::optional<uint8_t> transfer = transfer_code(encoding);
  if (!primaries || !transfer) return std::nullopt;
  return std::array<uint8_t, 4>{*primaries, *transfer, 0, 1};
}

std::optional<JxlColorEncoding> color_encoding_from_cicp(const std::array<uint8_t, 4>& cicp,
                                                         bool grey) noexcept {
  // Only RGB (matrix 0) at full range is what the samples are.
  if (cicp[2] != 0 || cicp[3] != 1) return std::nullopt;
  JxlColorEncoding c;
  JxlColorEncodingSetToSRGB(&c, grey);
  if (!set_primaries(c, cicp[0]) || !set_transfer(c, cicp[1])) return std::nullopt;
  c.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
  c.rendering_intent = JXL_RENDERING_INTENT_RELATIVE;
  return c;
}

}  // namespace tessara
