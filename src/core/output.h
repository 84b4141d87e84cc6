#pragma once

// The output rules every command follows: a process-wide verbosity, informational messages,
// storage diagnostics and result values. Not thread-safe by itself; the daemon runs commands
// one at a time under its command mutex.

#include <string_view>

namespace vorn::core {

inline constexpr int VERBOSITY_NORMAL = 2;
inline constexpr int VERBOSITY_QUIET = -99;

[[nodiscard]] int verbosity();
void set_verbosity(int level);

// Informational message: printed only when verbosity > 1.
void info_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Diagnostic of the storage layer: printed only when verbosity > 2.
void diag_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Warning about broken input that the command works around (a rejected kernel command-line
// key): printed to standard error only when verbosity > 1, so that it never mixes with the
// output a script reads; never appended to the reply.
void warn_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Result value of a quiet command: printed when verbosity >= -99 and appended to the reply.
void result_print(std::string_view text);

}  // namespace vorn::core
