#pragma once

// How an update fetched from a server waits: properties a device maker sets, so that a slow
// network gets more patience and a test gets less.

#include "storage/url_source.h"

namespace vorn::settings {

inline constexpr const char* UPDATE_STALL_PROPERTY = "sys.update.stall_seconds";
inline constexpr const char* UPDATE_RETRIES_PROPERTY = "sys.update.retries";

// The limits from the two properties; a value that is unset, not a plain number or out of
// range (stall 1 to 3600 seconds, 0 to 100 resumes) gives that limit's default. Never fails.
[[nodiscard]] storage::UrlLimits update_url_limits();

}  // namespace vorn::settings
