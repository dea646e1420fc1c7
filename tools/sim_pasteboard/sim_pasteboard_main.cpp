#include <cstdio>
#include <string>
#include <vector>

#include "build_info.h"
#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "sim_pasteboard_command.h"

int main(int argc, char** argv) {
  using namespace morvane::sim_tool;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 1 && arguments[0] == "--version") {
    return morvane::build_info::print_version("sim_pasteboard");
  }
  auto command = parse_command(arguments);
  if (!command) {
    std::fprintf(stderr, "sim_pasteboard: %s\n%s", command.error().c_str(), kUsage);
    return kExitUsage;
  }
  return run_command(*command, morvane::sim::default_store_location());
}
