// Test-only fault injection. In every shipped build TESSARA_FAULT_INJECTION
// is undefined, TESSARA_INJECT(point) is the constant false, and each branch
// it guards folds away, so the code is exactly the normal path. A test build
// (cmake -DTESSARA_FAULT_INJECTION=ON) lets a chosen libjxl or CPython call
// fail or return an impossible value, so that the paths behind states the
// code treats as impossible can be run and checked.
#pragma once

#include <cstdint>

namespace tessara::fault {

// Named in the environment variable TESSARA_FAULT (comma-separated), which
// the fault build reads once, on the first check.
enum class Point : uint8_t {
  EncoderErrorOk,      // "encoder_error_ok": an encoder call fails, the error code is OK
  DecoderStatus,       // "decoder_status": a status libjxl does not define, for the full image
  ColourChannels,      // "colour_channels": the basic info says 2 colour channels
  ImageUnallocated,    // "image_unallocated": a pixel decode succeeds without an image object
  ImageBytes,          // "image_bytes_null": the image object is NULL with MemoryError set
  ResultTuple,         // "tuple_null": the result tuple is NULL, no exception set
  CopiedBytesError,    // "copied_bytes_null_value_error": bytes copied from a buffer (ICC
                       // profile, rebuilt JPEG, encoder output) are NULL with ValueError set
  CopiedBytesMemory,   // "copied_bytes_null_memory_error": the same with MemoryError set
  ResultList,          // "list_null": the box list is NULL, no exception set
};

#ifdef TESSARA_FAULT_INJECTION
bool fires(Point point) noexcept;
#define TESSARA_INJECT(point) (::tessara::fault::fires(::tessara::fault::Point::point))
#else
#define TESSARA_INJECT(point) false
#endif

}  // namespace tessara::fault
