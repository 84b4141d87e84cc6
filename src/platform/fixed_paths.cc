#include "platform/fixed_paths.h"

#include "platform/fixed_paths_table.h"

namespace vorn::platform {

namespace detail {
std::array<const char*, static_cast<int>(FixedPath::COUNT_)> g_paths = DEFAULT_PATHS;
}  // namespace detail

const char* fixed_path(FixedPath which) { return detail::g_paths[static_cast<int>(which)]; }

}  // namespace vorn::platform
