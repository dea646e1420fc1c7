#include "input/clipboard/sim/shared_library_sim.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

namespace morvane::sim {

namespace {

[[noreturn]] void exit_as_the_loader_does(const char* message) {
  static constexpr char kPrefix[] = "morvane_macos_helper: error while loading shared libraries: ";
  [[maybe_unused]] auto ignored = ::write(2, kPrefix, sizeof kPrefix - 1);
  ignored = ::write(2, message, std::strlen(message));
  ignored = ::write(2, "\n", 1);
  ::_exit(127);
}

}  // namespace

SharedLibrary::SharedLibrary(const char* soname)
    : handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) exit_as_the_loader_does(::dlerror());
}

void* SharedLibrary::address_of(const char* name) const {
  void* address = ::dlsym(handle_, name);
  if (address == nullptr) exit_as_the_loader_does(::dlerror());
  return address;
}

}  // namespace morvane::sim
