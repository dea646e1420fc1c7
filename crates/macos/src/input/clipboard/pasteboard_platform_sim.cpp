// Placeholder until the simulated general pasteboard lands.
#include "input/clipboard/pasteboard_platform.h"
