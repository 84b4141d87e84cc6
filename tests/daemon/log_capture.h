#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

// Collects the daemon's log lines for the life of the object (from any thread).
class LogCapture {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();

  [[nodiscard]] std::vector<std::string> lines() const;
  // Whether a line equal to text (newline included) was logged, with that priority.
  [[nodiscard]] bool has(std::string_view text, int priority) const;
  [[nodiscard]] bool has(std::string_view text) const;
  // Waits up to timeout_ms for such a line.
  [[nodiscard]] bool wait_for(std::string_view text, int timeout_ms) const;
};

}  // namespace vorn::test
