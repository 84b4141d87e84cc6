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

// Handlers, one file per command: each returns the command's result.
int help_command(int argc, char** argv);
int info_command(int argc, char** argv);
int list_command(int argc, char** argv);
int infos_command(int argc, char** argv);
int getprop_command(int argc, char** argv);
int setprop_command(int argc, char** argv);
int check_command(int argc, char** argv);
int install_command(int argc, char** argv);
int upgrade_command(int argc, char** argv);
int upgrade_check_command(int argc, char** argv);
int upgrade_install_command(int argc, char** argv);
int upgrade_setup_command(int argc, char** argv);
int upgrade_setup_reboot_command(int argc, char** argv);
int upgrade_commit_command(int argc, char** argv);
int upgrade_rollback_command(int argc, char** argv);
int upgrade_status_command(int argc, char** argv);

inline constexpr CommandRow COMMAND_TABLE[] = {
    {.word = "help", .quiet = false, .run = help_command},
    {.word = "list", .quiet = false, .run = list_command},
    {.word = "install", .quiet = false, .run = install_command},
    {.word = "upgrade", .quiet = false, .run = upgrade_command},
    {.word = "upgrade.check", .quiet = false, .run = upgrade_check_command},
    {.word = "upgrade.install", .quiet = false, .run = upgrade_install_command},
    {.word = "upgrade.setup", .quiet = false, .run = upgrade_setup_command},
    {.word = "upgrade.setup.reboot", .quiet = false, .run = upgrade_setup_reboot_command},
    {.word = "upgrade.commit", .quiet = false, .run = upgrade_commit_command},
    {.word = "upgrade.rollback", .quiet = false, .run = upgrade_rollback_command},
    {.word = "upgrade.status", .quiet = false, .run = upgrade_status_command},
    {.word = "check", .quiet = false, .run = check_command},
    {.word = "infos", .quiet = true, .run = infos_command},
    {.word = "info", .quiet = true, .run = info_command},
    {.word = "getprop", .quiet = false, .run = getprop_command},  // quiet only for a get by name
    {.word = "setprop", .quiet = false, .run = setprop_command},
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
