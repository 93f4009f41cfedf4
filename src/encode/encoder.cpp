// The Encoder class: its mode table, the constructor that validates and
// stores the settings, and repr. Calling an Encoder is encode_call.cpp.
#include "encode/encoder.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "encode/settings.h"
#include "module/convert.h"

namespace tessara::py {
namespace {

constexpr const char* kNewParameters[] = {
    "mode",   "lossless",      "quality",
    "decoding_speed", "effort", "use_container", "use_original_profile", "num_threads"};
const SignatureSpec kNewSignature{"Encoder", "__new__", kNewParameters, 1};

struct Arguments {
  std::string_view mode;
  bool lossless = false;
  float quality = 1.0f;
  int64_t decoding_speed = 0;
  uint32_t effort = 7;
  bool use_container = false;
  bool use_original_profile = false;
  int64_t num_threads = -1;
};

Outcome<Arguments> convert_new_arguments(const ArgumentSlots& slots) {
  Arguments args;
  TESSARA_CONVERT(kNewSignature, mode, 0, to_text_view)
  TESSARA_CONVERT(kNewSignature, lossless, 1, to_bool)
  TESSARA_CONVERT(kNewSignature, quality, 2, to_float32)
  TESSARA_CONVERT(kNewSignature, decoding_speed, 3, to_int64)
  TESSARA_CONVERT(kNewSignature, effort, 4, to_uint32)
  TESSARA_CONVERT(kNewSignature, use_container, 5, to_bool)
  TESSARA_CONVERT(kNewSignature, use_original_profile, 6, to_bool)
  TESSARA_CONVERT(kNewSignature, num_threads, 7, to_int64)
  return args;
}

PyObject* Encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    Outcome<ArgumentSlots> slots = parse_arguments(kNewSignature, args, kwargs);
    if (!slots) return Err<Error>{std::move(slots.error())};
    Outcome<Arguments> given = convert_new_arguments(slots.value());
    if (!given) return Err<Error>{std::move(given.error())};
    const Arguments& a = given.value();
    std::optional<PixelType> pixel_type = pixel_type_of_mode(a.mode);
    if (!pixel_type) {
      return pending(ExcType::ValueError, "Only RGB, RGBA, L, LA, I;16, F are supported.");
    }
    if (a.decoding_speed < 0 || a.decoding_speed > 4) {
      return pending(ExcType::ValueError, "Decoding speed must be between 0 and 4");
    }
    return make_instance(type, EncoderFields{a.decoding_speed, a.num_threads, *pixel_type,
                                               a.quality, a.effort, a.lossless, a.use_container,
                                               a.use_original_profile || a.lossless});
  });
}

PyObject* Encoder_repr(PyObject* object) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    auto* self = instance_cast<EncoderFields>(object);
    Outcome<SharedHold> hold = SharedHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    const EncoderFields& s = self->payload;
    auto flag = [](bool b) { return b ? "true" : "false"; };
    std::string text = std::string("Encoder(has_alpha=") + flag(s.pixel_type.has_alpha) +
                       ", lossless=" + flag(s.lossless) +
                       ", quality=" + format_quality(s.quality) +
                       ", decoding_speed=" + std::to_string(s.decoding_speed) +
                       ", effort=" + std::to_string(s.effort) +
                       ", num_threads=" + std::to_string(s.num_threads) + ")";
    return from_text(text);
  });
}

}  // namespace

std::optional<PixelType> pixel_type_of_mode(std::string_view mode) noexcept {
  using K = PixelType::Kind;
  if (mode == "L") return PixelType{K::Uint8, 1, false};
  if (mode == "LA") return PixelType{K::Uint8, 2, true};
  if (mode == "RGB") return PixelType{K::Uint8, 3, false};
  if (mode == "RGBA") return PixelType{K::Uint8, 4, true};
  if (mode == "I;16") return PixelType{K::Uint16, 1, false};
  if (mode == "F") return PixelType{K::Float, 1, false};
  return std::nullopt;
}

std::string format_quality(float quality) {
  if (std::isnan(quality)) return "NaN";
  std::string sign = std::signbit(quality) ? "-" : "";
  if (std::isinf(quality)) return sign + "inf";
  // Shortest round-trip digits, then laid out positionally: a plain fixed
  // conversion would print 1e20 as its exact binary value instead.
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(quality),
                                 std::chars_format::scientific);
  if (ec != std::errc()) return sign + "NaN";
  std::string_view text(buffer, static_cast<size_t>(end - buffer));
  size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  // digits = d0 d1 d2 ... with the decimal point after d0, times 10^exponent.
  int point = 1 + exponent;  // position of the decimal point within digits
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (static_cast<size_t>(point) >= digits.size()) {
    out = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out = digits.substr(0, static_cast<size_t>(point)) + "." +
          digits.substr(static_cast<size_t>(point));
  }
  if (out == "0" || digits == "0") out = "0";
  return sign + out;
}

ClassSpec& encoder_class() {
  static ClassSpec spec{
      "Encoder",
      "tessara.Encoder",
      "Encoder(mode, lossless=False, quality=1.0, decoding_speed=0, effort=7, "
      "use_container=False, use_original_profile=False, num_threads=...)\n--\n\n",
      Encoder_new,
      encode_call,
      Encoder_repr,
      instance_dealloc<EncoderFields>,
      {},
      sizeof(Instance<EncoderFields>)};
  return spec;
}

}  // namespace tessara::py
