#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace vorn::platform {

int shell_run(const char* command) {
  if (command == nullptr) return -1;
  // Output printed so far must reach its reader before the command's own output.
  std::fflush(stdout);
  return std::system(command);
}

int program_run(const char* const* argv, const char* dir) {
  if (argv == nullptr || argv[0] == nullptr || dir == nullptr) return -1;
  std::fflush(stdout);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  pid_t pid = -1;
  const bool started = ::posix_spawn_file_actions_addchdir_np(&actions, dir) == 0 &&
                       ::posix_spawnp(&pid, argv[0], &actions, nullptr,
                                      const_cast<char* const*>(argv), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  if (!started) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace vorn::platform
