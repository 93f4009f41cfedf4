// Decoder: construction, repr and the decode call's argument side.
#include "decode/decoder.h"

#include <cstdint>

#include "lib/convert.h"

namespace tessara::py {
namespace {

struct DecoderSettings {
  int64_t num_threads = -1;
};

constexpr const char* kNewParameters[] = {"num_threads"};
constexpr const char* kCallParameters[] = {"data"};
const SignatureSpec kNewSignature{"Decoder", "__new__", kNewParameters, 0};
const SignatureSpec kCallSignature{"Decoder", "__call__", kCallParameters, 1};

PyObject* Decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    Outcome<ArgumentSlots> slots = parse_arguments(kNewSignature, args, kwargs);
    if (!slots) return Err<Error>{std::move(slots.error())};
    Outcome<int64_t> num_threads =
        convert_argument<int64_t>(kNewSignature, slots.value(), 0, -1, to_int64);
    if (!num_threads) return Err<Error>{std::move(num_threads.error())};
    return make_instance(type, DecoderSettings{num_threads.value()});
  });
}

PyObject* Decoder_call(PyObject* object, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    Outcome<ArgumentSlots> slots = parse_arguments(kCallSignature, args, kwargs);
    if (!slots) return Err<Error>{std::move(slots.error())};
    auto* self = instance_cast<DecoderSettings>(object);
    Outcome<SharedHold> hold = SharedHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    Outcome<std::span<const uint8_t>> data =
        convert_argument<std::span<const uint8_t>>(kCallSignature, slots.value(), 0, {},
                                                   to_bytes_view);
    if (!data) return Err<Error>{std::move(data.error())};
    return pending(ExcType::NotImplementedError, "decoding is not available yet");
  });
}

PyObject* Decoder_repr(PyObject* object) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    Outcome<SharedHold> hold = SharedHold::take(instance_cast<DecoderSettings>(object)->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    return from_text("Decoder");
  });
}

}  // namespace

ClassSpec& decoder_class() {
  static ClassSpec spec{"Decoder",
                        "tessara.Decoder",
                        "Decoder(num_threads=...)\n--\n\n",
                        Decoder_new,
                        Decoder_call,
                        Decoder_repr,
                        instance_dealloc<DecoderSettings>,
                        {},
                        sizeof(Instance<DecoderSettings>)};
  return spec;
}

}  // namespace tessara::py
