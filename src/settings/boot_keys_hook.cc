#include "settings/boot_keys_hook.h"

#include <cstring>
#include <string_view>

#include "core/hardware_tag.h"

namespace vorn::settings {

void boot_keys_hook(char* token, void* /*context*/) {
  if (token == nullptr) return;
  const char* eq = std::strchr(token, '=');
  if (eq == nullptr || eq == token) return;
  if (std::string_view(token, static_cast<size_t>(eq - token)) != "vorn.hw") return;
  core::hardware_tag_set(eq + 1);
}

}  // namespace vorn::settings
