// frame_streamer on macOS (Objective-C++, automatic reference counting). The main thread runs
// only the application's event loop; the capture is set up in ScreenCaptureKit's completion
// handlers, and frames then reach FrameOutput on the stream's serial queue.
#import <AppKit/AppKit.h>
#import <CoreMedia/CoreMedia.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <csignal>
#include <string_view>
#include <vector>

#include "capture_setup.h"
#include "capture_size.h"
#include "options.h"
#import "frame_output_apple.h"

#if !__has_feature(objc_arc)
#error "main_apple.mm is written for automatic reference counting"
#endif

static_assert(static_cast<OSType>(morvane::streamer::PixelFormat::bgra) == kCVPixelFormatType_32BGRA);

namespace {

// Strong references that keep the frame writer and the running stream alive; nothing reads
// them.
FrameOutput* output = nil;
SCStream* activeStream = nil;

[[noreturn]] void capture_failed(NSError* error) {
  morvane::streamer::fail_with_line(
      [@"screen capture failed: " stringByAppendingString:morvane::streamer::describe(error)]);
}

void start_capture(morvane::streamer::StreamerOptions options) {
  [SCShareableContent
      getShareableContentExcludingDesktopWindows:NO
                             onScreenWindowsOnly:YES
                               completionHandler:^(SCShareableContent* content, NSError* error) {
    if (content == nil || error != nil) capture_failed(error);
    SCDisplay* display = content.displays.firstObject;
    if (display == nil) morvane::streamer::fail_with_line(@"no display available");

    const morvane::streamer::CaptureSize size =
        morvane::streamer::capture_size(display.width, display.height, options.maximum_width);
    const morvane::streamer::StreamConfiguration settings =
        morvane::streamer::stream_configuration(size, options.frames_per_second);

    SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:display
                                                      excludingWindows:@[]];
    SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
    configuration.width = static_cast<size_t>(settings.size.width);
    configuration.height = static_cast<size_t>(settings.size.height);
    configuration.minimumFrameInterval = CMTimeMake(settings.minimum_frame_interval_value,
                                                    settings.minimum_frame_interval_timescale);
    configuration.queueDepth = settings.queue_depth;
    configuration.showsCursor = settings.shows_cursor ? YES : NO;
    configuration.pixelFormat = static_cast<OSType>(settings.pixel_format);

    FrameOutput* frameOutput = [[FrameOutput alloc] initWithWidth:size.width
                                                           height:size.height
                                                          quality:options.quality];
    SCStream* stream = [[SCStream alloc] initWithFilter:filter
                                          configuration:configuration
                                               delegate:frameOutput];
    dispatch_queue_t queue = dispatch_queue_create("frame_streamer", DISPATCH_QUEUE_SERIAL);
    NSError* addError = nil;
    if (![stream addStreamOutput:frameOutput
                            type:SCStreamOutputTypeScreen
              sampleHandlerQueue:queue
                           error:&addError]) {
      capture_failed(addError);
    }
    [stream startCaptureWithCompletionHandler:^(NSError* startError) {
      if (startError != nil) capture_failed(startError);
      output = frameOutput;
      activeStream = stream;
    }];
  }];
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that went away must show up as a failed write, not kill the process unannounced.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> args(argv, argv + argc);
  const morvane::streamer::StreamerOptions options = morvane::streamer::parse_streamer_options(args);

  @autoreleasepool {
    NSApplication* app = [NSApplication sharedApplication];
    [app setActivationPolicy:NSApplicationActivationPolicyProhibited];
    start_capture(options);
    [app run];
  }
  return 1;
}
