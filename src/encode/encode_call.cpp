// The encode call: arguments, then pixels or a JPEG file into JPEG XL.
#include <optional>
#include <span>
#include <vector>

#include <jxl/encode.h>

#include "codec/encoder.h"
#include "codec/runner.h"
#include "lib/lock.h"

#include "encode/settings.h"
#include "module/call.h"
#include "module/classes.h"
#include "module/convert.h"

namespace tessara::py {
namespace {

constexpr const char* kCallParameters[] = {"data", "width", "height", "jpeg_encode",
                                           "exif", "jumb",  "xmp",    "compress"};
const SignatureSpec kCallSignature{"Encoder", "__call__", kCallParameters, 4};

using Bytes = std::span<const uint8_t>;

struct CallArguments {
  Bytes data;
  uint32_t width = 0;
  uint32_t height = 0;
  bool jpeg_encode = false;
  std::optional<Bytes> exif;
  std::optional<Bytes> jumb;
  std::optional<Bytes> xmp;
  bool compress = false;
};

// None means "no such box"; an empty bytes object is a box with no content.
Outcome<std::optional<Bytes>> to_optional_bytes(PyObject* object) {
  if (object == Py_None) return std::optional<Bytes>();
  Outcome<Bytes> view = to_bytes_view(object);
  if (!view) return Err<Error>{std::move(view.error())};
  return std::optional<Bytes>(view.value());
}

Outcome<CallArguments> convert_call_arguments(const ArgumentSlots& slots) {
  CallArguments args;
  TESSARA_CONVERT(kCallSignature, data, 0, to_bytes_view)
  TESSARA_CONVERT(kCallSignature, width, 1, to_uint32)
  TESSARA_CONVERT(kCallSignature, height, 2, to_uint32)
  TESSARA_CONVERT(kCallSignature, jpeg_encode, 3, to_bool)
  TESSARA_CONVERT(kCallSignature, exif, 4, to_optional_bytes)
  TESSARA_CONVERT(kCallSignature, jumb, 5, to_optional_bytes)
  TESSARA_CONVERT(kCallSignature, xmp, 6, to_optional_bytes)
  TESSARA_CONVERT(kCallSignature, compress, 7, to_bool)
  return args;
}

Outcome<EncoderColorEncoding> color_encoding(const PixelType& type) {
  switch (type.kind) {
    case PixelType::Kind::Uint16:
    case PixelType::Kind::Float:
      return EncoderColorEncoding::LinearSrgbGrey;
    case PixelType::Kind::Uint8:
      break;
  }
  switch (type.num_channels) {
    case 1:
    case 2: return EncoderColorEncoding::SrgbGrey;
    case 3:
    case 4: return EncoderColorEncoding::Srgb;
    default:
      return Err<Error>{TESSARA_FAULT(
          "internal error: entered unreachable code: Invalid number of channels for Uint8 pixel "
          "type")};
  }
}

using Output = Outcome<std::vector<uint8_t>>;

Output encoded(Result<std::vector<uint8_t>, EncodeError> result) {
  if (!result) return Err<Error>{from_encode_error(result.error())};
  return std::move(result.value());
}

Done add_boxes(EncoderDriver& driver, const CallArguments& call) {
  const std::pair<BoxKind, const std::optional<Bytes>*> boxes[] = {
      {BoxKind::Exif, &call.exif}, {BoxKind::Xml, &call.xmp}, {BoxKind::Jumbf, &call.jumb}};
  for (const auto& [kind, contents] : boxes) {
    if (!contents->has_value()) continue;
    Status<EncodeError> added = driver.add_box(kind, **contents, call.compress);
    if (!added) return Err<Error>{from_encode_error(added.error())};
  }
  return {};
}

// The data seen as elements of T, refused like a checked slice cast would be:
// a misaligned start first, then a length with bytes left over.
template <typename T>
Outcome<PixelFrame<T>> cast_frame(Bytes data, const char* what) {
  auto refuse = [&](const char* reason) {
    return pending(ExcType::ValueError, std::string("Failed to cast ") + what + reason);
  };
  if (reinterpret_cast<uintptr_t>(data.data()) % alignof(T) != 0) {
    return refuse("TargetAlignmentGreaterAndInputNotAligned");
  }
  if (data.size() % sizeof(T) != 0) return refuse("OutputSliceWouldHaveSlop");
  return PixelFrame<T>{reinterpret_cast<const T*>(data.data()), data.size() / sizeof(T), 1};
}

Output encode_pixels(EncoderDriver& driver, const PixelType& type, const CallArguments& call) {
  switch (type.kind) {
    case PixelType::Kind::Uint8: {
      PixelFrame<uint8_t> frame{call.data.data(), call.data.size(), type.num_channels};
      return encoded(driver.encode_pixels(frame, call.width, call.height));
    }
    case PixelType::Kind::Uint16: {
      Outcome<PixelFrame<uint16_t>> frame = cast_frame<uint16_t>(call.data, "I;16 data to u16 slice: ");
      if (!frame) return Err<Error>{std::move(frame.error())};
      return encoded(driver.encode_pixels(frame.value(), call.width, call.height));
    }
    case PixelType::Kind::Float: {
      Outcome<PixelFrame<float>> frame = cast_frame<float>(call.data, "F data to f32 slice: ");
      if (!frame) return Err<Error>{std::move(frame.error())};
      return encoded(driver.encode_pixels(frame.value(), call.width, call.height));
    }
  }
  return Err<Error>{TESSARA_FAULT("internal error: entered unreachable code")};
}

// Runs with the interpreter lock released; the driver is declared after the
// runner, so it is destroyed first on every way out.
Output encode(const EncoderFields& settings, const CallArguments& call) {
  std::optional<ThreadsRunner> runner = create_runner(settings.num_threads);
  if (!runner) return pending(ExcType::RuntimeError, "Could not create JxlThreadsRunner");
  Outcome<EncoderColorEncoding> color = color_encoding(settings.pixel_type);
  if (!color) return Err<Error>{std::move(color.error())};
  tessara::EncoderSettings driver_settings{
      settings.pixel_type.has_alpha,
      settings.lossless,
      JxlEncoderDistanceFromQuality(settings.quality),
      settings.use_container,
      settings.use_original_profile,
      settings.decoding_speed,
      color.value()};
  Result<EncoderDriver, EncodeError> driver = EncoderDriver::create(*runner, driver_settings);
  if (!driver) return Err<Error>{from_encode_error(driver.error())};
  if (settings.effort < 1 || settings.effort > 10) {
    return pending(ExcType::ValueError, "Invalid effort");
  }
  driver.value().set_effort(static_cast<uint8_t>(settings.effort));
  if (call.jpeg_encode) return encoded(driver.value().encode_jpeg(call.data));
  if (Done added = add_boxes(driver.value(), call); !added) return Err<Error>{std::move(added.error())};
  return encode_pixels(driver.value(), settings.pixel_type, call);
}

}  // namespace

PyObject* encode_call(PyObject* object, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    Outcome<ArgumentSlots> slots = parse_arguments(kCallSignature, args, kwargs);
    if (!slots) return Err<Error>{std::move(slots.error())};
    auto* self = instance_cast<EncoderFields>(object);
    Outcome<SharedHold> hold = SharedHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    Outcome<CallArguments> call = convert_call_arguments(slots.value());
    if (!call) return Err<Error>{std::move(call.error())};
    const EncoderFields& settings = self->payload;
    Output output = without_lock([&] { return encode(settings, call.value()); });
    if (!output) return Err<Error>{std::move(output.error())};
    return from_bytes(output.value());
  });
}

}  // namespace tessara::py
