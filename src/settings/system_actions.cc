#include "settings/system_actions.h"

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"
#include "settings/platform_calls.h"

namespace vorn::settings {

namespace {

using platform::FixedPath;

constexpr size_t LINE_SIZE = 64;      // one read of a /proc line: 63 characters and a NUL
constexpr size_t FIGURE_SIZE = 16;    // a kB figure as decimal text
constexpr size_t COMMAND_SIZE = 256;  // a shell command with a fixed path in it

bool name_present(const char* name) { return name != nullptr && name[0] != '\0'; }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_for_reading(FixedPath which) {
  return File(std::fopen(platform::fixed_path(which), "re"));
}

// Decimal number behind blanks, as "%d kB" reads it; -1 when there is none or it is too big.
int leading_figure(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size() || text[i] < '0' || text[i] > '9') return -1;
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) return -1;
  }
  return static_cast<int>(value);
}

const char* figure_text(std::array<char, FIGURE_SIZE>& slot, const char* key) {
  const int kb = meminfo_value(key);
  if (kb < 0) return nullptr;
  platform::format_text(slot, "%d", kb);
  return slot.data();
}

// The shell command "echo <text> > <path>" of a kernel setting.
int echo_into(FixedPath which, std::string_view text) {
  std::array<char, COMMAND_SIZE> command{};
  if (!platform::format_text(command, "echo %.*s > %s", static_cast<int>(text.size()), text.data(),
                             platform::fixed_path(which))) {
    return -1;
  }
  return platform_calls().shell(command.data());
}

bool decimal_digits(std::string_view text) {
  if (text.empty() || text.size() > MIN_FREE_DIGITS_MAX) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The common front of every action: a name, and a query answers 0 without acting.
// Returns true when the action should run; otherwise *result holds the answer.
bool should_run(int mode, const char* name, int* result) {
  if (!name_present(name)) {
    *result = -1;
    return false;
  }
  if (mode == ACTION_QUERY) {
    *result = 0;
    return false;
  }
  if (mode != ACTION_RUN) {
    *result = ACTION_BAD_MODE;
    return false;
  }
  return true;
}

}  // namespace

int meminfo_value(const char* key) {
  if (key == nullptr) return -1;
  File file = open_for_reading(FixedPath::PROC_MEMINFO);
  if (!file) return -1;
  const std::string_view wanted = key;
  std::array<char, LINE_SIZE> line{};
  while (std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr) {
    const std::string_view text = platform::slot_text(line);
    if (text.starts_with(wanted)) return leading_figure(text.substr(wanted.size()));
  }
  return -1;
}

const char* mem_free(const char* name) {
  static std::array<char, FIGURE_SIZE> slot;
  return name_present(name) ? figure_text(slot, "MemFree:") : nullptr;
}

const char* mem_total(const char* name) {
  static std::array<char, FIGURE_SIZE> slot;
  return name_present(name) ? figure_text(slot, "MemTotal:") : nullptr;
}

const char* mem_cached(const char* name) {
  static std::array<char, FIGURE_SIZE> slot;
  return name_present(name) ? figure_text(slot, "Cached:") : nullptr;
}

const char* min_free_get(const char* name) {
  static std::array<char, LINE_SIZE> slot;
  if (!name_present(name)) return nullptr;
  File file = open_for_reading(FixedPath::MIN_FREE_KBYTES);
  if (!file) return nullptr;
  slot.fill('\0');
  if (std::fgets(slot.data(), static_cast<int>(slot.size()), file.get()) == nullptr) {
    return nullptr;
  }
  const unsigned kb = static_cast<unsigned>(platform::decimal_prefix(platform::slot_text(slot)));
  platform::format_text(slot, "%u", kb);
  return slot.data();
}

int min_free_set(const char* name, const char* value) {
  if (!name_present(name)) return -1;
  if (value == nullptr || value[0] == '\0') return 0;
  // The value becomes part of a command run by the shell as root: digits only.
  if (!decimal_digits(value)) return -1;
  (void)echo_into(FixedPath::MIN_FREE_KBYTES, value);
  return 0;
}

int drop_caches(int mode, const char* name, ActionArgument /*argument*/) {
  int result = 0;
  if (!should_run(mode, name, &result)) return result;
  (void)echo_into(FixedPath::DROP_CACHES, "1");
  return 0;
}

int reboot_system(int mode, const char* name, ActionArgument /*argument*/) {
  int result = 0;
  if (!should_run(mode, name, &result)) return result;
  (void)platform_calls().restart();
  return 0;
}

int debug_instant(int mode, const char* name, ActionArgument argument) {
  int result = 0;
  if (!should_run(mode, name, &result)) return result;
  if (argument.option == nullptr) return 0;
  const std::string_view option = argument.option;
  const char* port = nullptr;
  if (option.starts_with("act=on")) {
    port = "setprop service.adb.tcp.port 5555";
  } else if (option.starts_with("act=off")) {
    port = "setprop service.adb.tcp.port -1";
  } else {
    return 0;
  }
  PlatformCalls& calls = platform_calls();
  (void)calls.shell(port);
  (void)calls.shell("stop adbd");
  (void)calls.shell("start adbd");
  return 0;
}

}  // namespace vorn::settings
