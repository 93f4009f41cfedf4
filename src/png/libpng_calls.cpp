// The guarded libpng calls and their callbacks (libpng_calls.h). Nothing
// here has a destructor; the std::vectors reached through the states belong
// to the callers and only grow through noexcept helpers.
#include "png/libpng_calls.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/memory.h"

namespace tessara::png::detail {
namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
// libpng's widths and heights are 31-bit.
constexpr uint64_t kLargestSide = 0x7FFFFFFF;
// Unknown and text chunks libpng may keep in its info struct at once.
constexpr png_uint_32 kChunkCache = 64;
constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";

// Records the first failure; libpng's message when there is no better one.
void record(Failure* f, PngError::Kind kind, const char* message) noexcept {
  if (f->set) return;
  f->set = true;
  f->error.kind = f->out_of_memory ? PngError::Kind::OutOfMemory : kind;
  std::strncpy(f->error.message, message != nullptr ? message : "",
               sizeof f->error.message - 1);
  f->error.message[sizeof f->error.message - 1] = '\0';
}

[[noreturn]] void on_error(png_structp png, png_const_charp message) noexcept {
  record(static_cast<Failure*>(png_get_error_ptr(png)), PngError::Kind::Corrupt, message);
  png_longjmp(png, 1);
}

[[noreturn]] void on_write_error(png_structp png, png_const_charp message) noexcept {
  record(static_cast<Failure*>(png_get_error_ptr(png)), PngError::Kind::Refused, message);
  png_longjmp(png, 1);
}

// Damage libpng can read past (a bad ancillary chunk, say) is not the
// caller's business, and standard error is never libpng's to write to.
void on_warning(png_structp, png_const_charp) noexcept {}

png_voidp on_malloc(png_structp png, png_alloc_size_t size) noexcept {
  void* p = std::malloc(size);
  if (p == nullptr) static_cast<Failure*>(png_get_mem_ptr(png))->out_of_memory = true;
  return p;
}

void on_free(png_structp, png_voidp p) noexcept { std::free(p); }

// Ends the libpng call under way with a failure of ours.
[[noreturn]] void fail(png_structp png, Failure* f, PngError::Kind kind) noexcept {
  record(f, kind, "");
  png_longjmp(png, 1);
}

ReadState* read_state(png_structp png) noexcept {
  return static_cast<ReadState*>(png_get_progressive_ptr(png));
}

void on_info(png_structp png, png_infop info) noexcept {
  ReadState* s = read_state(png);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour_type = 0, interlace = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colour_type, &interlace, nullptr, nullptr);
  if (uint64_t{width} * height > s->max_pixels) fail(png, &s->failure, PngError::Kind::TooLarge);
  png_set_expand(png);  // palette, low-bit grey and tRNS to 8-bit samples and alpha
  if (depth == 16 && kLittleEndian) png_set_swap(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  s->width = width;
  s->height = height;
  s->channels = png_get_channels(png, info);
  s->bits = png_get_bit_depth(png, info);
  s->interlaced = interlace != PNG_INTERLACE_NONE;
  s->row_bytes = png_get_rowbytes(png, info);
  if ((s->bits != 8 && s->bits != 16) || s->channels < 1 || s->channels > 4 ||
      s->row_bytes != size_t{width} * s->channels * (s->bits / 8)) {
    fail(png, &s->failure, PngError::Kind::Internal);
  }
  // No overflow: width x height is within max_pixels, at most 8 bytes a pixel.
  s->samples = new (std::nothrow) uint8_t[s->row_bytes * height];
  if (s->samples == nullptr) {
    s->failure.out_of_memory = true;
    fail(png, &s->failure, PngError::Kind::OutOfMemory);
  }
}

void on_row(png_structp png, png_bytep row, png_uint_32 row_number, int pass) noexcept {
  ReadState* s = read_state(png);
  if (s->samples == nullptr || row_number >= s->height) return;
  if (row != nullptr) {
    uint8_t* target = s->samples + row_number * s->row_bytes;
    if (s->interlaced) {
      png_progressive_combine_row(png, target, row);
    } else {
      std::memcpy(target, row, s->row_bytes);
    }
  }
  // libpng calls for every row of every pass, with no data for rows a pass
  // does not touch, so the last call is this one.
  if (pass == (s->interlaced ? 6 : 0) && row_number + 1 == s->height) s->complete = true;
}

uint32_t big_endian(const uint8_t* p) noexcept {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Every unknown chunk, and the text chunks routed here, as stored: acTL is
// read, the XMP text kept raw (decompressed later, within the text limit),
// and every other text passed over without being decompressed.
int on_unknown_chunk(png_structp png, png_unknown_chunkp chunk) noexcept {
  auto* s = static_cast<ReadState*>(png_get_user_chunk_ptr(png));
  const char* name = reinterpret_cast<const char*>(chunk->name);
  if (std::strcmp(name, "acTL") == 0) {
    if (chunk->size == 8 && !s->has_animation) {
      s->has_animation = true;
      s->frames = big_endian(chunk->data);
      s->plays = big_endian(chunk->data + 4);
    }
    return 1;
  }
  const bool text = std::strcmp(name, "tEXt") == 0 || std::strcmp(name, "zTXt") == 0 ||
                    std::strcmp(name, "iTXt") == 0;
  if (text && chunk->size > sizeof kXmpKeyword &&
      std::memcmp(chunk->data, kXmpKeyword, sizeof kXmpKeyword) == 0) {
    if (!try_assign(*s->xmp_chunk, static_cast<const uint8_t*>(chunk->data),
                    static_cast<const uint8_t*>(chunk->data) + chunk->size)) {
      s->failure.out_of_memory = true;
      fail(png, &s->failure, PngError::Kind::OutOfMemory);
    }
    s->xmp_kind = name[0];
    return 1;
  }
  // An unknown critical chunk is left to libpng, which refuses the file.
  return (name[0] & 0x20) != 0 ? 1 : 0;
}

png_structp create(bool read, Failure* f) noexcept {
  auto* create_struct = read ? png_create_read_struct_2 : png_create_write_struct_2;
  return create_struct(PNG_LIBPNG_VER_STRING, f, read ? on_error : on_write_error, on_warning, f,
                       on_malloc, on_free);
}

void on_write(png_structp png, png_bytep data, size_t size) noexcept {
  auto* s = static_cast<WriteState*>(png_get_io_ptr(png));
  std::vector<uint8_t>& out = *s->out;
  if (size > out.size() - s->used) {
    // Geometric growth: the file is written in many small pieces.
    const size_t wanted = std::max({s->used + size, out.size() / 2 * 3, size_t{1} << 16});
    if (s->used + size < s->used || !try_resize(out, wanted)) {
      s->failure.out_of_memory = true;
      fail(png, &s->failure, PngError::Kind::OutOfMemory);
    }
  }
  std::memcpy(out.data() + s->used, data, size);
  s->used += size;
}

void on_flush(png_structp) noexcept {}

int colour_type(uint32_t channels) noexcept {
  switch (channels) {
    case 1: return PNG_COLOR_TYPE_GRAY;
    case 2: return PNG_COLOR_TYPE_GRAY_ALPHA;
    case 3: return PNG_COLOR_TYPE_RGB;
    default: return PNG_COLOR_TYPE_RGB_ALPHA;
  }
}

}  // namespace

png_structp create_reader(ReadState* state) noexcept { return create(true, &state->failure); }

png_structp create_writer(WriteState* state) noexcept { return create(false, &state->failure); }

bool read_all(png_structp png, png_infop info, ReadState* state, const uint8_t* data,
              size_t size) noexcept {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  const uint64_t side = std::min(state->max_pixels, kLargestSide);
  png_set_user_limits(png, static_cast<png_uint_32>(side), static_cast<png_uint_32>(side));
  png_set_chunk_malloc_max(png, state->max_chunk);
  png_set_chunk_cache_max(png, kChunkCache);
  // Text and suggested palettes go through on_unknown_chunk, which keeps
  // nothing but XMP and acTL.
  static const png_byte routed[] = "tEXt\0zTXt\0iTXt\0sPLT\0acTL";
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, routed, 5);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  png_set_read_user_chunk_fn(png, state, on_unknown_chunk);
  png_set_progressive_read_fn(png, state, on_info, on_row, nullptr);
  // libpng only reads the buffer it is given.
  png_process_data(png, info, const_cast<png_bytep>(data), size);
  return true;
}

bool write_all(png_structp png, png_infop info, WriteState* state,
               const PngWriteRequest& r) noexcept {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_write_fn(png, state, on_write, on_flush);
  png_set_IHDR(png, info, r.width, r.height, static_cast<int>(r.bits), colour_type(r.channels),
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, r.compress_level);
  if (r.cicp) png_set_cICP(png, info, (*r.cicp)[0], (*r.cicp)[1], (*r.cicp)[2], (*r.cicp)[3]);
  if (!r.icc.empty()) {
    png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE, r.icc.data(),
                 static_cast<png_uint_32>(r.icc.size()));
  }
  // libpng copies what these setters are given; it writes none of it.
  if (!r.exif.empty()) {
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(r.exif.size()),
                   const_cast<png_bytep>(r.exif.data()));
  }
  if (state->xmp != nullptr) {
    static char keyword[] = "XML:com.adobe.xmp";
    static char empty[] = "";
    png_text text;
    std::memset(&text, 0, sizeof text);
    text.compression = PNG_ITXT_COMPRESSION_NONE;
    text.key = keyword;
    text.text = const_cast<char*>(state->xmp);
    text.lang = empty;
    text.lang_key = empty;
    png_set_text(png, info, &text, 1);
  }
  png_write_info(png, info);
  if (r.bits == 16 && kLittleEndian) png_set_swap(png);
  const size_t row_bytes = size_t{r.width} * r.channels * (r.bits / 8);
  for (uint32_t y = 0; y < r.height; ++y) png_write_row(png, r.samples.data() + y * row_bytes);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace tessara::png::detail
