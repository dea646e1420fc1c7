// The capture platform on macOS (Objective-C++, automatic reference counting): ScreenCaptureKit
// lists the displays and runs the stream, CoreImage encodes JPEG. This file only produces
// frames and JPEG data; which frames are kept, how records are written and when the process
// ends is the portable FrameOutput's business. Objective-C objects are released by ARC, the
// one CoreGraphics object by ColorSpace.
#include "capture_platform_apple.h"

#import <CoreImage/CoreImage.h>
#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ImageIO/ImageIO.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <optional>
#include <string>

#include "one_answer.h"
#include "posix_output.h"
#include "sample_buffer_apple.h"

#if !__has_feature(objc_arc)
#error "capture_platform_apple.mm is written for automatic reference counting"
#endif

static_assert(static_cast<OSType>(morvane::streamer::PixelFormat::bgra) ==
              kCVPixelFormatType_32BGRA);

// Hands ScreenCaptureKit's sample buffers and stop notification to a portable StreamOutput,
// which must outlive it.
@interface StreamOutputBridge : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithOutput:(morvane::streamer::StreamOutput*)output NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

namespace morvane::streamer {

namespace {

// The platform's text for an error, or a fixed text when there is no error object.
std::string describe(NSError* error) {
  const char* text = error.localizedDescription.UTF8String;
  return text != nullptr ? std::string(text) : std::string("unknown error");
}

// Nothing, or the description of what went wrong.
using Failure = std::optional<std::string>;

std::expected<void, std::string> as_result(const Failure& failure) {
  if (failure) return std::unexpected(*failure);
  return {};
}

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

class CoreImageJpegEncoder final : public JpegEncoder {
 public:
  // One context for the whole run: creating one per frame is slow and grows GPU memory.
  CoreImageJpegEncoder() : context_([[CIContext alloc] initWithOptions:nil]) {}

  std::span<const std::uint8_t> encode(const BgraImage& image, double quality) override {
    jpeg_ = nil;
    if (image.native == nullptr) return {};
    CVPixelBufferRef buffer = static_cast<CVPixelBufferRef>(const_cast<void*>(image.native));
    CIImage* frame = [[CIImage alloc] initWithCVPixelBuffer:buffer];
    const ColorSpace colorSpace;
    if (frame == nil || colorSpace.get() == nullptr) return {};
    NSDictionary* options =
        @{(__bridge NSString*)kCGImageDestinationLossyCompressionQuality : @(quality)};
    jpeg_ = [context_ JPEGRepresentationOfImage:frame colorSpace:colorSpace.get() options:options];
    if (jpeg_ == nil) return {};
    return {static_cast<const std::uint8_t*>(jpeg_.bytes), static_cast<std::size_t>(jpeg_.length)};
  }

 private:
  CIContext* context_;
  // Held until the next frame, so the bytes handed out outlive any autorelease pool.
  NSData* jpeg_ = nil;
};

class ScreenCaptureStream final : public CaptureStream {
 public:
  ScreenCaptureStream(SCStream* stream, StreamOutputBridge* delegate,
                      StreamOutput* delegate_target)
      : stream_(stream), delegate_(delegate), delegate_target_(delegate_target) {}

  std::expected<void, std::string> add_output(StreamOutput& output) override {
    // The delegate is usually the output as well; one bridge then serves both.
    StreamOutputBridge* bridge = &output == delegate_target_
                                     ? delegate_
                                     : [[StreamOutputBridge alloc] initWithOutput:&output];
    dispatch_queue_t queue = dispatch_queue_create("frame_streamer", DISPATCH_QUEUE_SERIAL);
    NSError* error = nil;
    if (![stream_ addStreamOutput:bridge
                             type:SCStreamOutputTypeScreen
               sampleHandlerQueue:queue
                            error:&error]) {
      return std::unexpected(describe(error));
    }
    // Whether the stream keeps its outputs alive is not documented; this keeps them.
    output_ = bridge;
    return {};
  }

  std::expected<void, std::string> start() override {
    auto answer = std::make_shared<OneAnswer<Failure>>();
    [stream_ startCaptureWithCompletionHandler:^(NSError* error) {
      answer->give(error != nil ? Failure(describe(error)) : Failure());
    }];
    return as_result(answer->wait());
  }

 private:
  SCStream* stream_;
  StreamOutputBridge* delegate_;
  StreamOutput* delegate_target_;
  StreamOutputBridge* output_ = nil;
};

class ScreenCapturePlatform final : public CapturePlatform {
 public:
  std::expected<std::vector<Display>, std::string> shareable_displays() override {
    auto answer = std::make_shared<OneAnswer<Failure>>();
    __block SCShareableContent* found = nil;
    [SCShareableContent
        getShareableContentExcludingDesktopWindows:NO
                               onScreenWindowsOnly:YES
                                 completionHandler:^(SCShareableContent* content, NSError* error) {
      if (content == nil || error != nil) {
        answer->give(Failure(describe(error)));
        return;
      }
      found = content;
      answer->give(Failure());
    }];
    if (const Failure failure = answer->wait()) return std::unexpected(*failure);
    content_ = found;
    std::vector<Display> displays;
    for (SCDisplay* display in content_.displays) {
      displays.push_back(Display{display.displayID, display.width, display.height});
    }
    return displays;
  }

  std::expected<std::unique_ptr<JpegEncoder>, std::string> make_jpeg_encoder() override {
    return std::make_unique<CoreImageJpegEncoder>();
  }

  std::expected<std::unique_ptr<CaptureStream>, std::string> make_stream(
      const Display& display, const StreamConfiguration& settings,
      StreamOutput& delegate) override {
    SCDisplay* chosen = listed_display(display.id);
    if (chosen == nil) return std::unexpected(std::string("the display is no longer listed"));
    SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:chosen
                                                      excludingWindows:@[]];
    SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
    configuration.width = static_cast<size_t>(settings.size.width);
    configuration.height = static_cast<size_t>(settings.size.height);
    configuration.minimumFrameInterval = CMTimeMake(settings.minimum_frame_interval_value,
                                                    settings.minimum_frame_interval_timescale);
    configuration.queueDepth = settings.queue_depth;
    configuration.showsCursor = settings.shows_cursor ? YES : NO;
    configuration.pixelFormat = static_cast<OSType>(settings.pixel_format);

    StreamOutputBridge* bridge = [[StreamOutputBridge alloc] initWithOutput:&delegate];
    SCStream* stream = [[SCStream alloc] initWithFilter:filter
                                          configuration:configuration
                                               delegate:bridge];
    return std::make_unique<ScreenCaptureStream>(stream, bridge, &delegate);
  }

  ByteSink& standard_output() override { return standard_output_; }
  ProcessEnd& process_end() override { return process_end_; }

 private:
  SCDisplay* listed_display(std::uint64_t id) {
    for (SCDisplay* display in content_.displays) {
      if (display.displayID == id) return display;
    }
    return nil;
  }

  // The content of the last query, whose displays the stream is made from.
  SCShareableContent* content_ = nil;
  DescriptorSink standard_output_{1};
  StandardErrorExit process_end_;
};

}  // namespace

std::unique_ptr<CapturePlatform> make_screen_capture_platform() {
  return std::make_unique<ScreenCapturePlatform>();
}

}  // namespace morvane::streamer

@implementation StreamOutputBridge {
  morvane::streamer::StreamOutput* _output;
}

- (instancetype)initWithOutput:(morvane::streamer::StreamOutput*)output {
  self = [super init];
  if (self != nil) _output = output;
  return self;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  // Sample handlers run on dispatch threads; the encoder's objects are autoreleased.
  @autoreleasepool {
    _output->on_sample(morvane::streamer::sample_of(sampleBuffer, static_cast<std::int64_t>(type),
                                                    (__bridge CFStringRef)SCStreamFrameInfoStatus));
  }
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  // Delivered on a queue of ScreenCaptureKit's own choosing (which one is not documented), so
  // possibly while the sample handler writes a record; on_stop waits for that record.
  _output->on_stop(morvane::streamer::describe(error));
}

@end
