// FrameOutput on macOS: ScreenCaptureKit hands it every sample buffer on the stream's serial
// queue and tells it when the stream stops. Automatic reference counting: Objective-C objects
// are released by ARC, the one CoreGraphics object by ColorSpace.
#import "frame_output_apple.h"

#import <CoreImage/CoreImage.h>
#import <CoreMedia/CoreMedia.h>
#import <ImageIO/ImageIO.h>

#include <unistd.h>

#include <limits>

#include "frame_status.h"
#include "record_header.h"

#if !__has_feature(objc_arc)
#error "frame_output_apple.mm is written for automatic reference counting"
#endif

namespace morvane::streamer {

NSString* describe(NSError* error) {
  NSString* text = error.localizedDescription;
  return text != nil ? text : @"unknown error";
}

void fail_with_line(NSString* line) {
  NSData* bytes = [[line stringByAppendingString:@"\n"] dataUsingEncoding:NSUTF8StringEncoding
                                                     allowLossyConversion:YES];
  // Nothing can be done if standard error is gone too; the exit status still tells.
  if (bytes != nil) [[NSFileHandle fileHandleWithStandardError] writeData:bytes error:nil];
  // _exit, not exit: exit would run static destructors on this thread while ScreenCaptureKit's
  // threads are still delivering to the objects they destroy. Nothing is buffered in stdio.
  _exit(1);
}

namespace {

// The device RGB colour space of one frame.
class ColorSpace {
 public:
  ColorSpace() : space_(CGColorSpaceCreateDeviceRGB()) {}
  ~ColorSpace() { CGColorSpaceRelease(space_); }
  ColorSpace(const ColorSpace&) = delete;
  ColorSpace& operator=(const ColorSpace&) = delete;
  CGColorSpaceRef get() const { return space_; }

 private:
  CGColorSpaceRef space_;
};

// The frame status in the first attachment dictionary, without creating the attachments.
FrameStatusValue frame_status(CMSampleBufferRef sample) {
  CFArrayRef attachments = CMSampleBufferGetSampleAttachmentsArray(sample, false);
  if (attachments == nullptr || CFArrayGetCount(attachments) == 0) return NoFrameStatus{};
  CFTypeRef first = CFArrayGetValueAtIndex(attachments, 0);
  if (first == nullptr || CFGetTypeID(first) != CFDictionaryGetTypeID()) return NoFrameStatus{};
  CFTypeRef value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(first),
                                         (__bridge const void*)SCStreamFrameInfoStatus);
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

}  // namespace morvane::streamer

@implementation FrameOutput {
  CIContext* _context;
  std::int64_t _width;
  std::int64_t _height;
  double _quality;
  NSLock* _lock;
}

- (instancetype)initWithWidth:(std::int64_t)width
                       height:(std::int64_t)height
                      quality:(double)quality {
  self = [super init];
  if (self != nil) {
    // One context for the whole run: creating one per frame is slow and grows GPU memory.
    _context = [[CIContext alloc] initWithOptions:nil];
    _width = width;
    _height = height;
    _quality = quality;
    _lock = [[NSLock alloc] init];
  }
  return self;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  if (type != SCStreamOutputTypeScreen || !CMSampleBufferIsValid(sampleBuffer)) return;
  CVImageBufferRef imageBuffer = CMSampleBufferGetImageBuffer(sampleBuffer);
  if (imageBuffer == nullptr) return;
  if (!morvane::streamer::frame_status_keeps_frame(morvane::streamer::frame_status(sampleBuffer))) {
    return;
  }
  // Sample handlers run on dispatch threads; the JPEG data is autoreleased.
  @autoreleasepool {
    CIImage* image = [[CIImage alloc] initWithCVPixelBuffer:imageBuffer];
    const morvane::streamer::ColorSpace colorSpace;
    if (image == nil || colorSpace.get() == nullptr) return;
    NSDictionary* options =
        @{(__bridge NSString*)kCGImageDestinationLossyCompressionQuality : @(_quality)};
    NSData* jpeg = [_context JPEGRepresentationOfImage:image
                                            colorSpace:colorSpace.get()
                                               options:options];
    // The record's length field is 32-bit; a larger image would be announced wrongly.
    if (jpeg.length == 0 || jpeg.length > std::numeric_limits<std::uint32_t>::max()) return;
    [self writeRecord:jpeg];
  }
}

- (void)writeRecord:(NSData*)jpeg {
  const auto header = morvane::streamer::encode_record_header(
      static_cast<std::uint32_t>(jpeg.length), static_cast<std::uint32_t>(_width),
      static_cast<std::uint32_t>(_height));
  NSData* headerData = [NSData dataWithBytes:header.data() length:header.size()];
  NSFileHandle* standardOutput = [NSFileHandle fileHandleWithStandardOutput];
  // writeData:error: rather than writeData:, which raises when the reader has gone away.
  NSError* error = nil;
  [_lock lock];
  const BOOL written = [standardOutput writeData:headerData error:&error] &&
                       [standardOutput writeData:jpeg error:&error];
  if (!written) {
    // Still holding the lock, so no later frame can add part of a record to nobody.
    morvane::streamer::fail_with_line(
        [@"frame output failed: " stringByAppendingString:morvane::streamer::describe(error)]);
  }
  [_lock unlock];
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  morvane::streamer::fail_with_line(
      [@"screen capture stopped: " stringByAppendingString:morvane::streamer::describe(error)]);
}

@end
