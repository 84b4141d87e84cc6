#include "core/output.h"

#include <cstdarg>
#include <cstdio>

#include "core/reply_buffer.h"

namespace vorn::core {

namespace {

int g_verbosity = VERBOSITY_NORMAL;

}  // namespace

int verbosity() { return g_verbosity; }
void set_verbosity(int level) { g_verbosity = level; }

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

void warn_printf(const char* fmt, ...) {
  if (g_verbosity <= 1) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
}

void result_print(std::string_view text) {
  if (g_verbosity >= VERBOSITY_QUIET) std::fwrite(text.data(), 1, text.size(), stdout);
  reply_append(text);
}

}  // namespace vorn::core
