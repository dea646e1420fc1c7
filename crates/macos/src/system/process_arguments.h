#pragma once

// The process's command line as the operating system passed it.

#include <string>
#include <vector>

namespace morvane {

// The process's command line, program name first, as the operating system passed it.
std::vector<std::string> process_arguments();

}  // namespace morvane
