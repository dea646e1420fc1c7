#pragma once

// The Apple interfaces that the plain C++ Apple sources call: the Objective-C runtime's C
// interface, CoreFoundation, ImageIO, three AppKit constants and the process's arguments. With the macOS SDK the
// SDK's own headers are used. Without it, the declarations below stand in for them, written
// as the SDK declares them for 64-bit macOS, so that those sources can still be compiled
// (never linked) on other systems to catch wrong types, casts and names early.

#include <cstddef>
#include <cstdint>

#if __has_include(<CoreFoundation/CoreFoundation.h>)

#include <CoreFoundation/CoreFoundation.h>
#include <ImageIO/ImageIO.h>
#include <objc/message.h>
#include <objc/runtime.h>

#else

extern "C" {

// <objc/objc.h>, <objc/runtime.h>, <objc/message.h>
typedef struct objc_object* id;
typedef struct objc_class* Class;
typedef struct objc_selector* SEL;
// BOOL is bool on arm64, the only architecture these programs are built for.
typedef bool BOOL;
Class objc_getClass(const char* name);
SEL sel_registerName(const char* str);
// Declared without a prototype on purpose: every call casts it to the method's exact type.
void objc_msgSend(void);

// <MacTypes.h>, <CoreFoundation/CFBase.h>
typedef unsigned char Boolean;
typedef unsigned char UInt8;
typedef unsigned short UInt16;
typedef unsigned int UInt32;
typedef UInt16 UniChar;
typedef signed long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;
inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
  CFRange range;
  range.location = location;
  range.length = length;
  return range;
}
extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFAllocatorRef kCFAllocatorNull;
void CFRelease(CFTypeRef cf);

// <CoreFoundation/CFString.h>
typedef UInt32 CFStringEncoding;
enum : CFStringEncoding { kCFStringEncodingUTF8 = 0x08000100 };
CFIndex CFStringGetLength(CFStringRef theString);
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars,
                                         CFIndex numChars);

// <CoreFoundation/CFURL.h>
typedef const struct __CFURL* CFURLRef;
CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL);
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
CFStringRef CFURLGetString(CFURLRef anURL);
typedef struct __CFError* CFErrorRef;
Boolean CFURLIsFileReferenceURL(CFURLRef url);
CFURLRef CFURLCreateFilePathURL(CFAllocatorRef allocator, CFURLRef url, CFErrorRef* error);

// <CoreFoundation/CFData.h>
typedef const struct __CFData* CFDataRef;
CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator);

typedef struct __CFData* CFMutableDataRef;
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity);

// <CoreFoundation/CFNumber.h>
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFNumber* CFNumberRef;
typedef CFIndex CFNumberType;
enum : CFNumberType { kCFNumberSInt32Type = 3, kCFNumberSInt64Type = 4 };
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
typedef unsigned long CFTypeID;
CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFNumberGetTypeID(void);
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr);

// <CoreFoundation/CFDictionary.h>; the call-back tables are only ever passed by address.
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct CFDictionaryKeyCallBacks CFDictionaryKeyCallBacks;
typedef struct CFDictionaryValueCallBacks CFDictionaryValueCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

// <ImageIO/CGImageSource.h>
typedef struct CGImageSource* CGImageSourceRef;
typedef struct CGImage* CGImageRef;
typedef std::int32_t CGImageSourceStatus;
extern const CFStringRef kCGImageSourceCreateThumbnailFromImageAlways;
extern const CFStringRef kCGImageSourceThumbnailMaxPixelSize;
extern const CFStringRef kCGImageSourceShouldCacheImmediately;
CGImageSourceRef CGImageSourceCreateWithData(CFDataRef data, CFDictionaryRef options);
CFStringRef CGImageSourceGetType(CGImageSourceRef isrc);
std::size_t CGImageSourceGetCount(CGImageSourceRef isrc);
CGImageSourceStatus CGImageSourceGetStatus(CGImageSourceRef isrc);
CGImageSourceStatus CGImageSourceGetStatusAtIndex(CGImageSourceRef isrc, std::size_t index);
CGImageRef CGImageSourceCreateThumbnailAtIndex(CGImageSourceRef isrc, std::size_t index,
                                               CFDictionaryRef options);
extern const CFStringRef kCGImageSourceCreateThumbnailWithTransform;
CFDictionaryRef CGImageSourceCopyPropertiesAtIndex(CGImageSourceRef isrc, std::size_t index,
                                                   CFDictionaryRef options);

// <ImageIO/CGImageProperties.h>
extern const CFStringRef kCGImagePropertyPixelWidth;
extern const CFStringRef kCGImagePropertyPixelHeight;
extern const CFStringRef kCGImagePropertyOrientation;
extern const CFStringRef kCGImagePropertyDepth;

// <ImageIO/CGImageDestination.h>
typedef struct CGImageDestination* CGImageDestinationRef;
CGImageDestinationRef CGImageDestinationCreateWithData(CFMutableDataRef data, CFStringRef type,
                                                       std::size_t count, CFDictionaryRef options);
void CGImageDestinationAddImage(CGImageDestinationRef idst, CGImageRef image,
                                CFDictionaryRef properties);
bool CGImageDestinationFinalize(CGImageDestinationRef idst);

}  // extern "C"

#endif

// The process's own argument vector (libSystem).
#if __has_include(<crt_externs.h>)
#include <crt_externs.h>
#else
extern "C" {
char*** _NSGetArgv(void);
int* _NSGetArgc(void);
}
#endif

// AppKit's pasteboard types are NSString constants (NSPasteboardType is NSString *); AppKit's
// headers are Objective-C only, so plain C++ declares them here. NSString and CFString are the
// same objects, and a data symbol's C name carries no type.
extern "C" {
extern const CFStringRef NSPasteboardTypeString;
extern const CFStringRef NSPasteboardTypePNG;
extern const CFStringRef NSPasteboardTypeFileURL;
}
