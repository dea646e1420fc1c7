// macos_pasteboard: sim_pasteboard's twin on macOS. It plays "another application" on the real
// general pasteboard with the same command line, outputs and exit statuses, so the black-box
// tests run unchanged against AppKit. Switches that only a simulation can offer are refused.
// Two extra commands keep the user's pasteboard safe around a test run:
//   macos_pasteboard save FILE      every item and every type, as a property list
//   macos_pasteboard restore FILE   puts them back
// Objective-C++ with ARC.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "build_info.h"
#include "input/utf8.h"
#include "sim_pasteboard_command.h"

#if !__has_feature(objc_arc)
#error "macos_pasteboard_main.mm is written for ARC"
#endif

namespace {

using namespace morvane::sim_tool;

// Stands for --plain-item: an item must carry at least one type to be written at all.
NSString* const kPlainItemType = @"com.morvane.test.plain-item";

int fail(NSString* message) {
  std::fprintf(stderr, "macos_pasteboard: %s\n", message.UTF8String);
  return kExitFailed;
}

int print_bytes(const void* bytes, std::size_t size) {
  if ((size > 0 && std::fwrite(bytes, 1, size, stdout) != size) || std::fflush(stdout) != 0) {
    return fail(@"cannot write to standard output");
  }
  return kExitOk;
}

int print_line(long long value) {
  const std::string line = std::to_string(value) + "\n";
  return print_bytes(line.data(), line.size());
}

NSString* string_of(const std::string& utf8) {
  return [[NSString alloc] initWithBytes:utf8.data() length:utf8.size() encoding:NSUTF8StringEncoding];
}

// NSString's UTF-8 decoding drops a leading byte-order mark; the string is built from the
// UTF-16 units instead, so that a text planted here is exactly the text given.
NSString* exact_string_of(const std::string& utf8) {
  const std::optional<std::u16string> units = morvane::utf8_to_utf16(utf8);
  if (!units) return nil;
  static_assert(sizeof(char16_t) == sizeof(unichar));
  return [NSString stringWithCharacters:reinterpret_cast<const unichar*>(units->data())
                                 length:units->size()];
}

NSData* file_data(const std::string& path) {
  return [NSData dataWithContentsOfFile:string_of(path)];
}

// The UTF-8 bytes of a string, nil when it has none (a lone surrogate).
NSData* utf8_of(NSString* string) {
  return [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:NO];
}

// ---- write and clear ----

// Builds every item before the pasteboard is touched, so a bad input file changes nothing.
NSString* plan(const Write& write, NSMutableArray<NSPasteboardItem*>* items) {
  for (const PlannedItem& planned : write.items) {
    NSPasteboardItem* item = [[NSPasteboardItem alloc] init];
    if (planned.file_url) {
      NSString* url = exact_string_of(*planned.file_url);
      if (url == nil) return @"a file URL is not UTF-8";
      [item setString:url forType:NSPasteboardTypeFileURL];
    } else if (planned.file_reference) {
      NSURL* path_url = [NSURL fileURLWithPath:string_of(*planned.file_reference)];
      NSURL* reference = path_url.fileReferenceURL;
      if (reference == nil) {
        return [NSString stringWithFormat:@"cannot find %s", planned.file_reference->c_str()];
      }
      [item setString:reference.absoluteString forType:NSPasteboardTypeFileURL];
    } else {
      [item setData:[NSData data] forType:kPlainItemType];
    }
    [items addObject:item];
  }
  NSString* text = nil;
  if (write.text) {
    text = exact_string_of(*write.text);
  } else if (write.text_file) {
    NSData* bytes = file_data(*write.text_file);
    if (bytes == nil) return [NSString stringWithFormat:@"cannot open %s", write.text_file->c_str()];
    text = exact_string_of(std::string(static_cast<const char*>(bytes.bytes), bytes.length));
  }
  if ((write.text || write.text_file) && text == nil) return @"the text is not UTF-8";
  NSData* png = nil;
  if (write.png_file) {
    png = file_data(*write.png_file);
    if (png == nil) return [NSString stringWithFormat:@"cannot open %s", write.png_file->c_str()];
  }
  if ((text != nil || png != nil || !write.data.empty()) && items.count == 0) {
    [items addObject:[[NSPasteboardItem alloc] init]];
  }
  if (text != nil) [items[0] setString:text forType:NSPasteboardTypeString];
  if (png != nil) [items[0] setData:png forType:NSPasteboardTypePNG];
  for (const PlannedData& planned : write.data) {
    NSData* bytes = file_data(planned.path);
    if (bytes == nil) return [NSString stringWithFormat:@"cannot open %s", planned.path.c_str()];
    [items[planned.item.value_or(0)] setData:bytes forType:string_of(planned.type)];
  }
  return nil;
}

int run_write(NSPasteboard* pasteboard, const Write& write) {
  NSMutableArray<NSPasteboardItem*>* items = [NSMutableArray array];
  if (NSString* problem = plan(write, items)) return fail(problem);
  [pasteboard clearContents];
  if (items.count > 0 && ![pasteboard writeObjects:items]) {
    return fail(@"the pasteboard refused the items");
  }
  return print_line(pasteboard.changeCount);
}

// ---- read ----

// The first item that has `type`, as the simulated pasteboard answers.
NSPasteboardItem* first_with(NSPasteboard* pasteboard, NSString* type) {
  for (NSPasteboardItem* item in pasteboard.pasteboardItems) {
    if ([item.types containsObject:type]) return item;
  }
  return nil;
}

int run_read(NSPasteboard* pasteboard, ReadWhat what) {
  switch (what) {
    case ReadWhat::change_count:
      return print_line(pasteboard.changeCount);
    case ReadWhat::png: {
      NSData* png = [first_with(pasteboard, NSPasteboardTypePNG) dataForType:NSPasteboardTypePNG];
      if (png == nil) return kExitNothing;
      return print_bytes(png.bytes, png.length);
    }
    case ReadWhat::text: {
      NSPasteboardItem* item = first_with(pasteboard, NSPasteboardTypeString);
      // The stored UTF-8 bytes when they are UTF-8, as the helper reads text: stringForType:
      // decodes them with NSString's UTF-8 decoding, which drops a leading byte-order mark.
      NSData* stored = [item dataForType:NSPasteboardTypeString];
      const std::string_view stored_text(static_cast<const char*>(stored.bytes), stored.length);
      if (stored != nil && morvane::is_valid_utf8(stored_text)) {
        return print_bytes(stored_text.data(), stored_text.size());
      }
      NSString* text = [item stringForType:NSPasteboardTypeString];
      if (text == nil) return kExitNothing;
      NSData* bytes = utf8_of(text);
      if (bytes == nil) return fail(@"the pasteboard text has no UTF-8 form");
      // NSString's UTF-8 encoding keeps a leading U+FEFF as the bytes EF BB BF.
      return print_bytes(bytes.bytes, bytes.length);
    }
    case ReadWhat::file_urls: {
      NSMutableData* lines = [NSMutableData data];
      for (NSPasteboardItem* item in pasteboard.pasteboardItems) {
        NSString* url = [item stringForType:NSPasteboardTypeFileURL];
        if (url == nil) continue;
        NSData* bytes = utf8_of(url);
        if (bytes == nil) return fail(@"a file URL has no UTF-8 form");
        [lines appendData:bytes];
        [lines appendBytes:"\n" length:1];
      }
      if (lines.length == 0) return kExitNothing;
      return print_bytes(lines.bytes, lines.length);
    }
  }
  return kExitFailed;
}

// ---- save and restore ----

int save(NSPasteboard* pasteboard, const char* file) {
  NSMutableArray* items = [NSMutableArray array];
  for (NSPasteboardItem* item in pasteboard.pasteboardItems) {
    NSMutableDictionary* types = [NSMutableDictionary dictionary];
    for (NSString* type in item.types) {
      // Promised data that its owner no longer provides is skipped, not fatal.
      if (NSData* data = [item dataForType:type]) types[type] = data;
    }
    [items addObject:types];
  }
  NSError* error = nil;
  NSData* plist = [NSPropertyListSerialization dataWithPropertyList:items
                                                             format:NSPropertyListBinaryFormat_v1_0
                                                            options:0
                                                              error:&error];
  if (plist == nil || ![plist writeToFile:@(file) options:NSDataWritingAtomic error:&error]) {
    return fail([NSString stringWithFormat:@"cannot save the pasteboard: %@", error]);
  }
  std::fprintf(stdout, "%lu items saved\n", static_cast<unsigned long>(items.count));
  return kExitOk;
}

int restore(NSPasteboard* pasteboard, const char* file) {
  NSData* plist = [NSData dataWithContentsOfFile:@(file)];
  if (plist == nil) return fail([NSString stringWithFormat:@"cannot open %s", file]);
  NSError* error = nil;
  id saved = [NSPropertyListSerialization propertyListWithData:plist
                                                       options:NSPropertyListImmutable
                                                        format:nullptr
                                                         error:&error];
  if (![saved isKindOfClass:[NSArray class]]) {
    return fail([NSString stringWithFormat:@"%s is not a saved pasteboard", file]);
  }
  NSMutableArray<NSPasteboardItem*>* items = [NSMutableArray array];
  for (id types in saved) {
    if (![types isKindOfClass:[NSDictionary class]]) continue;
    NSPasteboardItem* item = [[NSPasteboardItem alloc] init];
    for (NSString* type in types) [item setData:types[type] forType:type];
    [items addObject:item];
  }
  [pasteboard clearContents];
  if (items.count > 0 && ![pasteboard writeObjects:items]) {
    return fail(@"the pasteboard refused the saved items");
  }
  std::fprintf(stdout, "%lu items restored\n", static_cast<unsigned long>(items.count));
  return kExitOk;
}

int run(const std::vector<std::string>& arguments) {
  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  if (arguments.size() == 2 && (arguments[0] == "save" || arguments[0] == "restore")) {
    return arguments[0] == "save" ? save(pasteboard, arguments[1].c_str())
                                  : restore(pasteboard, arguments[1].c_str());
  }
  if (arguments.size() == 1 && arguments[0] == "--version") {
    return morvane::build_info::print_version("macos_pasteboard");
  }
  auto command = parse_command(arguments);
  if (!command) {
    std::fprintf(stderr, "macos_pasteboard: %s\n%s", command.error().c_str(), kUsage);
    return kExitUsage;
  }
  if (std::holds_alternative<Help>(*command)) {
    std::fputs(kUsage, stdout);
    std::fputs("On macOS this acts on the real general pasteboard; \"set\" is not available.\n"
               "  macos_pasteboard save FILE | restore FILE   keep and put back every item\n",
               stdout);
    return kExitOk;
  }
  if (std::holds_alternative<SetAccessBehavior>(*command) ||
      std::holds_alternative<SetRefuseWrites>(*command) ||
      std::holds_alternative<Check>(*command)) {
    std::fprintf(stderr, "macos_pasteboard: not available on this system: only the simulated "
                         "pasteboard has a store to check, or can be told to refuse writes or "
                         "change its access\n");
    return kExitUsage;
  }
  if (const auto* write = std::get_if<Write>(&*command)) return run_write(pasteboard, *write);
  if (std::holds_alternative<Clear>(*command)) return print_line([pasteboard clearContents]);
  if (const auto* read = std::get_if<Read>(&*command)) return run_read(pasteboard, read->what);
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  @autoreleasepool {
    @try {
      return run(std::vector<std::string>(argv + 1, argv + argc));
    } @catch (NSException* exception) {
      std::fprintf(stderr, "macos_pasteboard: %s: %s\n", exception.name.UTF8String,
                   exception.reason.UTF8String ?: "");
      return kExitFailed;
    }
  }
}
