#include "core/hardware_tag.h"

#include <array>

#include "platform/fixed_text.h"

namespace vorn::core {

namespace {

std::array<char, HARDWARE_TAG_SIZE> g_hardware_tag{};

}  // namespace

const char* hardware_tag() { return g_hardware_tag.data(); }
void hardware_tag_clear() { g_hardware_tag.fill('\0'); }

bool hardware_tag_set(std::string_view value) {
  if (!platform::copy_text_whole(g_hardware_tag, value)) {
    hardware_tag_clear();
    return false;
  }
  return true;
}

}  // namespace vorn::core
