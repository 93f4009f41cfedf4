// The Decoder class and its call: arguments, the decode run without the
// interpreter lock (driver, box walk, samples into the result bytes), and the
// 5-tuple built from it.
#include "decode/decoder.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "codec/boxes.h"
#include "codec/decoder.h"
#include "codec/pixels.h"
#include "codec/runner.h"
#include "decode/records.h"
#include "lib/lock.h"
#include "lib/ref.h"
#include "module/convert.h"
#include "module/inject.h"

namespace tessara::py {
namespace {

struct DecoderSettings {
  int64_t num_threads = -1;
};

constexpr const char* kNewParameters[] = {"num_threads"};
constexpr const char* kCallParameters[] = {"data"};
const SignatureSpec kNewSignature{"Decoder", "__new__", kNewParameters, 0};
const SignatureSpec kCallSignature{"Decoder", "__call__", kCallParameters, 1};

// The bytes object the image ends up in, made while the call otherwise runs
// without the interpreter lock: the lock is taken just to allocate it, so
// decoded (or converted) samples land in it without another copy. It lives
// outside the lock-free stretch, so its reference is dropped with the lock
// held.
class ImageObject final : public ImageBytes {
 public:
  // Empty when libjxl never asked for the image buffer.
  Ref take() noexcept {
    if (TESSARA_INJECT(ImageUnallocated)) return Ref();
    return std::move(object_);
  }

 private:
  uint8_t* final_buffer(size_t bytes) noexcept override {
    if (object_ && size_ == bytes) return data_;
    if (bytes > static_cast<size_t>(PY_SSIZE_T_MAX)) return nullptr;
    return with_lock([&]() -> uint8_t* {
      object_ = Ref(TESSARA_INJECT_NULL(
          ImageBytes, PyExc_MemoryError,
          PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes))));
      char* data = object_ ? PyBytes_AsString(object_.get()) : nullptr;
      if (data == nullptr) {
        object_ = Ref();
        PyErr_Clear();
        return nullptr;
      }
      data_ = reinterpret_cast<uint8_t*>(data);
      size_ = bytes;
      return data_;
    });
  }

  Ref object_;
  // Where object_'s bytes are, kept so that asking again needs no Python call
  // (and so no lock).
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Everything else the call returns, gathered without the interpreter lock.
struct DecodedParts {
  bool is_jpeg = false;
  ImageInfoFields info;
  std::vector<uint8_t> jpeg;  // empty unless is_jpeg
  std::vector<uint8_t> icc;
  std::vector<BoxRecord> boxes;
};

// A malformed box structure never fails the decode: warn and go on.
Outcome<std::vector<BoxRecord>> container_boxes(std::span<const uint8_t> input) {
  BoxWalk walk = walk_boxes(input);
  if (walk.out_of_memory) return pending(ExcType::MemoryError, "");
  if (!walk.error.empty()) {
    std::string shown = render(PendingException{ExcType::ValueError, walk.error});
    std::fprintf(stderr, "Warning: Failed to extract JXL boxes: %s\n", shown.c_str());
    std::fflush(stderr);
  }
  return std::move(walk.boxes);
}

// Runs with the interpreter lock released. The driver is declared after the
// runner, so it is destroyed first on every way out.
Outcome<DecodedParts> decode_call(int64_t num_threads, std::span<const uint8_t> input,
                                  ImageObject& image) {
  std::optional<ThreadsRunner> runner = create_runner(num_threads);
  if (!runner) return pending(ExcType::RuntimeError, "Could not create JxlThreadsRunner");
  Result<DecoderDriver, DecodeError> driver =
      DecoderOptions{true, 512 * 1024, &*runner}.build();
  if (!driver) return Err<Error>{from_decode_error(driver.error())};
  Result<Decoded, DecodeError> decoded = driver.value().decode_or_reconstruct(input, image);
  if (!decoded) return Err<Error>{from_decode_error(decoded.error())};

  Outcome<std::vector<BoxRecord>> boxes = container_boxes(input);
  if (!boxes) return Err<Error>{std::move(boxes.error())};

  DecodedParts parts;
  DecodeMetadata& meta = decoded.value().metadata;
  parts.boxes = std::move(boxes.value());
  if (meta.icc) parts.icc = std::move(*meta.icc);
  parts.is_jpeg = decoded.value().image.is_jpeg();
  const PixelSamples* samples = nullptr;
  if (parts.is_jpeg) {
    parts.jpeg = std::move(std::get<std::vector<uint8_t>>(decoded.value().image.content));
  } else {
    samples = &std::get<PixelSamples>(decoded.value().image.content);
  }
  std::string mode = image_mode(meta.num_color_channels, meta.has_alpha, samples);
  if (mode.empty()) {
    return Err<Error>{TESSARA_FAULT(
        "internal error: entered unreachable code: NotImplementedError: Unsupported color mode")};
  }
  parts.info = ImageInfoFields{std::move(mode), meta.width, meta.height, meta.num_color_channels,
                               meta.has_alpha};
  return parts;
}

Outcome<Ref> box_list(std::vector<BoxRecord>& boxes) {
  Outcome<PyTypeObject*> type = class_type_for_result(jxl_box_class());
  if (!type) return Err<Error>{std::move(type.error())};
  Ref list(TESSARA_INJECT_NULL(ResultList, nullptr,
                               PyList_New(static_cast<Py_ssize_t>(boxes.size()))));
  if (!list) return python_error();
  for (size_t i = 0; i < boxes.size(); ++i) {
    Outcome<Ref> box = make_instance(type.value(), std::move(boxes[i]));
    if (!box) return box;
    // Cannot fail: a new list of this length, an index inside it.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), box.value().release());
  }
  return list;
}

// libjxl asks for the image buffer before a pixel decode can succeed; one
// that finished without it is a broken assumption, never an empty image.
Outcome<Ref> pixel_bytes(ImageObject& pixels) {
  Ref image = pixels.take();
  if (!image) {
    return Err<Error>{TESSARA_FAULT(
        "internal error: entered unreachable code: the decode finished without an image buffer")};
  }
  return image;
}

Outcome<Ref> build_result(DecodedParts& parts, ImageObject& pixels) {
  Outcome<Ref> is_jpeg = from_bool(parts.is_jpeg);
  Outcome<PyTypeObject*> info_type = class_type_for_result(image_info_class());
  if (!info_type) return Err<Error>{std::move(info_type.error())};
  Outcome<Ref> info = make_instance(info_type.value(), std::move(parts.info));
  if (!info) return info;
  Outcome<Ref> image = parts.is_jpeg ? from_bytes(parts.jpeg) : pixel_bytes(pixels);
  if (!image) return image;
  Outcome<Ref> icc = from_bytes(parts.icc);
  if (!icc) return icc;
  Outcome<Ref> boxes = box_list(parts.boxes);
  if (!boxes) return boxes;
  PyObject* tuple = TESSARA_INJECT_NULL(
      ResultTuple, nullptr,
      PyTuple_Pack(5, is_jpeg.value().get(), info.value().get(), image.value().get(),
                   icc.value().get(), boxes.value().get()));
  if (tuple == nullptr) return TESSARA_NULL_OBJECT();
  return Ref(tuple);
}

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
    int64_t num_threads = self->payload.num_threads;
    std::span<const uint8_t> input = data.value();
    ImageObject pixels;
    Outcome<DecodedParts> parts =
        without_lock([&] { return decode_call(num_threads, input, pixels); });
    if (!parts) return Err<Error>{std::move(parts.error())};
    return build_result(parts.value(), pixels);
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
