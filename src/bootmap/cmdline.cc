#include "bootmap/cmdline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/output.h"
#include "platform/fixed_paths.h"
#include "platform/io.h"
#include "platform/unique_fd.h"

namespace vorn::bootmap {

void cmdline_walk(void* context, CmdlineHook hook) {
  // Zero-filled: the text is terminated wherever the read ends.
  std::vector<char> text(CMDLINE_MAX + 2, '\0');
  {
    platform::UniqueFd fd(
        ::open(platform::fixed_path(platform::FixedPath::KERNEL_CMDLINE), O_RDONLY | O_CLOEXEC));
    // The kernel hands the command line out in pieces: read on to its end, so that no key
    // behind some byte count is lost.
    const ssize_t n = fd ? platform::read_fully(fd.get(), text.data(), CMDLINE_MAX + 1) : -1;
    size_t len = n > 0 ? static_cast<size_t>(n) : 0;
    if (len > CMDLINE_MAX) {
      core::warn_printf("vorn: kernel command line: bytes after the first %zu ignored\n",
                        CMDLINE_MAX);
      len = CMDLINE_MAX;
    }
    if (len > 0 && text[len - 1] == '\n') --len;
    text[len] = '\0';
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
