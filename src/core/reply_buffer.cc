#include "core/reply_buffer.h"

#include "platform/fixed_text.h"

namespace vorn::core {

namespace {

std::span<char> g_reply;

}  // namespace

void set_reply_buffer(std::span<char> buffer) { g_reply = buffer; }

bool reply_append(std::string_view text) {
  if (g_reply.empty()) return true;
  return platform::append_text(g_reply, text);
}

}  // namespace vorn::core
