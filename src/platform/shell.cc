#include "platform/shell.h"

#include <cstdio>
#include <cstdlib>

namespace vorn::platform {

int shell_run(const char* command) {
  if (command == nullptr) return -1;
  // Output printed so far must reach its reader before the command's own output.
  std::fflush(stdout);
  return std::system(command);
}

}  // namespace vorn::platform
