// The real platform calls of the macOS GPU sampler: IOKit, CoreFoundation and dlopen.
// Built on macOS only; each method is the one call its declaration names.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <dlfcn.h>

#include "gpu/mac_sampler.h"

namespace zel::gpu::mac {
namespace {

class SystemPlatform final : public Platform {
 public:
  CFRef service_matching(const char* class_name) override { return IOServiceMatching(class_name); }
  int get_matching_services(CFRef matching, IoObject* iterator) override {
    // The null port selects the default main port.
    return IOServiceGetMatchingServices(MACH_PORT_NULL, (CFDictionaryRef)matching, iterator);
  }
  IoObject iterator_next(IoObject iterator) override { return IOIteratorNext(iterator); }
  void object_release(IoObject object) override { IOObjectRelease(object); }
  int create_cf_properties(IoObject entry, CFRef* properties) override {
    CFMutableDictionaryRef dict = nullptr;
    kern_return_t rc = IORegistryEntryCreateCFProperties(entry, &dict, kCFAllocatorDefault, 0);
    *properties = dict;
    return rc;
  }

  CFRef dictionary_get_value(CFRef dict, CFRef key) override {
    return CFDictionaryGetValue((CFDictionaryRef)dict, key);
  }
  bool number_get_i64(CFRef number, int64_t* value) override {
    return CFNumberGetValue((CFNumberRef)number, kCFNumberSInt64Type, value);
  }
  long array_count(CFRef array) override { return CFArrayGetCount((CFArrayRef)array); }
  CFRef array_at(CFRef array, long index) override {
    return CFArrayGetValueAtIndex((CFArrayRef)array, index);
  }
  bool equal(CFRef a, CFRef b) override { return CFEqual(a, b); }
  CFRef string_create(std::string_view utf8) override {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                   static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
  }
  std::string string_utf8(CFRef string) override {
    auto s = (CFStringRef)string;
    if (const char* fast = CFStringGetCStringPtr(s, kCFStringEncodingUTF8)) return fast;
    CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
    std::string out(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(s, out.data(), size, kCFStringEncodingUTF8)) return {};
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
  }
  CFRef retain(CFRef object) override { return CFRetain(object); }
  void release(CFRef object) override { CFRelease(object); }

  void* open_library(const char* path, int mode) override { return dlopen(path, mode); }
  void* find_symbol(void* library, const char* name) override { return dlsym(library, name); }

  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

Platform& system_platform() {
  static SystemPlatform platform;
  return platform;
}

}  // namespace zel::gpu::mac
