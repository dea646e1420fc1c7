#include "system/process_arguments.h"

#include "system/apple_declarations.h"

namespace morvane {

std::vector<std::string> process_arguments() {
  std::vector<std::string> arguments;
  const int argc = *_NSGetArgc();
  char** argv = *_NSGetArgv();
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

}  // namespace morvane
