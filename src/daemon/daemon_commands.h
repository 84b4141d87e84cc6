#pragma once

// The daemon's command table and the handling of one request line, from the words to the
// framed reply text.

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <span>
#include <string_view>

namespace vorn::daemon {

inline constexpr size_t REPLY_TEXT_SIZE = 512;    // a handler's reply text, with its NUL
inline constexpr int DAEMON_COMMAND_FAILED = -1;  // too many words, unknown command, bad count

// A handler gets the word count, the words (word 0 is the command name, words[argc] is null)
// and an empty reply text of REPLY_TEXT_SIZE bytes; it returns the reply code.
using DaemonHandler = int (*)(int argc, char** argv, std::span<char> reply);

struct DaemonCommand {
  const char* name;
  int arg_count;  // words including the command name; 0 accepts any count
  DaemonHandler handler;
};

// "vorn": runs one tool command under command_mutex (start-up, then the dispatcher with the
// reply text as its reply buffer), and sets the progress record idle after it. Returns the
// dispatcher's result.
int cmd_vorn(int argc, char** argv, std::span<char> reply);
// "appalive": see app_alive.h.
int cmd_appalive(int argc, char** argv, std::span<char> reply);
// "progress": how far the running tool command is, as one line in the reply text (see
// core/progress.h), without waiting for command_mutex. Always 0.
int cmd_progress(int argc, char** argv, std::span<char> reply);

inline constexpr DaemonCommand DAEMON_COMMANDS[] = {
    {.name = "vorn", .arg_count = 0, .handler = cmd_vorn},
    {.name = "appalive", .arg_count = 0, .handler = cmd_appalive},
    {.name = "progress", .arg_count = 1, .handler = cmd_progress},
};
static_assert(std::size(DAEMON_COMMANDS) == 3);

consteval bool daemon_command_names_unique() {
  for (size_t i = 0; i < std::size(DAEMON_COMMANDS); ++i) {
    for (size_t j = i + 1; j < std::size(DAEMON_COMMANDS); ++j) {
      if (std::string_view(DAEMON_COMMANDS[i].name) == DAEMON_COMMANDS[j].name) return false;
    }
  }
  return true;
}
static_assert(daemon_command_names_unique(), "daemon command names must be unique");

// The first row of that exact name, or null.
[[nodiscard]] const DaemonCommand* daemon_command_find(std::span<const DaemonCommand> table,
                                                       std::string_view name);

// Serialises every tool command run for a client.
extern std::mutex command_mutex;

// What cmd_vorn runs while holding command_mutex. The default runs the common start-up and the
// tool's dispatcher; tests put a fake in place. Null restores the default.
using ToolRunner = int (*)(int argc, char** argv, std::span<char> reply);
void set_tool_runner(ToolRunner runner);

// Splits the request (NUL-terminated inside the span) into words, looks the command up and runs
// it. Returns the handler's code, or DAEMON_COMMAND_FAILED after logging "too many arguments",
// "unsupported command '%s'" or "%s requires %d arguments (%d given)".
[[nodiscard]] int run_request(std::span<char> request, std::span<char, REPLY_TEXT_SIZE> reply);
// The same over another table (the checks are the table's, not the rows').
[[nodiscard]] int run_request_in(std::span<const DaemonCommand> table, std::span<char> request,
                                 std::span<char, REPLY_TEXT_SIZE> reply);

// Formats the reply body into out: "%d\n%s\n" with the code and the reply text when the text is
// not empty, "%d\n" otherwise; cut at the end of out, never past it. Returns the body.
std::string_view format_reply(std::span<char> out, int code, std::span<const char> reply_text);

}  // namespace vorn::daemon
