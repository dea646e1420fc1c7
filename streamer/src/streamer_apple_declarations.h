#pragma once

// The CoreFoundation and CoreMedia interfaces that the streamer's plain C++ Apple sources
// call. With the macOS SDK the SDK's own headers are used. Without it, the declarations below
// stand in for them, written as the SDK declares them for 64-bit macOS, so that those sources
// can still be compiled (never linked) on other systems to catch wrong types and names early.

#if __has_include(<CoreMedia/CoreMedia.h>)

#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>

#else

extern "C" {

// <MacTypes.h>, <CoreFoundation/CFBase.h>
typedef unsigned char Boolean;
typedef signed long CFIndex;
typedef unsigned long CFTypeID;
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
CFTypeID CFGetTypeID(CFTypeRef cf);

// <CoreFoundation/CFArray.h>
typedef const struct __CFArray* CFArrayRef;
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

// <CoreFoundation/CFDictionary.h>
typedef const struct __CFDictionary* CFDictionaryRef;
CFTypeID CFDictionaryGetTypeID(void);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

// <CoreFoundation/CFNumber.h>
typedef const struct __CFNumber* CFNumberRef;
typedef CFIndex CFNumberType;
enum : CFNumberType { kCFNumberSInt64Type = 4 };
CFTypeID CFNumberGetTypeID(void);
Boolean CFNumberIsFloatType(CFNumberRef number);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

// <CoreVideo/CVBuffer.h>, <CoreVideo/CVImageBuffer.h>
typedef struct __CVBuffer* CVBufferRef;
typedef CVBufferRef CVImageBufferRef;

// <CoreMedia/CMSampleBuffer.h>
typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;
Boolean CMSampleBufferIsValid(CMSampleBufferRef sbuf);
CVImageBufferRef CMSampleBufferGetImageBuffer(CMSampleBufferRef sbuf);
CFArrayRef CMSampleBufferGetSampleAttachmentsArray(CMSampleBufferRef sbuf,
                                                   Boolean createIfNecessary);

}  // extern "C"

#endif
