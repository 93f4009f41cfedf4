// Failure kinds of the decoder and encoder drivers and their fixed texts.
// The drivers return these as values; only the bindings turn them into Python.
#pragma once

#include <jxl/decode.h>

#include <cstdint>
#include <string>

namespace tessara {

// Shared by DecoderFailure and EncodeError::GenericError.
extern const char kGenericErrorText[];

struct DecodeError {
  enum class Kind : uint8_t {
    DecoderCreateFailed,
    DecoderFailure,
    NotJpegXl,
    BitWidthUnsupported,  // payload: bits
    UnexpectedStatus,     // payload: status
    FeatureMissing,       // payload: feature
    // Not a libjxl failure: a buffer of ours could not be allocated. The
    // bindings raise MemoryError for it.
    OutOfMemory,
  };

  Kind kind = Kind::DecoderFailure;
  uint32_t bits = 0;
  JxlDecoderStatus status = JXL_DEC_SUCCESS;
  const char* feature = "";

  static DecodeError of(Kind k) { return DecodeError{k}; }
  static DecodeError bit_width(uint32_t b) {
    return DecodeError{Kind::BitWidthUnsupported, b};
  }
  static DecodeError unexpected(JxlDecoderStatus s) {
    return DecodeError{Kind::UnexpectedStatus, 0, s};
  }
  static DecodeError missing(const char* what) {
    return DecodeError{Kind::FeatureMissing, 0, JXL_DEC_SUCCESS, what};
  }
};

enum class EncodeError : uint8_t {
  CannotCreateEncoder,
  GenericError,
  NotSupported,
  NeedMoreOutput,
  OutOfMemory,
  Jbrd,
  BadInput,
  ApiUsage,
  // Not libjxl kinds: our own output buffer could not grow (MemoryError), and
  // libjxl reported an error without an error code (an internal fault).
  AllocationFailed,
  Unreachable,
};

// The name libjxl's status has in "Unknown status: `...`" texts, or nullptr
// for a value that is not a JxlDecoderStatus.
const char* decoder_status_name(JxlDecoderStatus status) noexcept;

std::string error_text(const DecodeError& error);
const char* error_text(EncodeError error) noexcept;

}  // namespace tessara
