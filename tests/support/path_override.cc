#include "support/path_override.h"

#include "platform/fixed_paths_table.h"

namespace vorn::test {

ScopedPathOverride::ScopedPathOverride(platform::FixedPath which, std::string path)
    : which_(which), previous_(platform::fixed_path(which)), path_(std::move(path)) {
  platform::detail::g_paths[static_cast<int>(which_)] = path_.c_str();
}

ScopedPathOverride::~ScopedPathOverride() {
  platform::detail::g_paths[static_cast<int>(which_)] = previous_;
}

}  // namespace vorn::test
