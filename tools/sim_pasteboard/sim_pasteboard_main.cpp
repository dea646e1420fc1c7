#include <cstdio>
#include <string>
#include <vector>

#include "input/clipboard/sim/pasteboard_store_sim.h"
#include "sim_pasteboard_command.h"

int main(int argc, char** argv) {
  using namespace morvane::sim_tool;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  auto command = parse_command(arguments);
  if (!command) {
    std::fprintf(stderr, "sim_pasteboard: %s\n%s", command.error().c_str(), kUsage);
    return kExitUsage;
  }
  return run_command(*command, morvane::sim::default_store_location());
}
