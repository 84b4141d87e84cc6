#pragma once

#include <array>
#include <string_view>

namespace vorn::cli {

using CommandHandler = int (*)(int argc, char** argv);

struct CommandRow {
  const char* word;
  bool quiet;  // goes quiet (verbosity -99) before running, also in the tool
  CommandHandler run;
};

// Handlers, one file per concern.
int cmd_help(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_list(int argc, char** argv);
int cmd_infos(int argc, char** argv);
int cmd_getprop(int argc, char** argv);
int cmd_setprop(int argc, char** argv);

inline constexpr CommandRow COMMAND_TABLE[] = {
    {.word = "help", .quiet = false, .run = cmd_help},
    {.word = "list", .quiet = false, .run = cmd_list},
    {.word = "infos", .quiet = true, .run = cmd_infos},
    {.word = "info", .quiet = true, .run = cmd_info},
    {.word = "getprop", .quiet = false, .run = cmd_getprop},  // quiet only for a get by name
    {.word = "setprop", .quiet = false, .run = cmd_setprop},
};

consteval bool command_words_unique() {
  for (size_t i = 0; i < std::size(COMMAND_TABLE); ++i) {
    for (size_t j = i + 1; j < std::size(COMMAND_TABLE); ++j) {
      if (std::string_view(COMMAND_TABLE[i].word) == COMMAND_TABLE[j].word) return false;
    }
  }
  return true;
}
static_assert(command_words_unique(), "command words must be unique");

}  // namespace vorn::cli
