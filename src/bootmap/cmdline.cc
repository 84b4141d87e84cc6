#include "bootmap/cmdline.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/fixed_paths.h"
#include "platform/unique_fd.h"

namespace vorn::bootmap {

namespace {
constexpr size_t CMDLINE_MAX = 1023;
}

void cmdline_walk(void* context, CmdlineHook hook) {
  std::array<char, CMDLINE_MAX + 1> text{};
  {
    platform::UniqueFd fd(
        ::open(platform::fixed_path(platform::FixedPath::KERNEL_CMDLINE), O_RDONLY | O_CLOEXEC));
    if (fd) {
      const ssize_t n = ::read(fd.get(), text.data(), CMDLINE_MAX);
      if (n > 0) {
        size_t len = static_cast<size_t>(n);
        if (text[len - 1] == '\n') --len;
        text[len] = '\0';
      }
    }
  }
  if (hook == nullptr) return;
  char* token = text.data();
  // An empty token (end of text, or a space right after a space) ends the walk.
  while (*token != '\0' && *token != ' ') {
    char* space = std::strchr(token, ' ');
    if (space != nullptr) *space = '\0';
    hook(token, context);
    if (space == nullptr) break;
    token = space + 1;
  }
}

}  // namespace vorn::bootmap
