// The animation types over the stable ABI. Each object owns its codec state
// through a C++ struct it points to (made and destroyed with the interpreter
// lock held); the lock is released around libjxl's work only, and an object
// busy in one thread refuses a second thread rather than race with it.
#include "native/animation.h"

#include <jxl/encode.h>

#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "codec/animation.h"
#include "codec/encoder.h"
#include "codec/runner.h"
#include "lib/ref.h"
#include "native/errors.h"
#include "native/facts.h"
#include "native/objects.h"
#include "native/sample_buffer.h"
#include "native/samples.h"
#include "native/state.h"

namespace tessara::native {
namespace {

// ---- FrameDecoder ---------------------------------------------------------------

struct DecoderState {
  Borrowed data;  // the input, held for the decoder's life: libjxl reads it in place
  std::optional<FrameDecoder> decoder;
  py::Ref buffer_type;
  // The last frame's buffer. Once nothing else refers to it (Pillow has
  // dropped the frame, and no view of it is left), the next frame is
  // decoded into it: playing an animation then allocates no frame memory,
  // and touches no new pages, after the first frame.
  py::Ref spare;
  bool busy = false;
};

struct FrameDecoderObject {
  PyObject_HEAD
  DecoderState* state;
};

DecoderState& decoder_state(PyObject* self) noexcept {
  return *reinterpret_cast<FrameDecoderObject*>(self)->state;
}

std::optional<Failure> open_decoder(DecoderState& st, std::optional<FrameFormat> format,
                                    long long num_threads) noexcept {
  auto pool = make_pool(num_threads);
  if (!pool) return Failure{PoolRefused{}};
  auto opened = FrameDecoder::open(st.data.bytes(), format, std::move(*pool));
  if (!opened) return Failure{opened.error()};
  st.decoder.emplace(std::move(opened.value()));
  return std::nullopt;
}

// FrameDecoder(data, dtype, channels, stored_depth, num_threads); dtype ""
// is the file's own samples as stored (FrameFormat::full_precision).
PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
  if (!no_keywords(kwds, "FrameDecoder")) return nullptr;
  std::unique_ptr<DecoderState> st(new (std::nothrow) DecoderState);
  if (!st) return PyErr_NoMemory();
  const char* dtype = "";
  unsigned int channels = 0;
  int stored_depth = 0;
  long long num_threads = -1;
  if (!PyArg_ParseTuple(args, "y*sIpL:FrameDecoder", &st->data.view, &dtype, &channels,
                        &stored_depth, &num_threads)) {
    return nullptr;
  }
  std::optional<FrameFormat> format;
  if (*dtype != '\0') {
    const std::optional<SampleKind> kind = kind_named(dtype);
    if (!kind) return PyErr_Format(PyExc_TypeError, "unsupported sample type: %s", dtype);
    if (channels > 4) {
      return PyErr_Format(PyExc_ValueError, "channels must be 0 to 4, not %u", channels);
    }
    format = FrameFormat{*kind, channels, stored_depth != 0};
  }
  PyObject* module = PyType_GetModule(type);
  if (module == nullptr) return nullptr;
  st->buffer_type = py::Ref::borrow(state_of(module)->sample_buffer_type);
  std::optional<Failure> failed;
  Py_BEGIN_ALLOW_THREADS
  failed = open_decoder(*st, format, num_threads);
  Py_END_ALLOW_THREADS
  if (failed) return raise(*failed);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<FrameDecoderObject*>(self)->state = st.release();
  return self;
}

// decode(index) -> (SampleBuffer, duration ticks, name)
PyObject* decoder_decode(PyObject* self, PyObject* args) noexcept {
  DecoderState& st = decoder_state(self);
  unsigned long long index = 0;
  if (!PyArg_ParseTuple(args, "K:decode", &index)) return nullptr;
  if (!claim(st.busy)) return nullptr;
  FrameDecoder& decoder = *st.decoder;
  const size_t bytes = decoder.frame_bytes();
  // Only this object refers to the spare: no one can see it written.
  PyObject* reused = st.spare && Py_REFCNT(st.spare.get()) == 1 ? st.spare.get() : nullptr;
  std::unique_ptr<uint8_t[]> memory;
  Result<FrameFacts, AnimationError> decoded = Err{AnimationError{AnimationError::Kind::OutOfMemory}};
  Py_BEGIN_ALLOW_THREADS
  std::span<uint8_t> out;
  if (reused != nullptr) {
    out = sample_buffer_memory(reused);
  } else {
    memory.reset(new (std::nothrow) uint8_t[bytes > 0 ? bytes : 1]);
    if (memory) out = {memory.get(), bytes};
  }
  if (out.data() != nullptr) {
    auto frame = decoder.decode(index, out);
    if (frame) {
      decoded = std::move(frame.value());
    } else {
      decoded = Err{frame.error()};
    }
  }
  Py_END_ALLOW_THREADS
  st.busy = false;
  if (!decoded) return raise(Failure{decoded.error()});
  PyObject* name = frame_name(decoded.value().name);
  if (name == nullptr) return nullptr;
  PyObject* buffer = reused != nullptr
                         ? new_ref(reused)
                         : new_sample_buffer(st.buffer_type.get(), std::move(memory), bytes);
  if (buffer == nullptr) {
    Py_DECREF(name);
    return nullptr;
  }
  if (buffer != st.spare.get()) st.spare = py::Ref::borrow(buffer);
  return Py_BuildValue("(NIN)", buffer, decoded.value().duration, name);
}

PyObject* get_width(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(decoder_state(self).decoder->facts().width());
}
PyObject* get_height(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(decoder_state(self).decoder->facts().height());
}
PyObject* get_channels(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(decoder_state(self).decoder->format().channels);
}
PyObject* get_dtype(PyObject* self, void*) noexcept {
  return PyUnicode_FromString(dtype_name(decoder_state(self).decoder->format().kind));
}
PyObject* get_facts(PyObject* self, void*) noexcept {
  return facts_dict(decoder_state(self).decoder->facts());
}
PyObject* get_icc(PyObject* self, void*) noexcept {
  const std::vector<uint8_t>& icc = decoder_state(self).decoder->icc();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(icc.data()),
                                   static_cast<Py_ssize_t>(icc.size()));
}

PyMethodDef decoder_methods[] = {
    {"decode", decoder_decode, METH_VARARGS,
     "decode(index) -> (buffer, duration ticks, name): displayed frame `index`, composited"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"width", get_width, nullptr, "frame width, as oriented", nullptr},
    {"height", get_height, nullptr, "frame height, as oriented", nullptr},
    {"channels", get_channels, nullptr, "samples per pixel in each frame", nullptr},
    {"dtype", get_dtype, nullptr, "the samples' numpy type name", nullptr},
    {"icc_profile", get_icc, nullptr, "the profile of the samples as delivered", nullptr},
    {"facts", get_facts, nullptr, "the file's facts, as facts() gives them", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("FrameDecoder(data, dtype, channels, stored_depth, num_threads): "
                                  "a file's frames one at a time; holds `data`.")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<FrameDecoderObject>)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "tessara_pillow._native.FrameDecoder",
    sizeof(FrameDecoderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    decoder_slots,
};

// ---- AnimationEncoder -----------------------------------------------------------

struct EncoderState {
  std::optional<AnimationEncoder> encoder;
  SampleFrame shape;  // the frames' layout, without bytes
  bool lossless = false;
  bool busy = false;
  bool finished = false;
};

struct AnimationEncoderObject {
  PyObject_HEAD
  EncoderState* state;
};

EncoderState& encoder_state(PyObject* self) noexcept {
  return *reinterpret_cast<AnimationEncoderObject*>(self)->state;
}

std::optional<Failure> create_encoder(EncoderState& st, const AnimationSettings& settings,
                                      long long num_threads) noexcept {
  auto pool = make_pool(num_threads);
  if (!pool) return Failure{PoolRefused{}};
  auto created = AnimationEncoder::create(settings, std::move(*pool));
  if (!created) return Failure{created.error()};
  st.encoder.emplace(std::move(created.value()));
  return std::nullopt;
}

// AnimationEncoder(width, height, channels, dtype, bits, lossless, quality,
//                  effort, decoding_speed, ticks numerator, ticks denominator,
//                  loops, linear, icc, use_container, num_threads
//                  [, orientation, progressive_dc, progressive_ac, responsive])
PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
  if (!no_keywords(kwds, "AnimationEncoder")) return nullptr;
  std::unique_ptr<EncoderState> st(new (std::nothrow) EncoderState);
  if (!st) return PyErr_NoMemory();
  AnimationSettings s;
  Borrowed icc;
  const char* dtype = "";
  int lossless = 0, linear = 0, use_container = 0, effort = 7;
  float quality = 90;
  int orientation = JXL_ORIENT_IDENTITY;
  long long decoding_speed = 0, num_threads = -1;
  long long progressive_dc = -1, progressive_ac = -1, responsive = -1;
  if (!PyArg_ParseTuple(args, "IIIsIpfiLIIIpz*pL|iLLL:AnimationEncoder", &s.width, &s.height,
                        &s.channels, &dtype, &s.bits, &lossless, &quality, &effort,
                        &decoding_speed, &s.tps_numerator, &s.tps_denominator, &s.num_loops,
                        &linear, &icc.view, &use_container, &num_threads, &orientation,
                        &progressive_dc, &progressive_ac, &responsive)) {
    return nullptr;
  }
  const std::optional<JxlOrientation> oriented = orientation_of(orientation);
  if (!oriented) return nullptr;
  s.progression = {progressive_dc, progressive_ac, responsive};
  const std::optional<SampleKind> kind = kind_named(dtype);
  if (!kind) return PyErr_Format(PyExc_TypeError, "unsupported sample type: %s", dtype);
  if (effort < 1 || effort > 10) {
    return PyErr_Format(PyExc_ValueError, "effort must be 1 to 10, not %d", effort);
  }
  if (s.channels < 1 || s.channels > 4) {
    return PyErr_Format(PyExc_ValueError, "channels must be 1 to 4, not %u", s.channels);
  }
  s.sample = *kind;
  s.lossless = lossless != 0;
  s.distance = s.lossless ? 0.0f : JxlEncoderDistanceFromQuality(quality);
  s.effort = static_cast<uint8_t>(effort);
  s.decoding_speed = decoding_speed;
  s.linear = linear != 0;
  s.icc = icc.view.obj != nullptr ? icc.bytes() : std::span<const uint8_t>{};
  s.use_container = use_container != 0;
  s.orientation = *oriented;
  st->shape.kind = s.sample;
  st->shape.width = s.width;
  st->shape.height = s.height;
  st->shape.channels = s.channels;
  st->shape.bits = s.bits;
  st->lossless = s.lossless;
  std::optional<Failure> failed;
  Py_BEGIN_ALLOW_THREADS
  failed = create_encoder(*st, s, num_threads);
  Py_END_ALLOW_THREADS
  if (failed) return raise(*failed);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<AnimationEncoderObject*>(self)->state = st.release();
  return self;
}

bool usable(EncoderState& st) noexcept {
  if (st.finished) {
    PyErr_SetString(PyExc_ValueError, "the animation is finished: make a new encoder");
    return false;
  }
  return claim(st.busy);
}

// add_box(kind, contents, compress): kind "exif" or "xmp", before the first frame
PyObject* encoder_add_box(PyObject* self, PyObject* args) noexcept {
  EncoderState& st = encoder_state(self);
  const char* kind_name = "";
  Borrowed contents;
  int compress = 0;
  if (!PyArg_ParseTuple(args, "sy*p:add_box", &kind_name, &contents.view, &compress)) {
    return nullptr;
  }
  const std::string_view name = kind_name;
  if (name != "exif" && name != "xmp") {
    return PyErr_Format(PyExc_ValueError, "box kind must be 'exif' or 'xmp', not %s", kind_name);
  }
  // Claimed first: add_frame runs without the interpreter lock and changes
  // the frame count meanwhile.
  if (!usable(st)) return nullptr;
  if (st.encoder->frames_added() > 0) {
    st.busy = false;
    PyErr_SetString(PyExc_ValueError, "boxes go before the first frame");
    return nullptr;
  }
  const BoxKind kind = name == "exif" ? BoxKind::Exif : BoxKind::Xml;
  Status<EncodeError> added;
  Py_BEGIN_ALLOW_THREADS
  added = st.encoder->add_box(kind, contents.bytes(), compress != 0);
  Py_END_ALLOW_THREADS
  st.busy = false;
  if (!added) return raise(Failure{added.error()});
  return new_ref(Py_None);
}

// add_frame(samples, duration ticks, name)
PyObject* encoder_add_frame(PyObject* self, PyObject* args) noexcept {
  EncoderState& st = encoder_state(self);
  Borrowed samples;
  unsigned int duration = 0;
  const char* name = "";
  if (!PyArg_ParseTuple(args, "y*Is:add_frame", &samples.view, &duration, &name)) return nullptr;
  if (!usable(st)) return nullptr;
  SampleFrame frame = st.shape;
  frame.bytes = samples.bytes();
  std::optional<Failure> failed;
  Py_BEGIN_ALLOW_THREADS
  if (const FrameProblem problem = check_frame(frame, st.lossless); problem != FrameProblem::None) {
    failed = Failure{problem};
  } else if (auto added = st.encoder->add_frame(frame.bytes, duration, name); !added) {
    failed = Failure{added.error()};
  }
  Py_END_ALLOW_THREADS
  st.busy = false;
  if (failed) return raise(*failed);
  return new_ref(Py_None);
}

// finish() -> bytes; the encoder is spent afterwards
PyObject* encoder_finish(PyObject* self, PyObject*) noexcept {
  EncoderState& st = encoder_state(self);
  if (!usable(st)) return nullptr;
  Result<std::vector<uint8_t>, EncodeError> file = Err{EncodeError::ApiUsage};
  Py_BEGIN_ALLOW_THREADS
  file = st.encoder->finish();
  Py_END_ALLOW_THREADS
  st.busy = false;
  st.finished = true;
  if (!file) {
    if (file.error() == EncodeError::BadInput && st.encoder->frames_added() == 0) {
      PyErr_SetString(PyExc_ValueError, "an animation needs at least one frame");
      return nullptr;
    }
    return raise(Failure{file.error()});
  }
  const std::vector<uint8_t>& out = file.value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(out.size()));
}

PyObject* get_frames_added(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(encoder_state(self).encoder->frames_added());
}

PyMethodDef encoder_methods[] = {
    {"add_box", encoder_add_box, METH_VARARGS,
     "add_box(kind, contents, compress): an 'exif' or 'xmp' box, before the first frame"},
    {"add_frame", encoder_add_frame, METH_VARARGS,
     "add_frame(samples, duration_ticks, name): the next frame"},
    {"finish", encoder_finish, METH_NOARGS, "finish() -> bytes: the file"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef encoder_getset[] = {
    {"frames_added", get_frames_added, nullptr, "frames added so far", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("AnimationEncoder(...): an animation fed one frame at a time.")},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc<AnimationEncoderObject>)},
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getset},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    "tessara_pillow._native.AnimationEncoder",
    sizeof(AnimationEncoderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    encoder_slots,
};

}  // namespace

PyObject* whole(PyObject*, PyObject* args) noexcept {
  Borrowed data;
  unsigned long long index = 0;
  if (!PyArg_ParseTuple(args, "y*K:frame_whole", &data.view, &index)) return nullptr;
  bool answer = false;
  Py_BEGIN_ALLOW_THREADS
  answer = frame_whole(data.bytes(), index);
  Py_END_ALLOW_THREADS
  return PyBool_FromLong(answer);
}

PyObject* frame_decoder_type(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &decoder_spec, nullptr);
}

PyObject* animation_encoder_type(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &encoder_spec, nullptr);
}

}  // namespace tessara::native
