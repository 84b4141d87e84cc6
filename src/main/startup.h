#pragma once

namespace vorn {

// The start-up run before every command (once per tool process, before each daemon command,
// and once for the watchdog set-up): verbosity 2, no reply buffer, the boot map and the
// hardware tag from the kernel command line, the property table of the hardware model.
// Returns the result of the boot map set-up (0).
int common_startup();

// Tool personality: common start-up, then the dispatcher on the process arguments with no
// reply buffer. The result is the process exit status.
int vorn_main(int argc, char** argv);

// Chooses the personality by the base name of argv[0]: "vorn" runs the tool, "vornd" the
// daemon (never returns); any other name returns 0 without output.
int personality_main(int argc, char** argv);

}  // namespace vorn
