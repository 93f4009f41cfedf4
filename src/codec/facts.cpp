// The fact reader: one walk of libjxl's header events with coalescing off,
// so that every layer is seen and counted, while the displayed frames are
// grouped exactly as libjxl's coalescing groups them (a frame ends at a layer
// that lasts, or at the last one).
#include "codec/facts.h"

#include <jxl/cms.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "codec/decode_steps.h"
#include "codec/errors.h"

namespace tessara {

namespace steps {

Check use_cms(JxlDecoder* dec) noexcept {
  const JxlCmsInterface* cms = JxlGetDefaultCms();
  if (cms == nullptr) return Err{error_at(Kind::Corrupt, AnimationError::kNoFrame)};
  return check_status(JxlDecoderSetCms(dec, *cms), AnimationError::kNoFrame);
}

Check deliver_in(JxlDecoder* dec, const std::vector<uint8_t>& original_icc) noexcept {
  return check_call(
      [&] {
        return JxlDecoderSetOutputColorProfile(dec, nullptr, original_icc.data(),
                                               original_icc.size());
      },
      AnimationError::kNoFrame);
}

Result<FrameFacts, AnimationError> frame_facts(JxlDecoder* dec, uint64_t frame) noexcept {
  JxlFrameHeader header;
  if (Check s = check_status(JxlDecoderGetFrameHeader(dec, &header), frame); !s) {
    return Err{s.error()};
  }
  FrameFacts facts;
  facts.duration = header.duration;
  facts.is_last = header.is_last != JXL_FALSE;
  if (header.name_length > 0) {
    // The format caps names at 1071 bytes, so this is never a large allocation.
    if (header.name_length > 4096 || !try_resize(facts.name, size_t{header.name_length} + 1)) {
      return Err{error_at(Kind::OutOfMemory, frame)};
    }
    if (Check s = check_status(JxlDecoderGetFrameName(dec, facts.name.data(), facts.name.size()),
                               frame);
        !s) {
      return Err{s.error()};
    }
    facts.name.resize(header.name_length);
  }
  return facts;
}

}  // namespace steps

namespace {

using namespace steps;  // NOLINT(google-build-using-namespace)

Check take_basic_info(JxlDecoder* dec, FileFacts& facts) noexcept {
  JxlBasicInfo info;
  if (Check s = check_status(JxlDecoderGetBasicInfo(dec, &info), AnimationError::kNoFrame); !s) {
    return s;
  }
  facts.stored_width = info.xsize;
  facts.stored_height = info.ysize;
  facts.orientation = info.orientation;
  facts.num_color_channels = info.num_color_channels;
  facts.colour = {info.bits_per_sample, info.exponent_bits_per_sample};
  facts.alpha = {info.alpha_bits, info.alpha_bits > 0 ? info.alpha_exponent_bits : 0};
  facts.alpha_premultiplied = info.alpha_bits > 0 && info.alpha_premultiplied != JXL_FALSE;
  facts.num_extra_channels = info.num_extra_channels;
  for (uint32_t i = 0; facts.has_alpha() && i < info.num_extra_channels; ++i) {
    JxlExtraChannelInfo channel;
    if (Check s =
            check_status(JxlDecoderGetExtraChannelInfo(dec, i, &channel), AnimationError::kNoFrame);
        !s) {
      return s;
    }
    if (channel.type == JXL_CHANNEL_ALPHA) {
      facts.alpha_index = i;
      break;
    }
  }
  facts.xyb_encoded = info.uses_original_profile == JXL_FALSE;
  facts.have_animation = info.have_animation != JXL_FALSE;
  if (facts.have_animation) {
    facts.tps_numerator = info.animation.tps_numerator;
    facts.tps_denominator = info.animation.tps_denominator;
    facts.num_loops = info.animation.num_loops;
  }
  return {};
}

Check icc_of(JxlDecoder* dec, JxlColorProfileTarget target, std::vector<uint8_t>& icc) noexcept {
  const uint64_t none = AnimationError::kNoFrame;
  size_t size = 0;
  if (Check s = check_call([&] { return JxlDecoderGetICCProfileSize(dec, target, &size); }, none);
      !s) {
    return s;
  }
  if (!try_resize(icc, size)) return Err{error_at(Kind::OutOfMemory, none)};
  return check_call(
      [&] { return JxlDecoderGetColorAsICCProfile(dec, target, icc.data(), icc.size()); }, none);
}

// The original profile, and the one pixels are delivered in: where a lossy
// file's original is one libjxl would not deliver in by itself, its CMS is
// asked to (the reader set it up before the headers).
Check take_colour(JxlDecoder* dec, FileFacts& facts) noexcept {
  JxlColorEncoding encoding;
  if (JxlDecoderGetColorAsEncodedProfile(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &encoding) ==
      JXL_DEC_SUCCESS) {
    facts.encoding = encoding;
  }
  if (Check s = icc_of(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL, facts.original_icc); !s) {
    if (s.error().kind == Kind::OutOfMemory) return s;
    facts.original_icc.clear();  // none libjxl can give (an unknown colour space)
  }
  if (Check s = icc_of(dec, JXL_COLOR_PROFILE_TARGET_DATA, facts.icc); !s) return s;
  if (!facts.xyb_encoded || facts.original_icc.empty() || facts.icc == facts.original_icc) {
    return {};
  }
  // A profile the CMS cannot use leaves libjxl's own choice in place.
  if (!deliver_in(dec, facts.original_icc)) return {};
  facts.through_cms = true;
  return icc_of(dec, JXL_COLOR_PROFILE_TARGET_DATA, facts.icc);
}

Result<JxlDecoderPtr, AnimationError> fact_decoder(std::span<const uint8_t> data) noexcept {
  auto decoder = make_decoder();
  if (!decoder) return Err{decoder.error()};
  JxlDecoder* dec = decoder.value().get();
  const uint64_t none = AnimationError::kNoFrame;
  const int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_JPEG_RECONSTRUCTION |
                     JXL_DEC_FRAME;
  // Kept orientation: the basic info gives the file's own orientation and
  // stored size. No coalescing: every layer is reported.
  for (const JxlDecoderStatus status :
       {JxlDecoderSubscribeEvents(dec, events), JxlDecoderSetKeepOrientation(dec, JXL_TRUE),
        JxlDecoderSetCoalescing(dec, JXL_FALSE)}) {
    if (Check s = check_status(status, none); !s) return Err{s.error()};
  }
  if (Check s = use_cms(dec); !s) return Err{s.error()};
  if (Check s = set_input(dec, data); !s) return Err{s.error()};
  return decoder;
}

// The walk's bookkeeping between events: the displayed frame being built of
// layers, and the last one read, which counts as whole once libjxl has moved
// past its data (the next frame's header or the end of the file proves it).
class FrameGroups {
 public:
  enum class Next : uint8_t { Read, Done, OutOfMemory };

  FrameGroups(FileFacts& facts, const FactsScope& scope) noexcept : facts_(facts), scope_(scope) {}

  // A layer's header, just reported: read on, or Done (`facts.stopped` says
  // why, if anything stopped the walk).
  Next on_layer(JxlDecoder* dec) noexcept {
    if (!settle()) return Next::OutOfMemory;
    const uint64_t index = facts_.frames.size();
    if (layers_ == 0 && index >= scope_.max_frames) return stop(Kind::TooManyFrames, scope_.max_frames);
    if (++layers_ > scope_.max_layers) return stop(Kind::TooManyLayers, scope_.max_layers);
    auto header = frame_facts(dec, index);
    if (!header) {
      if (header.error().kind == Kind::OutOfMemory) return Next::OutOfMemory;
      facts_.stopped = header.error();
      return Next::Done;
    }
    // libjxl's coalescing shows a frame at the layer that lasts, or the last.
    if (header.value().duration == 0 && !header.value().is_last) return Next::Read;
    header.value().layers = layers_;
    layers_ = 0;
    pending_ = std::move(header.value());
    if (scope_.all_frames) return Next::Read;
    return settle() ? Next::Done : Next::OutOfMemory;
  }

  bool has_pending() const noexcept { return pending_.has_value(); }

  bool settle() noexcept {
    if (!pending_) return true;
    FrameFacts* slot = try_emplace_back(facts_.frames);
    if (slot == nullptr) return false;
    *slot = std::move(*pending_);
    pending_.reset();
    return true;
  }

 private:
  Next stop(Kind kind, size_t limit) noexcept {
    AnimationError e = error_at(kind, facts_.frames.size());
    e.frames = limit;
    facts_.stopped = e;
    return Next::Done;
  }

  FileFacts& facts_;
  const FactsScope& scope_;
  std::optional<FrameFacts> pending_;
  uint32_t layers_ = 0;
};

void discard_pixels(void* /*opaque*/, size_t /*x*/, size_t /*y*/, size_t /*pixels*/,
                    const void* /*samples*/) noexcept {}

}  // namespace

SampleKind full_precision_kind(const SampleDepth& colour, const SampleDepth& alpha) noexcept {
  const SampleKind kind = full_precision_kind(colour.bits, colour.exponent_bits);
  if (alpha.bits == 0 || holds(kind, alpha.bits, alpha.exponent_bits)) return kind;
  const SampleKind wider = full_precision_kind(alpha.bits, alpha.exponent_bits);
  if (holds(wider, colour.bits, colour.exponent_bits)) return wider;
  return SampleKind::Float;
}

Result<FileFacts, AnimationError> read_facts(std::span<const uint8_t> data,
                                             FactsScope scope) noexcept {
  auto decoder = fact_decoder(data);
  if (!decoder) return Err{decoder.error()};
  JxlDecoder* dec = decoder.value().get();
  const uint64_t none = AnimationError::kNoFrame;
  Result<FileFacts, AnimationError> result = FileFacts{};
  FileFacts& facts = result.value();
  bool colour_read = false;
  bool frame_seen = false;
  FrameGroups groups(facts, scope);
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_BASIC_INFO:
        if (Check s = take_basic_info(dec, facts); !s) return Err{s.error()};
        break;
      case JXL_DEC_COLOR_ENCODING:
        if (Check s = take_colour(dec, facts); !s) return Err{s.error()};
        colour_read = true;
        break;
      // libjxl hands reconstruction data to the next frame whose header it
      // reads; only before the first one is it the picture's.
      case JXL_DEC_JPEG_RECONSTRUCTION: facts.jpeg_reconstruction = !frame_seen; break;
      case JXL_DEC_FRAME: {
        frame_seen = true;
        const FrameGroups::Next next = groups.on_layer(dec);
        if (next == FrameGroups::Next::OutOfMemory) return Err{error_at(Kind::OutOfMemory, none)};
        if (next == FrameGroups::Next::Done) return result;
        break;
      }
      case JXL_DEC_SUCCESS:
        if (!groups.settle()) return Err{error_at(Kind::OutOfMemory, none)};
        return result;
      default: {
        // Before the colour encoding there are no facts to give.
        if (!colour_read) return Err{failure(step, none)};
        AnimationError e = failure(step, facts.frames.size());
        if (e.kind == Kind::OutOfMemory) return Err{e};
        // Cut exactly at the end of a frame: that frame is whole, the next
        // one is missing.
        if (e.kind == Kind::Truncated && groups.has_pending() &&
            frame_whole(data, facts.frames.size())) {
          if (!groups.settle()) return Err{error_at(Kind::OutOfMemory, none)};
          e.frame = facts.frames.size();
        }
        facts.stopped = e;
        return result;
      }
    }
  }
}

bool frame_whole(std::span<const uint8_t> data, uint64_t index) noexcept {
  auto decoder = make_decoder();
  if (!decoder) return false;
  JxlDecoder* dec = decoder.value().get();
  if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
      !set_input(dec, data)) {
    return false;
  }
  JxlDecoderSkipFrames(dec, static_cast<size_t>(index));
  JxlBasicInfo info{};
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) return false;
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        const JxlPixelFormat format{info.num_color_channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        const std::optional<JxlDecoderStatus> set = allocating_call([&] {
          return JxlDecoderSetImageOutCallback(dec, &format, discard_pixels, nullptr);
        });
        if (set != JXL_DEC_SUCCESS) return false;
        break;
      }
      case JXL_DEC_FULL_IMAGE: return true;
      default: return false;
    }
  }
}

std::string error_text(const AnimationError& error) {
  using K = AnimationError::Kind;
  std::string where =
      error.frame == AnimationError::kNoFrame ? "" : "frame " + std::to_string(error.frame) + ": ";
  switch (error.kind) {
    case K::NotJpegXl: return "not a JPEG XL file";
    case K::DecoderCreateFailed: return "cannot create a decoder";
    case K::Corrupt: return where + "the file is corrupt";
    case K::Truncated: return where + "the file is truncated";
    case K::OutOfMemory: return "out of memory";
    case K::TooManyFrames: return "more than " + std::to_string(error.frames) + " frames";
    case K::TooManyLayers:
      return where + "more than " + std::to_string(error.frames) +
             " layers to composite into one frame";
    case K::NoSuchFrame:
      return "no frame " + std::to_string(error.frame) + ": the file has " +
             std::to_string(error.frames) + (error.frames == 1 ? " frame" : " frames");
    case K::FormatRefused: return "this output format is not available for the image";
    case K::BufferSize: return "the frame buffer does not have the frame's size";
    case K::Unexpected: {
      const char* name = decoder_status_name(static_cast<JxlDecoderStatus>(error.status));
      return where + "unexpected decoder status " +
             (name != nullptr ? std::string(name) : std::to_string(error.status));
    }
  }
  return where + "the file is corrupt";
}

}  // namespace tessara
