// The benchmarks' baseline: the work of one tessara call done directly
// through libjxl (or libpng, for PNG files), in a long-lived process that the benchmark drives over a
// pipe, so that every timed call runs in-process on both sides and the two
// can be interleaved call by call. It shares no code with the module: what
// each call does is written out here again from libjxl's API.
//
// Commands, one per line on stdin; each answer is one line on stdout,
// "ok ..." or "error MESSAGE":
//   load ID PATH                 keep a file's bytes in memory      -> ok BYTES
//   run REPS JOB...              JOB REPS times in a row            -> ok SECONDS OUT_BYTES
//   par THREADS CALLS JOB...     THREADS threads, CALLS JOBs each   -> ok SECONDS
//   save PATH                    write the last `run` output        -> ok BYTES
//   rss                          peak resident memory so far        -> ok KIB
//   quit
// Jobs (THREADS: -1 is libjxl's default worker count; POOL: "new" makes a
// pool per call as the module does, "reuse" keeps one per worker count):
//   decode ID THREADS POOL OUT       OUT: "native" (libjxl's samples as asked
//                                    for), "convert" (then to the module's
//                                    layout), "u8" (libjxl asked for 8 bits)
//   encode ID W H CHANNELS SAMPLE QUALITY EFFORT LOSSLESS THREADS POOL
//                                    SAMPLE: u8, u16 or f32; LOSSLESS: 0 or 1
//   jpeg ID EFFORT THREADS POOL      lossless JPEG transcode
//   header ID                        basic info only, no pool
//   frames ID                        displayed frames counted from their
//                                    headers (no pixels), no pool
//   animation ID THREADS POOL OUT    every displayed frame in one pass, each
//                                    into the same frame buffer (one frame
//                                    held at a time); OUT: "native" or "u8"
//   png ID                           a PNG read with libpng alone, row by row
//                                    into one buffer, 16-bit samples in native
//                                    byte order
//   chunked ID CHUNK THREADS POOL    the file fed in pieces of CHUNK bytes as
//                                    they would arrive, the bytes libjxl has
//                                    not consumed given again; native samples
// Timing covers the calls only: reading input, parsing the command and
// freeing the last call's output happen outside it.
#include <jxl/codestream_header.h>
#include <jxl/color_encoding.h>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <png.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A result as the module hands it out: one exactly sized, uninitialised
// allocation (a bytes object), written once.
struct Output {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;

  static Output of_size(size_t n) { return {std::unique_ptr<uint8_t[]>(new uint8_t[n]), n}; }
  static Output copy_of(const uint8_t* p, size_t n) {
    Output out = of_size(n);
    if (n != 0) std::memcpy(out.data.get(), p, n);
    return out;
  }
};

std::map<std::string, Bytes> inputs;

const Bytes& input(const std::string& id) {
  auto it = inputs.find(id);
  if (it == inputs.end()) throw Failure("no input " + id);
  return it->second;
}

// ---- thread pools -----------------------------------------------------------

size_t workers_for(int threads) {
  return threads < 0 ? JxlThreadParallelRunnerDefaultNumWorkerThreads()
                     : static_cast<size_t>(threads);
}

// One pool per call, or one kept for the life of the process; a reused pool
// is made before any timed call, by the warm-up.
class Pool {
 public:
  Pool(int threads, bool reuse) : reuse_(reuse) {
    if (reuse_) {
      std::lock_guard<std::mutex> lock(kept_mutex);
      void*& kept = kept_pools[threads];
      if (kept == nullptr) kept = JxlThreadParallelRunnerCreate(nullptr, workers_for(threads));
      runner_ = kept;
    } else {
      runner_ = JxlThreadParallelRunnerCreate(nullptr, workers_for(threads));
    }
    if (runner_ == nullptr) throw Failure("JxlThreadParallelRunnerCreate");
  }
  ~Pool() {
    if (!reuse_) JxlThreadParallelRunnerDestroy(runner_);
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  void* get() const { return runner_; }

 private:
  static inline std::mutex kept_mutex;
  static inline std::map<int, void*> kept_pools;
  bool reuse_;
  void* runner_;
};

bool parse_pool(const std::string& word) {
  if (word == "new") return false;
  if (word == "reuse") return true;
  throw Failure("POOL is new or reuse");
}

// ---- decoding ----------------------------------------------------------------

// A libjxl decoder or encoder, destroyed on every way out.
template <typename T, T* (*Create)(const JxlMemoryManager*), void (*Destroy)(T*)>
struct Handle {
  T* p = Create(nullptr);
  Handle() {
    if (p == nullptr) throw Failure("cannot create a libjxl decoder or encoder");
  }
  ~Handle() { Destroy(p); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};
using DecoderHandle = Handle<JxlDecoder, JxlDecoderCreate, JxlDecoderDestroy>;
using EncoderHandle = Handle<JxlEncoder, JxlEncoderCreate, JxlEncoderDestroy>;

void ok(JxlDecoderStatus status, const char* what) {
  if (status != JXL_DEC_SUCCESS) throw Failure(what);
}

enum class DecodeOut { Native, Convert, Uint8 };

JxlDataType sample_type(const JxlBasicInfo& info) {
  if (info.exponent_bits_per_sample != 0) {
    if (info.bits_per_sample == 16) return JXL_TYPE_FLOAT16;
    if (info.bits_per_sample == 32) return JXL_TYPE_FLOAT;
    throw Failure("float width");
  }
  if (info.bits_per_sample <= 8) return JXL_TYPE_UINT8;
  if (info.bits_per_sample <= 16) return JXL_TYPE_UINT16;
  if (info.bits_per_sample == 32) return JXL_TYPE_FLOAT;
  throw Failure("integer width");
}

float half_to_float(uint16_t h) {
  const uint32_t sign = (h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1fu;
  const uint32_t mantissa = h & 0x3ffu;
  float magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(static_cast<float>(mantissa), -24);
  } else if (exponent == 31) {
    magnitude = mantissa ? NAN : INFINITY;
  } else {
    magnitude = std::ldexp(static_cast<float>(mantissa | 0x400u), static_cast<int>(exponent) - 25);
  }
  uint32_t bits;
  std::memcpy(&bits, &magnitude, 4);
  bits |= sign;
  float out;
  std::memcpy(&out, &bits, 4);
  return out;
}

uint8_t float_to_byte(float v) {
  v *= 255.0f;
  if (!(v > 0.0f)) return 0;
  return v < 255.0f ? static_cast<uint8_t>(v) : 255;
}

// One output byte for each sample of type T in `scratch`.
template <typename T, typename F>
Output to_bytes(const uint8_t* scratch, size_t bytes, F&& to_byte) {
  const size_t n = bytes / sizeof(T);
  Output out = Output::of_size(n);
  for (size_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, scratch + sizeof(T) * i, sizeof(T));
    out.data[i] = to_byte(v);
  }
  return out;
}

// The module's layout for samples libjxl cannot write in it: colour at 8
// bits (the high byte of 16-bit samples, floats times 255 clamped and
// truncated), half-float grey widened to 32 bits.
Output to_module_layout(const uint8_t* scratch, size_t bytes, JxlDataType type, bool grey) {
  if (type == JXL_TYPE_UINT16) {
    return to_bytes<uint16_t>(scratch, bytes, [](uint16_t v) { return static_cast<uint8_t>(v >> 8); });
  }
  if (type == JXL_TYPE_FLOAT) return to_bytes<float>(scratch, bytes, float_to_byte);
  if (!grey) {
    return to_bytes<uint16_t>(scratch, bytes, [](uint16_t h) { return float_to_byte(half_to_float(h)); });
  }
  const size_t n = bytes / 2;
  Output out = Output::of_size(n * 4);
  for (size_t i = 0; i < n; ++i) {
    uint16_t h;
    std::memcpy(&h, scratch + 2 * i, 2);
    const float v = half_to_float(h);
    std::memcpy(out.data.get() + 4 * i, &v, 4);
  }
  return out;
}

uint64_t read_be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Every box of a container copied out, as the decode call returns them.
std::vector<Bytes> copy_boxes(const Bytes& file) {
  static const uint8_t signature[12] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 0x0d, 0x0a, 0x87, 0x0a};
  std::vector<Bytes> boxes;
  if (file.size() < 12 || std::memcmp(file.data(), signature, 12) != 0) return boxes;
  size_t pos = 32;  // after the signature and file-type boxes
  while (pos + 8 <= file.size()) {
    uint64_t length = read_be(&file[pos], 4);
    size_t header = 8;
    if (length == 1) {
      if (pos + 16 > file.size()) break;
      length = read_be(&file[pos + 8], 8);
      header = 16;
    } else if (length == 0) {
      length = file.size() - pos;
    }
    if (length < header || length > file.size() - pos) break;
    boxes.emplace_back(file.begin() + static_cast<ptrdiff_t>(pos + header),
                       file.begin() + static_cast<ptrdiff_t>(pos + length));
    pos += length;
  }
  return boxes;
}

Output decode(const Bytes& file, int threads, bool reuse, DecodeOut out_kind) {
  Pool pool(threads, reuse);
  DecoderHandle h;
  ok(JxlDecoderSetParallelRunner(h.p, JxlThreadParallelRunner, pool.get()), "runner");
  ok(JxlDecoderSubscribeEvents(h.p, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                          JXL_DEC_FULL_IMAGE | JXL_DEC_JPEG_RECONSTRUCTION),
     "subscribe");
  ok(JxlDecoderSetInput(h.p, file.data(), file.size()), "input");
  JxlDecoderCloseInput(h.p);

  JxlBasicInfo info{};
  Bytes icc, jpeg;
  Output pixels;                       // the result, when libjxl writes it directly
  std::unique_ptr<uint8_t[]> scratch;  // otherwise libjxl writes here
  size_t scratch_size = 0;
  JxlDataType type = JXL_TYPE_UINT8;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(h.p);
    if (status == JXL_DEC_SUCCESS) break;
    switch (status) {
      case JXL_DEC_BASIC_INFO:
        ok(JxlDecoderGetBasicInfo(h.p, &info), "basic info");
        break;
      case JXL_DEC_COLOR_ENCODING: {
        size_t size = 0;
        ok(JxlDecoderGetICCProfileSize(h.p, JXL_COLOR_PROFILE_TARGET_DATA, &size), "icc size");
        icc.resize(size);
        ok(JxlDecoderGetColorAsICCProfile(h.p, JXL_COLOR_PROFILE_TARGET_DATA, icc.data(), size),
           "icc");
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        type = out_kind == DecodeOut::Uint8 ? JXL_TYPE_UINT8 : sample_type(info);
        const uint32_t channels = info.num_color_channels + (info.alpha_bits ? 1u : 0u);
        const JxlPixelFormat format{channels, type, JXL_NATIVE_ENDIAN, 0};
        size_t size = 0;
        ok(JxlDecoderImageOutBufferSize(h.p, &format, &size), "buffer size");
        const bool grey = info.num_color_channels == 1;
        const bool direct = out_kind != DecodeOut::Convert || type == JXL_TYPE_UINT8 ||
                            (grey && type != JXL_TYPE_FLOAT16);
        uint8_t* target;
        if (direct) {
          if (pixels.size != size) pixels = Output::of_size(size);
          target = pixels.data.get();
        } else {
          if (scratch_size != size) scratch.reset(new uint8_t[size]);
          scratch_size = size;
          target = scratch.get();
        }
        ok(JxlDecoderSetImageOutBuffer(h.p, &format, target, size), "image buffer");
        break;
      }
      case JXL_DEC_JPEG_RECONSTRUCTION:
        jpeg.resize(512 * 1024);
        ok(JxlDecoderSetJPEGBuffer(h.p, jpeg.data(), jpeg.size()), "jpeg buffer");
        break;
      case JXL_DEC_JPEG_NEED_MORE_OUTPUT: {
        const size_t written = jpeg.size() - JxlDecoderReleaseJPEGBuffer(h.p);
        jpeg.resize(jpeg.size() * 2);
        ok(JxlDecoderSetJPEGBuffer(h.p, jpeg.data() + written, jpeg.size() - written),
           "jpeg buffer");
        break;
      }
      case JXL_DEC_FULL_IMAGE:
      case JXL_DEC_FRAME:
        break;
      default:
        throw Failure("decode failed");
    }
  }
  if (!jpeg.empty()) jpeg.resize(jpeg.size() - JxlDecoderReleaseJPEGBuffer(h.p));
  // The module resets its decoder on success, which frees libjxl's frame
  // memory before any conversion; the same here keeps the peaks comparable.
  JxlDecoderReset(h.p);
  if (!jpeg.empty()) {
    pixels = Output::copy_of(jpeg.data(), jpeg.size());
  } else if (scratch) {
    pixels = to_module_layout(scratch.get(), scratch_size, type, info.num_color_channels == 1);
  }
  const std::vector<Bytes> boxes = copy_boxes(file);
  const Output icc_bytes = Output::copy_of(icc.data(), icc.size());
  return pixels;
}

// What reading the header alone costs libjxl: the basic info, nothing more.
Output header(const Bytes& file) {
  DecoderHandle h;
  ok(JxlDecoderSubscribeEvents(h.p, JXL_DEC_BASIC_INFO), "subscribe");
  ok(JxlDecoderSetInput(h.p, file.data(), file.size()), "input");
  JxlDecoderCloseInput(h.p);
  if (JxlDecoderProcessInput(h.p) != JXL_DEC_BASIC_INFO) throw Failure("header");
  JxlBasicInfo info{};
  ok(JxlDecoderGetBasicInfo(h.p, &info), "basic info");
  Output out = Output::of_size(8);
  std::memcpy(out.data.get(), &info.xsize, 4);
  std::memcpy(out.data.get() + 4, &info.ysize, 4);
  return out;
}

// A PNG read the plain libpng way (png_read_row over a memory reader), the
// baseline of tessara's PNG reader: the same samples into one buffer.
struct PngSource {
  const Bytes* file;
  size_t at;
};

void png_read_memory(png_structp png, png_bytep out, size_t n) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (n > src->file->size() - src->at) png_error(png, "truncated");
  std::memcpy(out, src->file->data() + src->at, n);
  src->at += n;
}

struct PngReader {
  png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(p);
  PngSource src;
  size_t row_bytes = 0;
  png_uint_32 height = 0;
  int passes = 1;
  ~PngReader() { png_destroy_read_struct(&p, &info, nullptr); }
};

// The two libpng stages, each under its own setjmp with nothing to destroy
// in its frame.
bool png_begin(PngReader& r) {
  if (setjmp(png_jmpbuf(r.p)) != 0) return false;
  png_set_read_fn(r.p, &r.src, png_read_memory);
  png_read_info(r.p, r.info);
  png_set_expand(r.p);
  if (png_get_bit_depth(r.p, r.info) == 16) png_set_swap(r.p);
  r.passes = png_set_interlace_handling(r.p);
  png_read_update_info(r.p, r.info);
  r.row_bytes = png_get_rowbytes(r.p, r.info);
  r.height = png_get_image_height(r.p, r.info);
  return true;
}

bool png_rows(PngReader& r, uint8_t* out) {
  if (setjmp(png_jmpbuf(r.p)) != 0) return false;
  for (int pass = 0; pass < r.passes; ++pass) {
    for (png_uint_32 y = 0; y < r.height; ++y) png_read_row(r.p, out + y * r.row_bytes, nullptr);
  }
  png_read_end(r.p, nullptr);
  return true;
}

Output png(const Bytes& file) {
  PngReader r;
  r.src = {&file, 0};
  if (!png_begin(r)) throw Failure("libpng failed");
  Output out = Output::of_size(r.row_bytes * r.height);
  if (!png_rows(r, out.data.get())) throw Failure("libpng failed");
  return out;
}

// What n_frames costs libjxl: every frame header, each frame's data skipped.
Output frames(const Bytes& file) {
  DecoderHandle h;
  ok(JxlDecoderSubscribeEvents(h.p, JXL_DEC_FRAME), "subscribe");
  ok(JxlDecoderSetInput(h.p, file.data(), file.size()), "input");
  JxlDecoderCloseInput(h.p);
  uint64_t count = 0;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(h.p);
    if (status == JXL_DEC_SUCCESS) break;
    if (status != JXL_DEC_FRAME) throw Failure("frame walk failed");
    JxlFrameHeader header;
    ok(JxlDecoderGetFrameHeader(h.p, &header), "frame header");
    ++count;
  }
  Output out = Output::of_size(sizeof count);
  std::memcpy(out.data.get(), &count, sizeof count);
  return out;
}

// Playing an animation through: every displayed frame (libjxl's coalescing)
// decoded in turn into one frame buffer, with its header read.
Output animation(const Bytes& file, int threads, bool reuse, DecodeOut out_kind) {
  Pool pool(threads, reuse);
  DecoderHandle h;
  ok(JxlDecoderSetParallelRunner(h.p, JxlThreadParallelRunner, pool.get()), "runner");
  ok(JxlDecoderSubscribeEvents(h.p, JXL_DEC_BASIC_INFO | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE),
     "subscribe");
  ok(JxlDecoderSetInput(h.p, file.data(), file.size()), "input");
  JxlDecoderCloseInput(h.p);
  JxlBasicInfo info{};
  Output frame;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(h.p);
    if (status == JXL_DEC_SUCCESS) break;
    switch (status) {
      case JXL_DEC_BASIC_INFO:
        ok(JxlDecoderGetBasicInfo(h.p, &info), "basic info");
        break;
      case JXL_DEC_FRAME: {
        JxlFrameHeader header;
        ok(JxlDecoderGetFrameHeader(h.p, &header), "frame header");
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        const JxlDataType type = out_kind == DecodeOut::Uint8 ? JXL_TYPE_UINT8 : sample_type(info);
        const uint32_t channels = info.num_color_channels + (info.alpha_bits ? 1u : 0u);
        const JxlPixelFormat format{channels, type, JXL_NATIVE_ENDIAN, 0};
        size_t size = 0;
        ok(JxlDecoderImageOutBufferSize(h.p, &format, &size), "buffer size");
        if (frame.size != size) frame = Output::of_size(size);
        ok(JxlDecoderSetImageOutBuffer(h.p, &format, frame.data.get(), size), "image buffer");
        break;
      }
      case JXL_DEC_FULL_IMAGE:
        break;
      default:
        throw Failure("animation decode failed");
    }
  }
  return frame;
}

// A decode of bytes as they arrive: the input left open, each request for
// more answered with the unconsumed rest and the next piece.
Output chunked(const Bytes& file, size_t chunk, int threads, bool reuse) {
  Pool pool(threads, reuse);
  DecoderHandle h;
  ok(JxlDecoderSetParallelRunner(h.p, JxlThreadParallelRunner, pool.get()), "runner");
  ok(JxlDecoderSubscribeEvents(h.p, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE), "subscribe");
  JxlBasicInfo info{};
  Output pixels;
  Bytes input;
  size_t at = 0;
  for (;;) {
    switch (JxlDecoderProcessInput(h.p)) {
      case JXL_DEC_BASIC_INFO:
        ok(JxlDecoderGetBasicInfo(h.p, &info), "basic info");
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        const uint32_t channels = info.num_color_channels + (info.alpha_bits ? 1u : 0u);
        const JxlPixelFormat format{channels, sample_type(info), JXL_NATIVE_ENDIAN, 0};
        size_t size = 0;
        ok(JxlDecoderImageOutBufferSize(h.p, &format, &size), "buffer size");
        pixels = Output::of_size(size);
        ok(JxlDecoderSetImageOutBuffer(h.p, &format, pixels.data.get(), size), "image buffer");
        break;
      }
      case JXL_DEC_NEED_MORE_INPUT: {
        const size_t left = JxlDecoderReleaseInput(h.p);
        input.erase(input.begin(), input.end() - static_cast<ptrdiff_t>(left));
        if (at == file.size()) throw Failure("truncated");
        const size_t n = std::min(chunk, file.size() - at);
        input.insert(input.end(), file.begin() + static_cast<ptrdiff_t>(at),
                     file.begin() + static_cast<ptrdiff_t>(at + n));
        at += n;
        ok(JxlDecoderSetInput(h.p, input.data(), input.size()), "input");
        break;
      }
      case JXL_DEC_FULL_IMAGE:
        JxlDecoderReleaseInput(h.p);
        return pixels;
      default:
        throw Failure("chunked decode failed");
    }
  }
}

// ---- encoding ----------------------------------------------------------------

void ok(JxlEncoderStatus status, const char* what) {
  if (status != JXL_ENC_SUCCESS) throw Failure(what);
}

struct EncodeJob {
  uint32_t width = 0, height = 0, channels = 3;
  std::string sample = "u8";
  float quality = 90;
  int effort = 7;
  bool lossless = false;
};

// Drains the encoder into a buffer that starts at 512 KiB and doubles, then
// copies the result once into an exactly sized one (the bytes object).
Output drain(JxlEncoder* enc) {
  JxlEncoderCloseInput(enc);
  Bytes buffer(512 * 1024);
  uint8_t* next = buffer.data();
  size_t avail = buffer.size();
  JxlEncoderStatus status;
  while ((status = JxlEncoderProcessOutput(enc, &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
    const size_t written = static_cast<size_t>(next - buffer.data());
    buffer.resize(buffer.size() * 2);
    next = buffer.data() + written;
    avail = buffer.size() - written;
  }
  ok(status, "encode failed");
  return Output::copy_of(buffer.data(), static_cast<size_t>(next - buffer.data()));
}

// Settings in the order the module applies them; a JPEG frame gets no distance.
JxlEncoderFrameSettings* frame_settings(JxlEncoder* enc, void* runner, bool lossless, int effort,
                                        const float* distance) {
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
  if (fs == nullptr) throw Failure("frame settings");
  ok(JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner), "runner");
  ok(JxlEncoderUseContainer(enc, JXL_FALSE), "container");
  ok(JxlEncoderSetFrameLossless(fs, lossless ? JXL_TRUE : JXL_FALSE), "lossless");
  ok(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, effort), "effort");
  if (distance != nullptr) ok(JxlEncoderSetFrameDistance(fs, *distance), "distance");
  ok(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_DECODING_SPEED, 0), "speed");
  return fs;
}

Output encode(const Bytes& pixels, const EncodeJob& job, int threads, bool reuse) {
  Pool pool(threads, reuse);
  EncoderHandle h;
  const float distance = JxlEncoderDistanceFromQuality(job.quality);
  JxlEncoderFrameSettings* fs = frame_settings(h.p, pool.get(), job.lossless, job.effort, &distance);

  JxlDataType type = JXL_TYPE_UINT8;
  uint32_t bits = 8, exponent_bits = 0;
  if (job.sample == "u16") {
    type = JXL_TYPE_UINT16;
    bits = 16;
  } else if (job.sample == "f32") {
    type = JXL_TYPE_FLOAT;
    bits = 32;
    exponent_bits = 8;
  } else if (job.sample != "u8") {
    throw Failure("SAMPLE is u8, u16 or f32");
  }
  const bool alpha = job.channels == 2 || job.channels == 4;
  const bool grey = job.channels <= 2;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.have_container = JXL_FALSE;
  info.xsize = job.width;
  info.ysize = job.height;
  info.bits_per_sample = bits;
  info.exponent_bits_per_sample = exponent_bits;
  info.uses_original_profile = job.lossless ? JXL_TRUE : JXL_FALSE;
  info.num_extra_channels = alpha ? 1 : 0;
  info.alpha_bits = alpha ? bits : 0;
  info.alpha_exponent_bits = alpha ? exponent_bits : 0;
  if (grey) info.num_color_channels = 1;
  ok(JxlEncoderSetBasicInfo(h.p, &info), "basic info");
  // 8-bit samples are sRGB; 16-bit and float (grey only) linear.
  JxlColorEncoding color;
  if (type == JXL_TYPE_UINT8) {
    JxlColorEncodingSetToSRGB(&color, grey ? JXL_TRUE : JXL_FALSE);
  } else {
    JxlColorEncodingSetToLinearSRGB(&color, grey ? JXL_TRUE : JXL_FALSE);
  }
  ok(JxlEncoderSetColorEncoding(h.p, &color), "colour encoding");
  const JxlPixelFormat format{job.channels, type, JXL_NATIVE_ENDIAN, 0};
  ok(JxlEncoderAddImageFrame(fs, &format, pixels.data(), pixels.size()), "frame");
  return drain(h.p);
}

Output transcode(const Bytes& jpeg, int effort, int threads, bool reuse) {
  Pool pool(threads, reuse);
  EncoderHandle h;
  JxlEncoderFrameSettings* fs = frame_settings(h.p, pool.get(), false, effort, nullptr);
  ok(JxlEncoderStoreJPEGMetadata(h.p, JXL_TRUE), "jpeg metadata");
  ok(JxlEncoderAddJPEGFrame(fs, jpeg.data(), jpeg.size()), "jpeg frame");
  return drain(h.p);
}

// ---- the command loop ----------------------------------------------------------

using Job = std::function<Output()>;

template <typename T>
T word(std::istringstream& in, const char* name) {
  T value;
  if (!(in >> value)) throw Failure(std::string("missing or bad ") + name);
  return value;
}

// An input named by the next word; kept for the life of the process.
const Bytes& input_word(std::istringstream& in) {
  const auto id = word<std::string>(in, "ID");
  return input(id);
}

struct PoolWords {
  int threads;
  bool reuse;
};

PoolWords pool_words(std::istringstream& in) {
  const int threads = word<int>(in, "THREADS");
  return {threads, parse_pool(word<std::string>(in, "POOL"))};
}

Job parse_job(std::istringstream& in) {
  const auto kind = word<std::string>(in, "JOB");
  if (kind == "decode") {
    const Bytes& file = input_word(in);
    const auto [threads, reuse] = pool_words(in);
    const auto out = word<std::string>(in, "OUT");
    DecodeOut kind_out = out == "native"  ? DecodeOut::Native
                         : out == "convert" ? DecodeOut::Convert
                         : out == "u8"      ? DecodeOut::Uint8
                                            : throw Failure("OUT is native, convert or u8");
    return [&file, threads, reuse, kind_out] { return decode(file, threads, reuse, kind_out); };
  }
  if (kind == "encode") {
    const Bytes& pixels = input_word(in);
    EncodeJob job;
    job.width = word<uint32_t>(in, "W");
    job.height = word<uint32_t>(in, "H");
    job.channels = word<uint32_t>(in, "CHANNELS");
    job.sample = word<std::string>(in, "SAMPLE");
    job.quality = word<float>(in, "QUALITY");
    job.effort = word<int>(in, "EFFORT");
    job.lossless = word<int>(in, "LOSSLESS") != 0;
    const auto [threads, reuse] = pool_words(in);
    return [&pixels, job, threads, reuse] { return encode(pixels, job, threads, reuse); };
  }
  if (kind == "jpeg") {
    const Bytes& jpeg = input_word(in);
    const int effort = word<int>(in, "EFFORT");
    const auto [threads, reuse] = pool_words(in);
    return [&jpeg, effort, threads, reuse] { return transcode(jpeg, effort, threads, reuse); };
  }
  if (kind == "header") {
    const Bytes& file = input_word(in);
    return [&file] { return header(file); };
  }
  if (kind == "frames") {
    const Bytes& file = input_word(in);
    return [&file] { return frames(file); };
  }
  if (kind == "png") {
    const Bytes& file = input_word(in);
    return [&file] { return png(file); };
  }
  if (kind == "animation") {
    const Bytes& file = input_word(in);
    const auto [threads, reuse] = pool_words(in);
    const auto out = word<std::string>(in, "OUT");
    const DecodeOut kind_out = out == "native" ? DecodeOut::Native
                               : out == "u8"   ? DecodeOut::Uint8
                                               : throw Failure("OUT is native or u8");
    return [&file, threads, reuse, kind_out] { return animation(file, threads, reuse, kind_out); };
  }
  if (kind == "chunked") {
    const Bytes& file = input_word(in);
    const auto chunk = word<size_t>(in, "CHUNK");
    const auto [threads, reuse] = pool_words(in);
    return [&file, chunk, threads, reuse] { return chunked(file, chunk, threads, reuse); };
  }
  throw Failure("unknown job " + kind);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The peak resident memory of this program's memory map (VmHWM), not
// ru_maxrss, which Linux carries over exec from the forking process.
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

Output last;  // the last `run` output, kept (and freed) outside the timing

std::string command(const std::string& line) {
  std::istringstream in(line);
  const auto name = word<std::string>(in, "command");
  std::ostringstream reply;
  reply.precision(9);
  if (name == "load") {
    const auto id = word<std::string>(in, "ID");
    const auto path = word<std::string>(in, "PATH");
    // Read into one buffer of the file's size: a growing buffer would leave
    // its old copies in the peak memory measured after this.
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) throw Failure("cannot read " + path);
    Bytes& data = inputs[id];
    data = Bytes();
    data.resize(static_cast<size_t>(file.tellg()));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()))) {
      throw Failure("cannot read " + path);
    }
    reply << "ok " << data.size();
  } else if (name == "run") {
    const int reps = word<int>(in, "REPS");
    Job job = parse_job(in);
    last = Output();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) last = job();
    reply << "ok " << seconds_since(start) << ' ' << last.size;
  } else if (name == "par") {
    const int nthreads = word<int>(in, "THREADS");
    const int calls = word<int>(in, "CALLS");
    Job job = parse_job(in);
    std::vector<std::thread> threads;
    std::vector<std::string> errors(static_cast<size_t>(nthreads));
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < nthreads; ++t) {
      threads.emplace_back([&, t] {
        try {
          for (int i = 0; i < calls; ++i) job();
        } catch (const std::exception& e) {
          errors[static_cast<size_t>(t)] = e.what();
        }
      });
    }
    for (auto& t : threads) t.join();
    const double elapsed = seconds_since(start);
    for (const auto& e : errors) {
      if (!e.empty()) throw Failure(e);
    }
    reply << "ok " << elapsed;
  } else if (name == "save") {
    const auto path = word<std::string>(in, "PATH");
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(last.data.get()), static_cast<std::streamsize>(last.size));
    if (!file) throw Failure("cannot write " + path);
    reply << "ok " << last.size;
  } else if (name == "rss") {
    reply << "ok " << peak_rss_kib();
  } else {
    throw Failure("unknown command " + name);
  }
  return reply.str();
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    if (line == "quit") break;
    std::string reply;
    try {
      reply = command(line);
    } catch (const std::exception& e) {
      reply = std::string("error ") + e.what();
    }
    std::cout << reply << '\n' << std::flush;
  }
  return 0;
}
