#include "input/clipboard/clipboard_helper_entry.h"

int main() { return morvane::entry_from_env(); }
