#pragma once

namespace vorn::platform {

// Runs a command line through the system shell and waits for it. Returns the wait status
// as system(3) gives it (-1 when no shell could be started).
int shell_run(const char* command);

// Runs a program (argv[0], looked up on PATH) with the given arguments in the directory dir,
// without a shell, so that no argument is ever read as shell syntax; waits for it. argv must end
// with a null entry. Returns the wait status, or -1 when it could not be started.
int program_run(const char* const* argv, const char* dir);

}  // namespace vorn::platform
