// tessara_pillow._native: the file facts (native/facts.h), the encoder of
// any sample type for tessara_pillow's array functions, and the frame types
// (native/animation.h) that decode for the plug-in and them. Written
// as CPython's own extension modules are: arguments parsed with the lock
// held, the lock released around the codec work alone, every failure raised
// through native/errors.h once it is held again.
#include <jxl/encode.h>

#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "codec/cicp.h"
#include "codec/encoder.h"
#include "codec/result.h"
#include "codec/runner.h"
#include "lib/python.h"
#include "native/animation.h"
#include "native/progressive.h"
#include "native/errors.h"
#include "native/facts.h"
#include "native/png.h"
#include "native/sample_buffer.h"
#include "native/samples.h"
#include "native/state.h"

namespace tessara::native {
namespace {

struct EncodeRequest {
  SampleFrame frame;
  EncoderSettings settings;
  float quality = 90;
  int effort = 7;
  long long num_threads = -1;
  std::span<const uint8_t> exif;
  std::span<const uint8_t> xmp;
  bool compress_boxes = false;
  std::optional<JxlColorEncoding> encoding;  // in place of frame.icc
  Progression progression;
};

// The codec work of one encode, run with the lock released.
Result<std::vector<uint8_t>, Failure> encode_frame(EncodeRequest& r) noexcept {
  const FrameProblem problem = check_frame(r.frame, r.settings.lossless);
  if (problem != FrameProblem::None) return Err{Failure{problem}};
  std::optional<ThreadsRunner> runner = create_runner(r.num_threads);
  if (!runner) return Err{Failure{PoolRefused{}}};
  r.settings.distance = r.settings.lossless ? 0.0f : JxlEncoderDistanceFromQuality(r.quality);
  auto driver = EncoderDriver::create(*runner, r.settings);
  if (!driver) return Err{Failure{driver.error()}};
  driver.value().set_effort(static_cast<uint8_t>(r.effort));
  driver.value().set_progression(r.progression);
  for (auto [kind, contents] : {std::pair{BoxKind::Exif, r.exif}, std::pair{BoxKind::Xml, r.xmp}}) {
    if (contents.data() == nullptr) continue;
    if (auto added = driver.value().add_box(kind, contents, r.compress_boxes); !added) {
      return Err{Failure{added.error()}};
    }
  }
  auto encoded = driver.value().encode_samples(r.frame, r.encoding ? &*r.encoding : nullptr);
  if (!encoded) return Err{Failure{encoded.error()}};
  return std::move(encoded.value());
}

// encode(samples, width, height, channels, dtype, bits, lossless, quality,
//        effort, decoding_speed, exif, xmp, icc, num_threads
//        [, use_container, compress_boxes, orientation, cicp, progressive_dc,
//        progressive_ac, responsive]) -> bytes
// The container and compression serve the Pillow plug-in's save options;
// the orientation (1 to 8) is the one the Exif or XMP stored with the pixels
// gives, which readers apply; cicp (a PNG's code points) labels the samples
// in place of icc; the progression ones are -1 for libjxl's choice.
PyObject* encode(PyObject*, PyObject* args) noexcept {
  Borrowed samples, exif, xmp, icc;
  EncodeRequest r;
  const char* dtype = "";
  int lossless = 0;
  int use_container = 0;
  int compress_boxes = 0;
  int orientation = JXL_ORIENT_IDENTITY;
  long long decoding_speed = 0;
  PyObject* cicp_object = Py_None;
  std::optional<std::array<uint8_t, 4>> cicp;
  long long progressive_dc = -1, progressive_ac = -1, responsive = -1;
  if (!PyArg_ParseTuple(args, "y*IIIsIpfiLz*z*z*L|ppiOLLL:encode", &samples.view, &r.frame.width,
                        &r.frame.height, &r.frame.channels, &dtype, &r.frame.bits, &lossless,
                        &r.quality, &r.effort, &decoding_speed, &exif.view, &xmp.view, &icc.view,
                        &r.num_threads, &use_container, &compress_boxes, &orientation,
                        &cicp_object, &progressive_dc, &progressive_ac, &responsive) ||
      !parse_cicp(cicp_object, cicp)) {
    return nullptr;
  }
  const std::optional<JxlOrientation> oriented = orientation_of(orientation);
  if (!oriented) return nullptr;
  if (cicp) {
    r.encoding = color_encoding_from_cicp(*cicp, r.frame.channels <= 2);
    if (!r.encoding) {
      return PyErr_Format(PyExc_ValueError, "JPEG XL has no colour encoding for cICP (%u, %u, %u, %u)",
                          (*cicp)[0], (*cicp)[1], (*cicp)[2], (*cicp)[3]);
    }
  }
  r.progression = {progressive_dc, progressive_ac, responsive};
  const std::optional<SampleKind> kind = kind_named(dtype);
  if (!kind) return PyErr_Format(PyExc_TypeError, "unsupported sample type: %s", dtype);
  if (r.effort < 1 || r.effort > 10) {
    return PyErr_Format(PyExc_ValueError, "effort must be 1 to 10, not %d", r.effort);
  }
  r.frame.kind = *kind;
  r.frame.bytes = samples.bytes();
  r.frame.icc = icc.bytes();
  r.exif = exif.view.obj != nullptr ? exif.bytes() : std::span<const uint8_t>{};
  r.xmp = xmp.view.obj != nullptr ? xmp.bytes() : std::span<const uint8_t>{};
  r.settings.lossless = lossless != 0;
  r.settings.decoding_speed = decoding_speed;
  r.settings.use_container = use_container != 0;
  r.compress_boxes = compress_boxes != 0;
  r.settings.orientation = *oriented;
  Result<std::vector<uint8_t>, Failure> encoded = Err{Failure{PoolRefused{}}};
  Py_BEGIN_ALLOW_THREADS
  encoded = encode_frame(r);
  Py_END_ALLOW_THREADS
  if (!encoded) return raise(encoded.error());
  const std::vector<uint8_t>& out = encoded.value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(out.size()));
}

PyMethodDef methods[] = {
    {"facts", facts, METH_VARARGS,
     "facts(data, all_frames, max_frames, max_layers) -> dict: the file's facts, no pixels"},
    {"encode", encode, METH_VARARGS,
     "encode(samples, width, height, channels, dtype, bits, lossless, quality, effort, "
     "decoding_speed, exif, xmp, icc, num_threads[, use_container, compress_boxes, "
     "orientation, cicp, progressive_dc, progressive_ac, responsive]) -> bytes"},
    {"png_read", png_read, METH_VARARGS,
     "png_read(data, max_pixels) -> (buffer, height, width, channels, dtype, facts)"},
    {"png_write", png_write, METH_VARARGS,
     "png_write(samples, width, height, channels, dtype, cicp, icc, exif, xmp, compress_level) -> bytes"},
    {"cicp_encodable", cicp_encodable, METH_VARARGS,
     "cicp_encodable(cicp) -> whether JPEG XL has a colour encoding for these code points"},
    {"frame_whole", whole, METH_VARARGS,
     "frame_whole(data, index) -> bool: whether a displayed frame's data is all there"},
    {nullptr, nullptr, 0, nullptr},
};

// Each type is kept in the module state (owned) and added to the module.
int add_type(PyObject* module, const char* name, PyObject* (*make)(PyObject*) noexcept,
             PyObject* ModuleState::*slot) noexcept {
  PyObject* type = make(module);
  if (type == nullptr) return -1;
  state_of(module)->*slot = type;
  return PyModule_AddObjectRef(module, name, type);
}

int exec_module(PyObject* module) noexcept {
  if (add_type(module, "SampleBuffer", sample_buffer_type, &ModuleState::sample_buffer_type) < 0 ||
      add_type(module, "FrameDecoder", frame_decoder_type, &ModuleState::frame_decoder_type) < 0 ||
      add_type(module, "AnimationEncoder", animation_encoder_type,
               &ModuleState::animation_encoder_type) < 0 ||
      add_type(module, "ProgressiveDecoder", progressive_decoder_type,
               &ModuleState::progressive_decoder_type) < 0) {
    return -1;
  }
  return 0;
}

int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
  ModuleState* state = state_of(module);
  if (state != nullptr) {
    Py_VISIT(state->sample_buffer_type);
    Py_VISIT(state->frame_decoder_type);
    Py_VISIT(state->animation_encoder_type);
    Py_VISIT(state->progressive_decoder_type);
  }
  return 0;
}

int clear(PyObject* module) noexcept {
  ModuleState* state = state_of(module);
  if (state != nullptr) {
    Py_CLEAR(state->sample_buffer_type);
    Py_CLEAR(state->frame_decoder_type);
    Py_CLEAR(state->animation_encoder_type);
    Py_CLEAR(state->progressive_decoder_type);
  }
  return 0;
}

void free_module(void* module) noexcept { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessara_pillow._native",
    "File facts, frames at any precision, encoding and PNG files, for tessara_pillow (private).",
    sizeof(ModuleState),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace tessara::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tessara::native::module_def); }
