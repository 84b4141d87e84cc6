#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/log.h"

namespace vorn::test {

// Collects the daemon's log lines (from any thread) for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    platform::set_log_sink([](int priority, const char* text) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(priority, text);
    });
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() { platform::set_log_sink(nullptr); }

  [[nodiscard]] std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_) out.push_back(line.second);
    return out;
  }
  // Whether a line equal to text (newline included) was logged, with that priority if given.
  [[nodiscard]] bool has(std::string_view text, int priority = 0) const {
    std::lock_guard lock(mutex_);
    for (const auto& [p, t] : lines_) {
      if (t == text && (priority == 0 || p == priority)) return true;
    }
    return false;
  }

 private:
  static inline std::mutex mutex_;
  static inline std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace vorn::test
