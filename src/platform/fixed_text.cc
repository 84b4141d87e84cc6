#include "platform/fixed_text.h"

#include <cstdio>
#include <cstring>

namespace vorn::platform {

namespace {

bool vformat_at(std::span<char> slot, size_t at, const char* fmt, va_list args) {
  if (slot.empty() || at >= slot.size()) return false;
  const int n = std::vsnprintf(slot.data() + at, slot.size() - at, fmt, args);
  if (n < 0) {
    slot[at] = '\0';
    return false;
  }
  return static_cast<size_t>(n) < slot.size() - at;
}

}  // namespace

bool copy_text(std::span<char> slot, std::string_view src) {
  if (slot.empty()) return src.empty();
  const size_t n = std::min(src.size(), slot.size() - 1);
  std::memcpy(slot.data(), src.data(), n);
  slot[n] = '\0';
  return n == src.size();
}

bool copy_text_whole(std::span<char> slot, std::string_view src) {
  if (src.size() >= slot.size()) return false;
  return copy_text(slot, src);
}

bool append_text(std::span<char> slot, std::string_view src) {
  const size_t used = slot_text(slot).size();
  if (used >= slot.size()) return src.empty();
  return copy_text(slot.subspan(used), src);
}

bool format_text(std::span<char> slot, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const bool whole = vformat_at(slot, 0, fmt, args);
  va_end(args);
  return whole;
}

bool append_format(std::span<char> slot, const char* fmt, ...) {
  const size_t used = slot_text(slot).size();
  va_list args;
  va_start(args, fmt);
  const bool whole = vformat_at(slot, used, fmt, args);
  va_end(args);
  return whole;
}

std::string_view slot_text(std::span<const char> slot) {
  const void* nul = std::memchr(slot.data(), '\0', slot.size());
  const size_t n =
      nul ? static_cast<size_t>(static_cast<const char*>(nul) - slot.data()) : slot.size();
  return {slot.data(), n};
}

}  // namespace vorn::platform
