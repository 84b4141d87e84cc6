#include "daemon/daemon_commands.h"

#include <atomic>

#include "cli/common_startup.h"
#include "cli/dispatcher.h"
#include "core/progress.h"
#include "core/reply_buffer.h"
#include "daemon/request_words.h"
#include "platform/fixed_text.h"
#include "platform/log.h"

namespace vorn::daemon {

using platform::log_print;
using platform::LOG_PRIORITY_ERROR;

std::mutex command_mutex;

namespace {

int run_tool(int argc, char** argv, std::span<char> reply) {
  cli::common_startup();
  const int result = cli::dispatch(argc, argv, reply);
  // The reply text lives only for this request; leave no pointer to it behind.
  core::set_reply_buffer({});
  return result;
}

std::atomic<ToolRunner> g_tool_runner{run_tool};

}  // namespace

void set_tool_runner(ToolRunner runner) { g_tool_runner.store(runner ? runner : run_tool); }

int cmd_vorn(int argc, char** argv, std::span<char> reply) {
  std::lock_guard lock(command_mutex);
  const int result = g_tool_runner.load()(argc, argv, reply);
  core::progress_idle();
  return result;
}

int cmd_progress(int /*argc*/, char** /*argv*/, std::span<char> reply) {
  (void)core::progress_line(reply);
  return 0;
}

const DaemonCommand* daemon_command_find(std::span<const DaemonCommand> table,
                                         std::string_view name) {
  const auto row =
      std::ranges::find_if(table, [name](const DaemonCommand& c) { return name == c.name; });
  return row == table.end() ? nullptr : &*row;
}

int run_request(std::span<char> request, std::span<char, REPLY_TEXT_SIZE> reply) {
  return run_request_in(DAEMON_COMMANDS, request, reply);
}

int run_request_in(std::span<const DaemonCommand> table, std::span<char> request,
                   std::span<char, REPLY_TEXT_SIZE> reply) {
  RequestWords words;
  if (split_words(request, words) == WORDS_TOO_MANY) {
    log_print(LOG_PRIORITY_ERROR, "too many arguments\n");
    return DAEMON_COMMAND_FAILED;
  }
  const char* name = words.count > 0 ? words.words[0] : "";
  const DaemonCommand* row = words.count > 0 ? daemon_command_find(table, name) : nullptr;
  if (row == nullptr) {
    log_print(LOG_PRIORITY_ERROR, "unsupported command '%s'\n", name);
    return DAEMON_COMMAND_FAILED;
  }
  if (row->arg_count != 0 && row->arg_count != words.count) {
    log_print(LOG_PRIORITY_ERROR, "%s requires %d arguments (%d given)\n", row->name,
              row->arg_count, words.count);
    return DAEMON_COMMAND_FAILED;
  }
  return row->handler(words.count, words.words.data(), reply);
}

std::string_view format_reply(std::span<char> out, int code, std::span<const char> reply_text) {
  const std::string_view text = platform::slot_text(reply_text);
  if (text.empty()) {
    platform::format_text(out, "%d\n", code);
  } else {
    platform::format_text(out, "%d\n%.*s\n", code, static_cast<int>(text.size()), text.data());
  }
  return platform::slot_text(out);
}

}  // namespace vorn::daemon
