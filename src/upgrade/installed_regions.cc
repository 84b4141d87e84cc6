#include "upgrade/installed_regions.h"

#include <array>
#include <string_view>

#include "platform/fixed_text.h"

namespace vorn::upgrade {

namespace {

std::array<char, INSTALLED_REGIONS_SIZE> g_installed_regions{};

}  // namespace

void installed_regions_clear() { g_installed_regions.fill('\0'); }

int installed_regions_add(const char* region_id) {
  if (region_id == nullptr) return -1;
  const std::string_view list = platform::slot_text(g_installed_regions);
  const std::string_view id = region_id;
  const size_t needed = list.size() + (list.empty() ? 0 : 1) + id.size();
  if (needed >= g_installed_regions.size()) return -1;
  if (!list.empty()) platform::append_text(g_installed_regions, ",");
  platform::append_text(g_installed_regions, id);
  return 0;
}

const char* installed_regions() { return g_installed_regions.data(); }

}  // namespace vorn::upgrade
