#include "settings/update_limits.h"

#include <optional>

#include "platform/number_text.h"
#include "settings/property_table.h"

namespace vorn::settings {

namespace {

constexpr int STALL_SECONDS_MAX = 3600;
constexpr int RETRIES_MAX = 100;

int property_number(const char* name, int low, int high, int fallback) {
  const char* text = property_get(name);
  const std::optional<int> value = platform::plain_decimal(text != nullptr ? text : "");
  return value && *value >= low && *value <= high ? *value : fallback;
}

}  // namespace

storage::UrlLimits update_url_limits() {
  const storage::UrlLimits defaults;
  return {.stall_seconds =
              property_number(UPDATE_STALL_PROPERTY, 1, STALL_SECONDS_MAX, defaults.stall_seconds),
          .retries = property_number(UPDATE_RETRIES_PROPERTY, 0, RETRIES_MAX, defaults.retries)};
}

}  // namespace vorn::settings
