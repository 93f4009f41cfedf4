// How libjxl's encoder statuses become EncodeError values, shared by the
// still-image and the animation encoder drivers.
#pragma once

#include <jxl/encode.h>

#include <optional>

#include "codec/errors.h"
#include "codec/fault.h"
#include "codec/memory.h"
#include "codec/result.h"

namespace tessara::encoder_status {

inline EncodeError error_of_code(JxlEncoderError code) noexcept {
  switch (static_cast<int>(code)) {
    case JXL_ENC_ERR_OK: return EncodeError::Unreachable;
    case JXL_ENC_ERR_GENERIC: return EncodeError::GenericError;
    case JXL_ENC_ERR_OOM: return EncodeError::OutOfMemory;
    case JXL_ENC_ERR_JBRD: return EncodeError::Jbrd;
    case JXL_ENC_ERR_BAD_INPUT: return EncodeError::BadInput;
    case JXL_ENC_ERR_NOT_SUPPORTED: return EncodeError::NotSupported;
    default: return EncodeError::ApiUsage;
  }
}

inline Status<EncodeError> check(JxlEncoder* encoder, JxlEncoderStatus status) noexcept {
  if (TESSARA_INJECT(EncoderErrorOk)) return Err{error_of_code(JXL_ENC_ERR_OK)};
  if (status == JXL_ENC_SUCCESS) return {};
  if (status == JXL_ENC_ERROR) return Err{error_of_code(JxlEncoderGetError(encoder))};
  return Err{EncodeError::NeedMoreOutput};
}

// A libjxl call that may allocate: running out of memory there is ours to
// report, as AllocationFailed.
template <typename Call>
Status<EncodeError> check_call(JxlEncoder* encoder, Call&& call) noexcept {
  const std::optional<JxlEncoderStatus> status = allocating_call(call);
  if (!status) return Err{EncodeError::AllocationFailed};
  return check(encoder, *status);
}

// Lossy coding of float samples trips assertions deep inside libjxl, which
// end the process, on NaN, infinity and magnitudes from about 1e34 up; such
// frames are refused as invalid input. Lossless coding stores any value.
inline constexpr float kLossyFloatLimit = 1e30f;

}  // namespace tessara::encoder_status

// Ends the calling function with the error of the first failing step.
#define TESSARA_TRY(expr)                                           \
  do {                                                              \
    auto tessara_status_ = (expr);                                  \
    if (!tessara_status_.ok()) return Err{tessara_status_.error()}; \
  } while (false)
