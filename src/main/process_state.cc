#include "main/process_state.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/fixed_text.h"

namespace vorn {

namespace {

int g_verbosity = VERBOSITY_NORMAL;
std::span<char> g_reply;
std::array<char, HARDWARE_TAG_SIZE> g_hardware_tag{};
std::array<char, INSTALLED_REGIONS_SIZE> g_installed_regions{};

}  // namespace

int verbosity() { return g_verbosity; }
void set_verbosity(int level) { g_verbosity = level; }

void set_reply_buffer(std::span<char> buffer) { g_reply = buffer; }
bool has_reply_buffer() { return !g_reply.empty(); }

bool reply_append(std::string_view text) {
  if (g_reply.empty()) return true;
  return platform::append_text(g_reply, text);
}

const char* hardware_tag() { return g_hardware_tag.data(); }
void hardware_tag_clear() { g_hardware_tag.fill('\0'); }
bool hardware_tag_set(std::string_view value) {
  if (!platform::copy_text_whole(g_hardware_tag, value)) {
    hardware_tag_clear();
    return false;
  }
  return true;
}

void installed_regions_clear() { g_installed_regions.fill('\0'); }

int installed_regions_add(const char* region_id) {
  if (region_id == nullptr) return -1;
  const std::string_view list = platform::slot_text(g_installed_regions);
  const std::string_view id = region_id;
  const size_t needed = list.size() + (list.empty() ? 0 : 1) + id.size();
  if (needed >= g_installed_regions.size()) return -1;
  if (!list.empty()) platform::append_text(g_installed_regions, ",");
  platform::append_text(g_installed_regions, id);
  return 0;
}

const char* installed_regions() { return g_installed_regions.data(); }

void info_printf(const char* fmt, ...) {
  if (g_verbosity <= 1) return;
  va_list args;
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
}

void diag_printf(const char* fmt, ...) {
  if (g_verbosity <= 2) return;
  va_list args;
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
}

void result_print(std::string_view text) {
  if (g_verbosity >= VERBOSITY_QUIET) std::fwrite(text.data(), 1, text.size(), stdout);
  reply_append(text);
}

}  // namespace vorn
