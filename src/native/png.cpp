// The PNG functions of tessara_pillow._native: arguments parsed with the
// lock held, libpng run with it released, failures raised through
// native/errors.h.
#include "native/png.h"

#include <cstring>
#include <utility>

#include "codec/cicp.h"
#include "native/errors.h"
#include "native/sample_buffer.h"
#include "native/samples.h"
#include "native/state.h"
#include "png/png.h"

namespace tessara::native {
namespace {

PyObject* bytes_of(const std::vector<uint8_t>& v) noexcept {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                   static_cast<Py_ssize_t>(v.size()));
}

PyObject* facts_of(const png::PngImage& image) noexcept {
  const png::PngColour& c = image.colour;
  PyObject* cicp = c.cicp ? Py_BuildValue("(BBBB)", (*c.cicp)[0], (*c.cicp)[1], (*c.cicp)[2],
                                          (*c.cicp)[3])
                          : Py_NewRef(Py_None);
  PyObject* xy = Py_None;
  if (c.chromaticities) {
    const auto& v = *c.chromaticities;
    xy = Py_BuildValue("(iiiiiiii)", v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
  } else {
    Py_INCREF(xy);
  }
  PyObject* animation = image.animation ? Py_BuildValue("(II)", image.animation->frames,
                                                        image.animation->plays)
                                        : Py_NewRef(Py_None);
  // "N" takes the references over, also when one of them is missing.
  return Py_BuildValue("(NNiINNNN)", cicp, bytes_of(c.icc), c.srgb_intent, c.gamma, xy,
                       bytes_of(image.exif), bytes_of(image.xmp), animation);
}

}  // namespace

bool parse_cicp(PyObject* object, std::optional<std::array<uint8_t, 4>>& cicp) noexcept {
  if (object == Py_None) return true;
  unsigned char v[4];
  if (!PyTuple_Check(object) ||
      !PyArg_ParseTuple(object, "bbbb;cicp must be a tuple of 4 ints from 0 to 255", &v[0], &v[1],
                        &v[2], &v[3])) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "cicp must be a tuple of 4 ints or None");
    return false;
  }
  cicp = std::array<uint8_t, 4>{v[0], v[1], v[2], v[3]};
  return true;
}

PyObject* png_read(PyObject* module, PyObject* args) noexcept {
  Borrowed data;
  png::PngReadLimits limits;
  unsigned long long max_pixels = 0;
  if (!PyArg_ParseTuple(args, "y*K:png_read", &data.view, &max_pixels)) return nullptr;
  limits.max_pixels = max_pixels;
  Result<png::PngImage, png::PngError> read = Err{png::PngError::of(png::PngError::Kind::Internal)};
  Py_BEGIN_ALLOW_THREADS
  read = png::read_png(data.bytes(), limits);
  Py_END_ALLOW_THREADS
  if (!read) return raise(Failure{read.error()});
  png::PngImage& image = read.value();
  PyObject* facts = facts_of(image);
  if (facts == nullptr) return nullptr;
  PyObject* buffer = new_sample_buffer(state_of(module)->sample_buffer_type,
                                       std::move(image.samples), image.bytes);
  if (buffer == nullptr) {
    Py_DECREF(facts);
    return nullptr;
  }
  return Py_BuildValue("(NIIIsN)", buffer, image.height, image.width, image.channels,
                       image.bits == 16 ? "uint16" : "uint8", facts);
}

PyObject* png_write(PyObject*, PyObject* args) noexcept {
  Borrowed samples, icc, exif, xmp;
  png::PngWriteRequest r;
  const char* dtype = "";
  PyObject* cicp = Py_None;
  if (!PyArg_ParseTuple(args, "y*IIIsOz*z*z*i:png_write", &samples.view, &r.width, &r.height,
                        &r.channels, &dtype, &cicp, &icc.view, &exif.view, &xmp.view,
                        &r.compress_level) ||
      !parse_cicp(cicp, r.cicp)) {
    return nullptr;
  }
  if (std::strcmp(dtype, "uint8") == 0) {
    r.bits = 8;
  } else if (std::strcmp(dtype, "uint16") == 0) {
    r.bits = 16;
  } else {
    return PyErr_Format(PyExc_TypeError, "PNG holds uint8 or uint16 samples, not %s", dtype);
  }
  r.samples = samples.bytes();
  r.icc = icc.view.obj != nullptr ? icc.bytes() : std::span<const uint8_t>{};
  r.exif = exif.view.obj != nullptr ? exif.bytes() : std::span<const uint8_t>{};
  r.xmp = xmp.view.obj != nullptr ? xmp.bytes() : std::span<const uint8_t>{};
  Result<std::vector<uint8_t>, png::PngError> written =
      Err{png::PngError::of(png::PngError::Kind::Internal)};
  Py_BEGIN_ALLOW_THREADS
  written = png::write_png(r);
  Py_END_ALLOW_THREADS
  if (!written) return raise(Failure{written.error()});
  return bytes_of(written.value());
}

PyObject* cicp_encodable(PyObject*, PyObject* args) noexcept {
  PyObject* object = nullptr;
  std::optional<std::array<uint8_t, 4>> cicp;
  if (!PyArg_ParseTuple(args, "O:cicp_encodable", &object) || !parse_cicp(object, cicp)) {
    return nullptr;
  }
  return PyBool_FromLong(cicp && color_encoding_from_cicp(*cicp, false).has_value());
}

}  // namespace tessara::native
