#pragma once

namespace vorn::bootmap {

// Called once per space-separated token of the kernel command line. The hook may modify the
// token text; its result is not used.
using CmdlineHook = void (*)(char* token, void* context);

// Reads the kernel command line (at most 1023 bytes, a trailing line feed dropped) and calls
// the hook for each token in order. The walk ends at the first empty token, so two spaces in
// a row end it early. A missing or unreadable command line gives no token.
void cmdline_walk(void* context, CmdlineHook hook);

}  // namespace vorn::bootmap
