// ProgressiveDecoder over the stable ABI. The object owns its codec state
// through one pointer; the interpreter lock is released around libjxl's work
// and the copies out of its buffer, and an object busy in one thread refuses
// a second.
#include "native/progressive.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "codec/progressive.h"
#include "lib/ref.h"
#include "native/errors.h"
#include "native/facts.h"
#include "native/objects.h"
#include "native/sample_buffer.h"
#include "native/samples.h"
#include "native/state.h"

namespace tessara::native {
namespace {

struct DecoderState {
  std::optional<ProgressiveDecoder> decoder;
  py::Ref buffer_type;
  // The complete image's samples, handed over by the decoder when they are
  // in Pillow's layout: every image() then maps them (Pillow copies on the
  // first write), and array() reads them.
  py::Ref whole;
  bool busy = false;
};

struct ProgressiveObject {
  PyObject_HEAD
  DecoderState* state;
};

DecoderState& state_of_object(PyObject* self) noexcept {
  return *reinterpret_cast<ProgressiveObject*>(self)->state;
}

std::optional<Failure> create_decoder(DecoderState& st, long long num_threads,
                                      unsigned long long max_pixels, unsigned long long frame,
                                      std::optional<FrameFormat> pillow) noexcept {
  auto pool = make_pool(num_threads);
  if (!pool) return Failure{PoolRefused{}};
  auto created = ProgressiveDecoder::create(max_pixels, std::move(*pool), frame, pillow);
  if (!created) return Failure{created.error()};
  st.decoder.emplace(std::move(created.value()));
  return std::nullopt;
}

// ProgressiveDecoder(num_threads, max_pixels[, frame[, dtype, channels]]):
// with a dtype, a decoder for Pillow's picture only, of libjxl's samples of
// that type, 1 or 4 a pixel.
PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
  if (!no_keywords(kwds, "ProgressiveDecoder")) return nullptr;
  long long num_threads = -1;
  unsigned long long max_pixels = 0;
  unsigned long long frame = 0;
  const char* dtype = "";
  unsigned int channels = 0;
  if (!PyArg_ParseTuple(args, "LK|KsI:ProgressiveDecoder", &num_threads, &max_pixels, &frame,
                        &dtype, &channels)) {
    return nullptr;
  }
  std::optional<FrameFormat> pillow;
  if (*dtype != '\0') {
    const std::optional<SampleKind> kind = kind_named(dtype);
    if (!kind) return PyErr_Format(PyExc_TypeError, "unsupported sample type: %s", dtype);
    if (channels != 1 && channels != 4) {
      return PyErr_Format(PyExc_ValueError, "channels must be 1 or 4, not %u", channels);
    }
    pillow = FrameFormat{*kind, channels, false};
  }
  std::unique_ptr<DecoderState> st(new (std::nothrow) DecoderState);
  if (!st) return PyErr_NoMemory();
  PyObject* module = PyType_GetModule(type);
  if (module == nullptr) return nullptr;
  st->buffer_type = py::Ref::borrow(state_of(module)->sample_buffer_type);
  std::optional<Failure> failed;
  Py_BEGIN_ALLOW_THREADS
  failed = create_decoder(*st, num_threads, max_pixels, frame, pillow);
  Py_END_ALLOW_THREADS
  if (failed) return raise(*failed);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ProgressiveObject*>(self)->state = st.release();
  return self;
}

// feed(data) -> stage
PyObject* decoder_feed(PyObject* self, PyObject* args) noexcept {
  DecoderState& st = state_of_object(self);
  Borrowed data;
  if (!PyArg_ParseTuple(args, "y*:feed", &data.view)) return nullptr;
  if (!claim(st.busy)) return nullptr;
  Status<ProgressiveError> fed;
  Py_BEGIN_ALLOW_THREADS
  fed = st.decoder->feed(data.bytes());
  Py_END_ALLOW_THREADS
  st.busy = false;
  if (!fed) return raise(Failure{fed.error()});
  return PyUnicode_FromString(stage_name(st.decoder->stage()));
}

// A copy of the samples as last rendered, in the layout asked for; zeros
// where libjxl has drawn nothing. Or, for the complete image already in
// Pillow's layout, no copy: the samples themselves (`as_is`).
struct Copy {
  std::unique_ptr<uint8_t[]> memory;
  size_t bytes = 0;
  SampleKind kind = SampleKind::Uint8;
  uint32_t channels = 0;
  Rendered rendered;
  bool as_is = false;
};

// `whole`: the complete samples once handed over, else empty.
Result<Copy, Failure> copy_picture(ProgressiveDecoder& decoder, std::span<const uint8_t> whole,
                                   bool pillow, bool any_picture) noexcept {
  auto rendered = decoder.render(any_picture);
  if (!rendered) return Err{Failure{rendered.error()}};
  Copy copy;
  copy.rendered = rendered.value();
  if (!copy.rendered.drawn && !any_picture) return copy;
  const FileFacts& facts = *decoder.facts();
  const std::span<const uint8_t> samples = whole.empty() ? decoder.samples() : whole;
  const ProgressiveDecoder::PillowLayout layout = decoder.pillow_layout();
  copy.bytes = pillow ? layout.bytes : decoder.array_bytes();
  copy.kind = pillow ? layout.kind : full_precision_kind(facts);
  copy.channels = pillow ? layout.channels : facts.channels();
  if (pillow && decoder.stage() == Stage::Complete && decoder.decoded_for_pillow()) {
    copy.as_is = true;
    return copy;
  }
  // Zeroed only where no samples exist yet to convert.
  copy.memory.reset(samples.empty() ? new (std::nothrow) uint8_t[copy.bytes > 0 ? copy.bytes : 1]()
                                    : new (std::nothrow) uint8_t[copy.bytes > 0 ? copy.bytes : 1]);
  if (!copy.memory) return Err{Failure{ProgressiveError{ProgressiveError::Kind::OutOfMemory}}};
  if (samples.empty()) return copy;
  const std::span<uint8_t> out{copy.memory.get(), copy.bytes};
  if (pillow) {
    decoder.pillow_samples(samples, out);
  } else if (auto s = decoder.array_samples(samples, out); !s) {
    return Err{Failure{s.error()}};
  }
  return copy;
}

// render(layout, any_picture) -> None or (SampleBuffer, dtype, channels, stage, drawn)
// layout: "array" (as decoded, integers as stored) or "pillow".
PyObject* decoder_render(PyObject* self, PyObject* args) noexcept {
  DecoderState& st = state_of_object(self);
  const char* layout = "";
  int any_picture = 0;
  if (!PyArg_ParseTuple(args, "sp:render", &layout, &any_picture)) return nullptr;
  const std::string_view name = layout;
  if (name != "array" && name != "pillow") {
    return PyErr_Format(PyExc_ValueError, "layout must be 'array' or 'pillow', not %s", layout);
  }
  if (!claim(st.busy)) return nullptr;
  std::span<const uint8_t> whole;
  if (st.whole) whole = sample_buffer_memory(st.whole.get());
  Result<Copy, Failure> copied = Err{Failure{PoolRefused{}}};
  Py_BEGIN_ALLOW_THREADS
  copied = copy_picture(*st.decoder, whole, name == "pillow", any_picture != 0);
  Py_END_ALLOW_THREADS
  st.busy = false;
  if (!copied) return raise(copied.error());
  Copy& copy = copied.value();
  if (copy.as_is && !st.whole) {
    std::unique_ptr<uint8_t[]> samples = st.decoder->take_samples();
    if (!samples) return PyErr_Format(PyExc_SystemError, "the complete samples are gone");
    st.whole = py::Ref(new_sample_buffer(st.buffer_type.get(), std::move(samples), copy.bytes));
    if (!st.whole) return nullptr;
  }
  if (!copy.as_is && !copy.memory) return new_ref(Py_None);
  PyObject* buffer =
      copy.as_is ? new_ref(st.whole.get())
                 : new_sample_buffer(st.buffer_type.get(), std::move(copy.memory), copy.bytes);
  if (buffer == nullptr) return nullptr;
  return Py_BuildValue("(NsIsN)", buffer, dtype_name(copy.kind), copy.channels,
                       stage_name(copy.rendered.stage), PyBool_FromLong(copy.rendered.drawn));
}

// The decoder, for a getter: not while another thread has it busy decoding
// (what it reads would be changing under it).
const ProgressiveDecoder* idle(PyObject* self) noexcept {
  const DecoderState& st = state_of_object(self);
  if (st.busy) {
    PyErr_SetString(PyExc_RuntimeError, "the object is in use by another thread");
    return nullptr;
  }
  return &*st.decoder;
}

PyObject* get_stage(PyObject* self, void*) noexcept {
  const ProgressiveDecoder* d = idle(self);
  return d == nullptr ? nullptr : PyUnicode_FromString(stage_name(d->stage()));
}

// The file's facts as facts() gives them, or None before they are in.
PyObject* get_facts(PyObject* self, void*) noexcept {
  const ProgressiveDecoder* d = idle(self);
  if (d == nullptr) return nullptr;
  if (!d->facts()) return new_ref(Py_None);
  return facts_dict(*d->facts());
}

PyObject* get_bytes_fed(PyObject* self, void*) noexcept {
  const ProgressiveDecoder* d = idle(self);
  return d == nullptr ? nullptr : PyLong_FromUnsignedLongLong(d->bytes_fed());
}

PyMethodDef methods[] = {
    {"feed", decoder_feed, METH_VARARGS, "feed(data) -> stage: decodes as far as the bytes go"},
    {"render", decoder_render, METH_VARARGS,
     "render(layout, any_picture) -> None or (buffer, dtype, channels, stage, drawn)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"stage", get_stage, nullptr, "'none', 'preview', 'pass' or 'complete'", nullptr},
    {"facts", get_facts, nullptr, "the file's facts as facts() gives them, or None before them",
     nullptr},
    {"bytes_fed", get_bytes_fed, nullptr, "bytes fed so far", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ProgressiveDecoder(num_threads, max_pixels[, frame[, dtype, "
                                  "channels]]): a still image (or an animation's frame) from "
                                  "bytes as they arrive.")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<ProgressiveObject>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "tessara_pillow._native.ProgressiveDecoder",
    sizeof(ProgressiveObject),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyObject* progressive_decoder_type(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace tessara::native
