#include "sample_buffer_apple.h"

namespace morvane::streamer {

namespace {

// The frame status in the first attachment dictionary, without creating the attachments.
FrameStatusValue frame_status(CMSampleBufferRef buffer, CFStringRef status_key) {
  CFArrayRef attachments = CMSampleBufferGetSampleAttachmentsArray(buffer, false);
  if (attachments == nullptr || CFArrayGetCount(attachments) == 0) return NoFrameStatus{};
  CFTypeRef first = CFArrayGetValueAtIndex(attachments, 0);
  if (first == nullptr || CFGetTypeID(first) != CFDictionaryGetTypeID()) return NoFrameStatus{};
  CFTypeRef value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(first), status_key);
  if (value == nullptr) return NoFrameStatus{};
  // A boolean is not a CFNumber, and a floating-point number is not an integer status.
  if (CFGetTypeID(value) != CFNumberGetTypeID() ||
      CFNumberIsFloatType(static_cast<CFNumberRef>(value))) {
    return NonIntegerFrameStatus{};
  }
  std::int64_t status = 0;
  if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &status)) {
    return NonIntegerFrameStatus{};
  }
  return status;
}

}  // namespace

Sample sample_of(CMSampleBufferRef buffer, std::int64_t output_type, CFStringRef status_key) {
  Sample sample;
  sample.type = static_cast<OutputType>(output_type);
  sample.valid = CMSampleBufferIsValid(buffer);
  // Nothing more may be asked of a buffer that is not valid.
  if (!sample.valid) return sample;
  if (CVImageBufferRef image = CMSampleBufferGetImageBuffer(buffer); image != nullptr) {
    sample.image = BgraImage{.native = image};
  }
  sample.status = frame_status(buffer, status_key);
  return sample;
}

}  // namespace morvane::streamer
