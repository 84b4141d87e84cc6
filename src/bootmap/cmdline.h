#pragma once

#include <cstddef>

namespace vorn::bootmap {

// Far beyond any kernel's command line (4096 bytes at most); only a bound on the memory used.
inline constexpr size_t CMDLINE_MAX = 65536;

// Called once per space-separated token of the kernel command line. The hook may modify the
// token text; its result is not used.
using CmdlineHook = void (*)(char* token, void* context);

// Reads the whole kernel command line (a trailing line feed dropped; bytes beyond CMDLINE_MAX
// are ignored with a warning on standard error) and calls the hook for each token in order.
// The walk ends at the first empty token, so two spaces in a row end it early. A missing or
// unreadable command line gives no token.
void cmdline_walk(void* context, CmdlineHook hook);

}  // namespace vorn::bootmap
