// The encode call: arguments, then pixels or a JPEG file into JPEG XL.
#include <optional>
#include <span>

#include "encode/settings.h"
#include "lib/call.h"
#include "lib/classes.h"
#include "lib/convert.h"

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

#define TESSARA_CONVERT(field, index, convert)                                            \
  if (auto value = convert_argument(kCallSignature, slots, index, args.field, convert);   \
      value) {                                                                            \
    args.field = value.value();                                                           \
  } else {                                                                                \
    return Err<Error>{std::move(value.error())};                                          \
  }

Outcome<CallArguments> convert_call_arguments(const ArgumentSlots& slots) {
  CallArguments args;
  TESSARA_CONVERT(data, 0, to_bytes_view)
  TESSARA_CONVERT(width, 1, to_uint32)
  TESSARA_CONVERT(height, 2, to_uint32)
  TESSARA_CONVERT(jpeg_encode, 3, to_bool)
  TESSARA_CONVERT(exif, 4, to_optional_bytes)
  TESSARA_CONVERT(jumb, 5, to_optional_bytes)
  TESSARA_CONVERT(xmp, 6, to_optional_bytes)
  TESSARA_CONVERT(compress, 7, to_bool)
  return args;
}

}  // namespace

PyObject* encode_call(PyObject* object, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    Outcome<ArgumentSlots> slots = parse_arguments(kCallSignature, args, kwargs);
    if (!slots) return Err<Error>{std::move(slots.error())};
    auto* self = instance_cast<EncoderSettings>(object);
    Outcome<SharedHold> hold = SharedHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    Outcome<CallArguments> call = convert_call_arguments(slots.value());
    if (!call) return Err<Error>{std::move(call.error())};
    return pending(ExcType::NotImplementedError, "encoding is not available yet");
  });
}

}  // namespace tessara::py
