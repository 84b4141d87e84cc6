#include "daemon/log_capture.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/log.h"

namespace vorn::test {

namespace {

std::mutex g_mutex;
std::vector<std::pair<int, std::string>> g_lines;

void capture(int priority, const char* text) {
  std::lock_guard lock(g_mutex);
  g_lines.emplace_back(priority, text);
}

}  // namespace

LogCapture::LogCapture() {
  {
    std::lock_guard lock(g_mutex);
    g_lines.clear();
  }
  platform::set_log_sink(capture);
}

LogCapture::~LogCapture() { platform::set_log_sink(nullptr); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(g_mutex);
  std::vector<std::string> out;
  for (const auto& [priority, text] : g_lines) out.push_back(text);
  return out;
}

bool LogCapture::has(std::string_view text, int priority) const {
  std::lock_guard lock(g_mutex);
  for (const auto& [p, t] : g_lines) {
    if (p == priority && t == text) return true;
  }
  return false;
}

bool LogCapture::has(std::string_view text) const {
  std::lock_guard lock(g_mutex);
  for (const auto& [p, t] : g_lines) {
    if (t == text) return true;
  }
  return false;
}

bool LogCapture::wait_for(std::string_view text, int timeout_ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!has(text)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vorn::test
