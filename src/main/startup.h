#pragma once

#include "main/common_startup.h"

namespace vorn {

// Tool personality: common start-up, then the dispatcher on the process arguments with no
// reply buffer. The result is the process exit status.
int vorn_main(int argc, char** argv);

// Chooses the personality by the base name of argv[0]: "vorn" runs the tool, "vornd" the
// daemon (never returns); any other name returns 0 without output.
int personality_main(int argc, char** argv);

}  // namespace vorn
