#include "input/clipboard/sim/shared_library_sim.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morvane::sim {

namespace {

// Worded as the loader words it, under the name of whichever program links this (the helper
// or the simulated pasteboard's tool).
[[noreturn]] void exit_as_the_loader_does(const char* message) {
  static constexpr char kPrefix[] = ": error while loading shared libraries: ";
  const char* program = program_invocation_short_name;
  [[maybe_unused]] auto ignored = ::write(2, program, std::strlen(program));
  ignored = ::write(2, kPrefix, sizeof kPrefix - 1);
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
