#pragma once

#include <cstdarg>

namespace vorn::platform {

// Priorities of the Android log that the daemon uses.
inline constexpr int LOG_PRIORITY_INFO = 4;   // information
inline constexpr int LOG_PRIORITY_ERROR = 6;  // errors and notable events

// The daemon's log tag.
inline constexpr const char LOG_TAG[] = "vornd";

// Longest log line, with its NUL; longer lines are cut.
inline constexpr int LOG_LINE_SIZE = 2048;

// Formats one line and hands it to the Android log under LOG_TAG (or to the sink a test has
// installed). Never fails from the caller's point of view.
void log_print(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Receives every formatted line instead of the Android log. Called from any thread, so a sink
// must do its own locking. Null puts the Android log back.
using LogSink = void (*)(int priority, const char* text);
void set_log_sink(LogSink sink);

}  // namespace vorn::platform
