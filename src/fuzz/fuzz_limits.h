// Shared by the libFuzzer targets that decode: which inputs are worth a run.
#pragma once

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <cstddef>
#include <cstdint>

namespace tessara::fuzz {

// libjxl allocates for the declared size before failing, so giant headers
// would only measure the machine's memory; such inputs are skipped. An input
// whose basic info libjxl cannot read fails early anyway and is still run.
inline bool declares_small_image(const uint8_t* data, size_t size) {
  JxlDecoderPtr dec(JxlDecoderCreate(nullptr));
  if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec.get(), data, size) != JXL_DEC_SUCCESS) {
    return false;
  }
  JxlDecoderCloseInput(dec.get());
  JxlBasicInfo info;
  if (JxlDecoderProcessInput(dec.get()) != JXL_DEC_BASIC_INFO ||
      JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS) {
    return true;
  }
  return uint64_t{info.xsize} * info.ysize <= (uint64_t{1} << 20) && info.num_extra_channels <= 4;
}

}  // namespace tessara::fuzz
