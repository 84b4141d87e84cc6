#include "platform/log.h"

#include <android/log.h>
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

namespace vorn::platform {

namespace {

std::atomic<LogSink> g_sink{nullptr};

using LogWrite = decltype(&__android_log_write);

// Android's liblog is loaded on the first log line rather than at every process start: only
// the daemon logs, and the tool's start-up (one process per command) would otherwise pay for
// loading it and the C++ runtime it pulls in.
LogWrite android_log_write() {
  static std::once_flag once;
  static LogWrite write = nullptr;
  std::call_once(once, [] {
    for (const char* name : {"liblog.so.0", VORN_LIBLOG_PATH}) {
      if (void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
        write = reinterpret_cast<LogWrite>(::dlsym(handle, "__android_log_write"));
        if (write != nullptr) return;
      }
    }
  });
  return write;
}

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
  } else if (LogWrite write = android_log_write()) {
    write(priority, LOG_TAG, line);
  } else {
    std::fprintf(stderr, "%s: %s", LOG_TAG, line);
  }
  errno = saved_errno;
}

void set_log_sink(LogSink sink) { g_sink.store(sink, std::memory_order_release); }

}  // namespace vorn::platform
