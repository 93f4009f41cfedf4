// Every libpng call that may longjmp, in one C-style unit: libpng reports
// errors by longjmp out of its calls, so between setjmp and those calls no
// object with a destructor lives, and callbacks only touch plain state. A
// jump comes back here as `false`, with the failure recorded in the state.
#pragma once

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "png/png.h"

namespace tessara::png::detail {

// What went wrong, written by the error and memory callbacks.
struct Failure {
  bool set = false;
  bool out_of_memory = false;  // an allocation of libpng's or ours failed
  PngError error;
};

struct ReadState {
  Failure failure;
  // Set by the caller.
  uint64_t max_pixels = 0;
  size_t max_chunk = 0;
  std::vector<uint8_t>* xmp_chunk = nullptr;  // receives the last XMP text chunk as stored
  // Filled in as libpng reads.
  char xmp_kind = 0;  // 't', 'z' or 'i': the text chunk xmp_chunk came from
  uint8_t* samples = nullptr;  // new[] in the info callback; the caller frees it
  size_t row_bytes = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;
  uint32_t bits = 0;
  bool interlaced = false;
  bool complete = false;  // the last row of the last pass has arrived
  bool has_animation = false;
  uint32_t frames = 0;
  uint32_t plays = 0;
};

struct WriteState {
  Failure failure;
  const char* xmp = nullptr;  // the request's XMP, NUL-terminated (libpng measures it so)
  std::vector<uint8_t>* out = nullptr;
  size_t used = 0;  // bytes of *out written so far
};

// A read or write struct with the error, warning and memory callbacks of
// this unit (warnings are dropped); nullptr when libpng cannot make one.
png_structp create_reader(ReadState* state) noexcept;
png_structp create_writer(WriteState* state) noexcept;

// Feeds the whole file to libpng's progressive reader, which stops
// inflating image data after the last row.
bool read_all(png_structp png, png_infop info, ReadState* state, const uint8_t* data,
              size_t size) noexcept;

bool write_all(png_structp png, png_infop info, WriteState* state,
               const PngWriteRequest& request) noexcept;

}  // namespace tessara::png::detail
