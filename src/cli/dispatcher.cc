#include "cli/dispatcher.h"

#include <algorithm>
#include <string_view>

#include "cli/command_table.h"
#include "core/output.h"
#include "core/reply_buffer.h"

namespace vorn::cli {

int dispatch(int argc, char** argv, std::span<char> reply) {
  const char* word = arg(argc, argv, 1);
  if (word == nullptr) return DISPATCH_UNKNOWN;
  if (!reply.empty()) {
    core::set_verbosity(core::VERBOSITY_QUIET);
    core::set_reply_buffer(reply);
  }
  const auto* row = std::ranges::find_if(
      COMMAND_TABLE, [word](const CommandRow& r) { return std::string_view(r.word) == word; });
  if (row == std::end(COMMAND_TABLE)) return DISPATCH_UNKNOWN;
  if (row->quiet) core::set_verbosity(core::VERBOSITY_QUIET);
  return row->run(argc, argv);
}

}  // namespace vorn::cli
