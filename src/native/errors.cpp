// Codec failures as Python exceptions: bad files and unstorable arrays are
// ValueError, a frame past a file's end IndexError, memory that could not be
// had is MemoryError, and what only a broken libjxl or a bug of ours could
// cause is RuntimeError/SystemError.
#include "native/errors.h"

#include <new>
#include <string>

namespace tessara::native {
namespace {

PyObject* set(PyObject* type, const char* text) noexcept {
  PyErr_SetString(type, text);
  return nullptr;
}

PyObject* raise_encode(EncodeError error) noexcept {
  switch (error) {
    case EncodeError::AllocationFailed:
    case EncodeError::OutOfMemory: return PyErr_NoMemory();
    case EncodeError::BadInput:
    case EncodeError::NotSupported:
    case EncodeError::ApiUsage:
    case EncodeError::Jbrd:
      PyErr_Format(PyExc_ValueError, "libjxl refused the image or its settings: %s",
                   error_text(error));
      return nullptr;
    case EncodeError::CannotCreateEncoder:
    case EncodeError::GenericError:
    case EncodeError::NeedMoreOutput:
      PyErr_Format(PyExc_RuntimeError, "libjxl failed to encode: %s", error_text(error));
      return nullptr;
    case EncodeError::Unreachable: break;
  }
  return set(PyExc_SystemError, "libjxl reported an error without an error code");
}

PyObject* raise_frame(FrameProblem problem) noexcept {
  switch (problem) {
    case FrameProblem::NotFinite:
      return set(PyExc_ValueError,
                 "lossy coding cannot store NaN, infinity or magnitudes above 1e30 (libjxl "
                 "would end the process): replace them, or encode with lossless=True");
    case FrameProblem::UnkeptHalf:
      return set(PyExc_ValueError,
                 "lossless float16 coding in libjxl 0.11 changes NaN and the subnormals "
                 "0x0200-0x03FF (and their negatives), which the array holds: encode it as "
                 "float32 for an exact copy");
    case FrameProblem::AboveDepth:
      return set(PyExc_ValueError, "a sample is above the largest value bits_per_sample allows");
    case FrameProblem::Shape:
      return set(PyExc_ValueError, "the samples do not match the size, channels and depth");
    case FrameProblem::None: break;
  }
  return set(PyExc_SystemError, "a frame problem without a problem");
}

// The codec's own one-line text for an error of `type`.
template <typename Error>
PyObject* set_text(PyObject* type, const Error& error) noexcept {
  try {
    const std::string text = error_text(error);
    return set(type, text.c_str());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// The codec's own one-line text ("frame 2: the file is truncated").
PyObject* raise_animation(const AnimationError& error) noexcept {
  using K = AnimationError::Kind;
  PyObject* type = PyExc_ValueError;
  switch (error.kind) {
    case K::OutOfMemory: return PyErr_NoMemory();
    case K::NotJpegXl:
      return set(PyExc_ValueError, "not a JPEG XL file: no codestream or container signature");
    case K::NoSuchFrame: type = PyExc_IndexError; break;
    case K::DecoderCreateFailed:
    case K::Unexpected: type = PyExc_RuntimeError; break;
    case K::BufferSize: type = PyExc_SystemError; break;
    case K::Corrupt:
    case K::Truncated:
    case K::TooManyFrames:
    case K::TooManyLayers:
    case K::FormatRefused: break;
  }
  return set_text(type, error);
}

PyObject* raise_progressive(const ProgressiveError& error) noexcept {
  using K = ProgressiveError::Kind;
  PyObject* type = PyExc_ValueError;
  switch (error.kind) {
    case K::OutOfMemory: return PyErr_NoMemory();
    case K::DecoderCreateFailed:
    case K::Unexpected: type = PyExc_RuntimeError; break;
    case K::NotJpegXl:
    case K::Corrupt:
    case K::TooLarge:
    case K::TooManyLayers:
    case K::NoImageYet:
    case K::BadFormat: break;
  }
  return set_text(type, error);
}

PyObject* raise_png(const png::PngError& error) noexcept {
  using K = png::PngError::Kind;
  switch (error.kind) {
    case K::NotPng: return set(PyExc_ValueError, "not a PNG file: no PNG signature");
    case K::Corrupt:
      PyErr_Format(PyExc_ValueError, "libpng cannot read the file: %s", error.message);
      return nullptr;
    case K::Truncated:
      return set(PyExc_ValueError,
                 "the PNG image data ends before its last row: the file is truncated or damaged");
    case K::TooLarge: return set(PyExc_ValueError, "the image has more pixels than the limit");
    case K::OutOfMemory: return PyErr_NoMemory();
    case K::TextTooLarge:
      return set(PyExc_ValueError, "its XMP text decompresses to more than 1 MiB");
    case K::BadRequest:
      return set(PyExc_ValueError,
                 "the samples do not match the size, channels and depth (PNG: 1 to 4 "
                 "channels, 8 or 16 bits)");
    case K::Refused:
      PyErr_Format(PyExc_ValueError, "libpng refused to write the image: %s", error.message);
      return nullptr;
    case K::Internal: break;
  }
  return set(PyExc_SystemError, "libpng could not be set up");
}

}  // namespace

PyObject* raise(const Failure& failure) noexcept {
  if (const auto* e = std::get_if<png::PngError>(&failure)) return raise_png(*e);
  if (const auto* e = std::get_if<EncodeError>(&failure)) return raise_encode(*e);
  if (const auto* e = std::get_if<FrameProblem>(&failure)) return raise_frame(*e);
  if (const auto* e = std::get_if<AnimationError>(&failure)) return raise_animation(*e);
  if (const auto* e = std::get_if<ProgressiveError>(&failure)) return raise_progressive(*e);
  return set(PyExc_ValueError,
             "num_threads: libjxl cannot start a pool of that many workers (at most 1024)");
}

}  // namespace tessara::native
