// The steps that the fact reader and the frame decoder take alike over
// libjxl's event loop, with the whole file (or a prefix) as input left open,
// so that a request for more input always means the input broke off.
#pragma once

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <optional>
#include <span>

#include "codec/facts.h"
#include "codec/memory.h"

namespace tessara::steps {

using Kind = AnimationError::Kind;
using Check = Status<AnimationError>;

inline AnimationError error_at(Kind kind, uint64_t frame) noexcept {
  AnimationError e;
  e.kind = kind;
  e.frame = frame;
  return e;
}

// libjxl's answer at a point where only success is expected.
inline Check check_status(JxlDecoderStatus status, uint64_t frame) noexcept {
  if (status == JXL_DEC_SUCCESS) return {};
  if (status == JXL_DEC_ERROR) return Err{error_at(Kind::Corrupt, frame)};
  AnimationError e = error_at(Kind::Unexpected, frame);
  e.status = static_cast<int>(status);
  return Err{e};
}

// A libjxl call that may allocate: std::bad_alloc out of it is OutOfMemory.
template <typename Call>
Check check_call(Call&& call, uint64_t frame) noexcept {
  const std::optional<JxlDecoderStatus> status = allocating_call(call);
  if (!status) return Err{error_at(Kind::OutOfMemory, frame)};
  return check_status(*status, frame);
}

// JxlDecoderProcessInput with its allocation failures as a status of ours.
struct Step {
  JxlDecoderStatus status = JXL_DEC_ERROR;
  bool out_of_memory = false;
};

inline Step process(JxlDecoder* dec) noexcept {
  const std::optional<JxlDecoderStatus> status =
      allocating_call([&] { return JxlDecoderProcessInput(dec); });
  if (!status) return {JXL_DEC_ERROR, true};
  return {*status, false};
}

// A status that ends processing abnormally, as the error it means.
inline AnimationError failure(const Step& step, uint64_t frame) noexcept {
  if (step.out_of_memory) return error_at(Kind::OutOfMemory, frame);
  // The input is left open, so a request for more means it ended early.
  if (step.status == JXL_DEC_NEED_MORE_INPUT) return error_at(Kind::Truncated, frame);
  if (step.status == JXL_DEC_ERROR) return error_at(Kind::Corrupt, frame);
  AnimationError e = error_at(Kind::Unexpected, frame);
  e.status = static_cast<int>(step.status);
  return e;
}

inline Result<JxlDecoderPtr, AnimationError> make_decoder() noexcept {
  const std::optional<JxlDecoder*> created =
      allocating_call([] { return JxlDecoderCreate(nullptr); });
  if (!created) return Err{error_at(Kind::OutOfMemory, AnimationError::kNoFrame)};
  JxlDecoderPtr decoder(*created);
  if (!decoder) return Err{error_at(Kind::DecoderCreateFailed, AnimationError::kNoFrame)};
  return decoder;
}

inline Check set_input(JxlDecoder* dec, std::span<const uint8_t> data) noexcept {
  const JxlSignature signature = JxlSignatureCheck(data.data(), data.size());
  if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) {
    return Err{error_at(Kind::NotJpegXl, AnimationError::kNoFrame)};
  }
  // The input is left open: libjxl then asks for more where the file ends
  // early instead of reporting the same error as for corrupt data.
  return check_status(JxlDecoderSetInput(dec, data.data(), data.size()), AnimationError::kNoFrame);
}

// libjxl's colour management, which converts a lossy file's pixels into an
// original profile that libjxl cannot express as an encoding. Set before
// the headers are read (and again after a rewind, which drops it).
Check use_cms(JxlDecoder* dec) noexcept;

// After the colour encoding event: pixels in the original profile.
Check deliver_in(JxlDecoder* dec, const std::vector<uint8_t>& original_icc) noexcept;

// The header of the frame libjxl has just reported.
Result<FrameFacts, AnimationError> frame_facts(JxlDecoder* dec, uint64_t frame) noexcept;

}  // namespace tessara::steps
