#pragma once

#include <span>

namespace vorn::cli {

inline constexpr int DISPATCH_UNKNOWN = -2;  // missing or unknown command word

// Runs one command line (argv[0] the program name, argv[1] the command word; words at or past
// argc count as absent). A non-empty reply buffer makes the run quiet and collects the result
// text there (the daemon). Returns the command's result, DISPATCH_UNKNOWN for a missing or
// unknown command word.
[[nodiscard]] int dispatch(int argc, char** argv, std::span<char> reply);

// Word i of the command line, or null when absent.
[[nodiscard]] inline const char* arg(int argc, char** argv, int i) {
  return (argv != nullptr && i >= 0 && i < argc) ? argv[i] : nullptr;
}

}  // namespace vorn::cli
