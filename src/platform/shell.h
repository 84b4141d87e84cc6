#pragma once

namespace vorn::platform {

// Runs a command line through the system shell and waits for it. Returns the wait status
// as system(3) gives it (-1 when no shell could be started).
int shell_run(const char* command);

}  // namespace vorn::platform
