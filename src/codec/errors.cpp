// Texts of the codec failure kinds, exactly as callers see them.
#include "codec/errors.h"

namespace tessara {

const char kGenericErrorText[] =
    "Generic Error. Please build `libjxl` from source (using `vendored` "
    "feature) \n        in debug mode to get more information. Check "
    "`stderr` for any internal error messages.";

const char* decoder_status_name(JxlDecoderStatus status) noexcept {
  switch (static_cast<int>(status)) {
    case JXL_DEC_SUCCESS: return "Success";
    case JXL_DEC_ERROR: return "Error";
    case JXL_DEC_NEED_MORE_INPUT: return "NeedMoreInput";
    case JXL_DEC_NEED_PREVIEW_OUT_BUFFER: return "NeedPreviewOutBuffer";
    case JXL_DEC_NEED_IMAGE_OUT_BUFFER: return "NeedImageOutBuffer";
    case JXL_DEC_JPEG_NEED_MORE_OUTPUT: return "JPEGNeedMoreOutput";
    case JXL_DEC_BOX_NEED_MORE_OUTPUT: return "BoxNeedMoreOutput";
    case JXL_DEC_BASIC_INFO: return "BasicInfo";
    case JXL_DEC_COLOR_ENCODING: return "ColorEncoding";
    case JXL_DEC_PREVIEW_IMAGE: return "PreviewImage";
    case JXL_DEC_FRAME: return "Frame";
    case JXL_DEC_FULL_IMAGE: return "FullImage";
    case JXL_DEC_JPEG_RECONSTRUCTION: return "JPEGReconstruction";
    case JXL_DEC_BOX: return "Box";
    case JXL_DEC_FRAME_PROGRESSION: return "FrameProgression";
    case JXL_DEC_BOX_COMPLETE: return "BoxComplete";
    default: return nullptr;
  }
}

std::string error_text(const DecodeError& error) {
  using K = DecodeError::Kind;
  switch (error.kind) {
    case K::DecoderCreateFailed: return "Cannot create a decoder";
    case K::DecoderFailure: return kGenericErrorText;
    case K::NotJpegXl:
      return "The input does not contain a valid codestream or container";
    case K::BitWidthUnsupported:
      return "Unsupported Pixel bit width: " + std::to_string(error.bits);
    case K::UnexpectedStatus: {
      const char* name = decoder_status_name(error.status);
      std::string shown = name ? name : std::to_string(static_cast<int>(error.status));
      return "Unknown status: `" + shown + "`";
    }
    case K::FeatureMissing:
      return std::string("Feature not yet implemented: ") + error.feature;
    case K::OutOfMemory: return "Out of memory";
  }
  return kGenericErrorText;
}

const char* error_text(EncodeError error) noexcept {
  switch (error) {
    case EncodeError::CannotCreateEncoder: return "Cannot create an encoder";
    case EncodeError::GenericError: return kGenericErrorText;
    case EncodeError::NotSupported: return "Encoder does not support it (yet)";
    case EncodeError::NeedMoreOutput: return "Need more output";
    case EncodeError::OutOfMemory: return "Out of memory";
    case EncodeError::Jbrd:
      return "JPEG bitstream reconstruction data could not be represented";
    case EncodeError::BadInput: return "Input is invalid";
    case EncodeError::ApiUsage:
      return "The encoder API is used in an incorrect way";
    case EncodeError::AllocationFailed: return "Out of memory";
    case EncodeError::Unreachable:
      return "internal error: entered unreachable code";
  }
  return "The encoder API is used in an incorrect way";
}

}  // namespace tessara
