// facts(): the fact reader's answer as a dict of plain values, built with
// the interpreter lock held after the read ran without it.
#include "native/facts.h"

#include <array>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "codec/cicp.h"
#include "codec/facts.h"
#include "lib/ref.h"
#include "native/errors.h"
#include "native/samples.h"

namespace tessara::native {
namespace {

const char* stop_kind(AnimationError::Kind kind) noexcept {
  switch (kind) {
    case AnimationError::Kind::Truncated: return "truncated";
    case AnimationError::Kind::TooManyFrames: return "too_many_frames";
    case AnimationError::Kind::TooManyLayers: return "too_many_layers";
    case AnimationError::Kind::Corrupt: return "corrupt";
    default: return "unexpected";
  }
}

PyObject* bytes_of(const std::vector<uint8_t>& data) noexcept {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

// None, or (kind, frame, text) where reading ended early.
PyObject* stopped_tuple(const std::optional<AnimationError>& stopped) noexcept {
  if (!stopped) return Py_NewRef(Py_None);
  std::string text;
  try {
    text = error_text(*stopped);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  py::Ref frame(stopped->frame == AnimationError::kNoFrame
                    ? Py_NewRef(Py_None)
                    : PyLong_FromUnsignedLongLong(stopped->frame));
  if (!frame) return nullptr;
  return Py_BuildValue("(sOs)", stop_kind(stopped->kind), frame.get(), text.c_str());
}

// [(duration ticks, name, layers), ...]
PyObject* frames_list(const std::vector<FrameFacts>& frames) noexcept {
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < frames.size(); ++i) {
    py::Ref name(frame_name(frames[i].name));
    if (!name) return nullptr;
    PyObject* item = Py_BuildValue("(IOI)", frames[i].duration, name.get(), frames[i].layers);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// None, or (colour space, white point, primaries, transfer function, gamma,
// rendering intent) as libjxl's enumeration values.
PyObject* encoding_tuple(const std::optional<JxlColorEncoding>& encoding) noexcept {
  if (!encoding) return Py_NewRef(Py_None);
  return Py_BuildValue("(iiiidi)", static_cast<int>(encoding->color_space),
                       static_cast<int>(encoding->white_point), static_cast<int>(encoding->primaries),
                       static_cast<int>(encoding->transfer_function), encoding->gamma,
                       static_cast<int>(encoding->rendering_intent));
}

// None, or the cICP code points (primaries, transfer, matrix, full range)
// that name the original colour.
PyObject* cicp_tuple(const std::optional<JxlColorEncoding>& encoding) noexcept {
  const std::optional<std::array<uint8_t, 4>> cicp =
      encoding ? cicp_from_color_encoding(*encoding) : std::nullopt;
  if (!cicp) return Py_NewRef(Py_None);
  return Py_BuildValue("(BBBB)", (*cicp)[0], (*cicp)[1], (*cicp)[2], (*cicp)[3]);
}

}  // namespace

PyObject* facts_dict(const FileFacts& f) noexcept {
  py::Ref encoding(encoding_tuple(f.encoding));
  py::Ref cicp(cicp_tuple(f.encoding));
  py::Ref original_icc(bytes_of(f.original_icc));
  py::Ref icc(bytes_of(f.icc));
  py::Ref frames(frames_list(f.frames));
  py::Ref stopped(stopped_tuple(f.stopped));
  if (!encoding || !cicp || !original_icc || !icc || !frames || !stopped) return nullptr;
  return Py_BuildValue(
      "{s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:O,s:I,s:s,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:I,s:I,"
      "s:I,s:O,s:O,s:O}",
      "width", f.width(), "height", f.height(), "stored_width", f.stored_width, "stored_height",
      f.stored_height, "orientation", f.orientation, "colour_channels", f.num_color_channels,
      "bits", f.colour.bits, "exponent_bits", f.colour.exponent_bits, "alpha_bits", f.alpha.bits,
      "alpha_exponent_bits", f.alpha.exponent_bits, "alpha_premultiplied",
      f.alpha_premultiplied ? Py_True : Py_False, "extra_channels", f.num_extra_channels, "dtype",
      dtype_name(full_precision_kind(f)), "xyb", f.xyb_encoded ? Py_True : Py_False, "encoding",
      encoding.get(), "cicp", cicp.get(), "original_icc", original_icc.get(), "icc", icc.get(), "through_cms",
      f.through_cms ? Py_True : Py_False, "animated", f.have_animation ? Py_True : Py_False,
      "tps_numerator", f.tps_numerator, "tps_denominator", f.tps_denominator, "loops",
      f.num_loops, "jpeg_reconstruction", f.jpeg_reconstruction ? Py_True : Py_False, "frames",
      frames.get(), "stopped", stopped.get());
}

PyObject* frame_name(const std::string& name) noexcept {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}

PyObject* facts(PyObject*, PyObject* args) noexcept {
  Borrowed data;
  int all_frames = 1;
  unsigned long long max_frames = kMaxFrames;
  unsigned long long max_layers = kMaxLayers;
  if (!PyArg_ParseTuple(args, "y*pKK:facts", &data.view, &all_frames, &max_frames, &max_layers)) {
    return nullptr;
  }
  const FactsScope scope{all_frames != 0, static_cast<size_t>(max_frames),
                         static_cast<size_t>(max_layers)};
  Result<FileFacts, AnimationError> read = Err{AnimationError{AnimationError::Kind::OutOfMemory}};
  Py_BEGIN_ALLOW_THREADS
  read = read_facts(data.bytes(), scope);
  Py_END_ALLOW_THREADS
  if (!read) {
    // More of the file may finish it: the caller decides.
    if (read.error().kind == AnimationError::Kind::Truncated) return Py_NewRef(Py_None);
    return raise(Failure{read.error()});
  }
  return facts_dict(read.value());
}

}  // namespace tessara::native
