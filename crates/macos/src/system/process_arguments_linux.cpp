#include "system/process_arguments.h"

namespace morvane {

namespace {
int g_argc = 0;
char** g_argv = nullptr;

// glibc calls .init_array entries with the program's argc and argv before main runs, which
// lets the entry read its command line without main passing it down.
void capture_arguments(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
}
__attribute__((section(".init_array"), used)) void (*const g_capture_arguments)(int, char**, char**) =
    &capture_arguments;
}  // namespace

std::vector<std::string> process_arguments() {
  std::vector<std::string> arguments;
  for (int i = 0; i < g_argc && g_argv != nullptr && g_argv[i] != nullptr; ++i) {
    arguments.emplace_back(g_argv[i]);
  }
  return arguments;
}

}  // namespace morvane
