#include "platform/log.h"

#include <android/log.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace vorn::platform {

namespace {

std::atomic<LogSink> g_sink{nullptr};

}  // namespace

void log_print(int priority, const char* fmt, ...) {
  // The caller may still want errno for its own message after logging.
  const int saved_errno = errno;
  char line[LOG_LINE_SIZE];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  if (n < 0) line[0] = '\0';
  if (LogSink sink = g_sink.load(std::memory_order_acquire)) {
    sink(priority, line);
  } else {
    __android_log_write(priority, LOG_TAG, line);
  }
  errno = saved_errno;
}

void set_log_sink(LogSink sink) { g_sink.store(sink, std::memory_order_release); }

}  // namespace vorn::platform
