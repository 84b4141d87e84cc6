#pragma once

namespace vorn::cli {

// The start-up run before every command (once per tool process, before each daemon command,
// and once for the watchdog set-up): verbosity 2, no reply buffer, the boot map and the
// hardware tag from the kernel command line, the property table of the hardware model, no
// header of a server's image remembered (and the download limits read from the properties).
// Returns the result of the boot map set-up (0).
int common_startup();

}  // namespace vorn::cli
