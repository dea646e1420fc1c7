#pragma once

// The capture stream's output and delegate on macOS (Objective-C++; automatic reference
// counting in the files that include this).

#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <cstdint>

// Turns each usable screen sample into one record on standard output: the 12-byte header,
// then the JPEG data. Ends the process when the stream stops or standard output fails.
@interface FrameOutput : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithWidth:(std::int64_t)width
                       height:(std::int64_t)height
                      quality:(double)quality NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

namespace morvane::streamer {

// The platform's text for an error, or a fixed text when there is no error object.
NSString* describe(NSError* error);

// Writes `line` and a line feed to standard error in one write and ends the process with
// status 1.
[[noreturn]] void fail_with_line(NSString* line);

}  // namespace morvane::streamer
