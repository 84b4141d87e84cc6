#include "upgrade/setup_stage.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "core/output.h"
#include "platform/file_open.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/scope_guard.h"
#include "platform/shell.h"
#include "storage/image_locator.h"
#include "storage/mount_manager.h"
#include "storage/path_io.h"
#include "upgrade/installed_regions.h"

namespace vorn::upgrade {

namespace {

constexpr char SETUP_FILE[] = "%vif-setup%";

int run_script(std::string_view id) {
  std::array<char, storage::LOCATOR_TEXT_SIZE> text{};
  storage::ImageLocator locator;
  if (!platform::format_text(text, "bmap@%.*s,ext4@/%s", static_cast<int>(id.size()), id.data(),
                             SETUP_FILE) ||
      storage::locator_parse(text.data(), &locator) == nullptr) {
    return SETUP_FAILED;
  }
  if (locator.dev_path[0] == '\0') return SETUP_DONE;
  std::string dir;
  if (const storage::MountedVolume* v = storage::mounts_find_elsewhere(locator.dev_path.data())) {
    dir = v->mount_point;
  } else if (storage::mount_locator(&locator, storage::MountMode::READ_WRITE) == 0) {
    dir = platform::fixed_path(platform::FixedPath::PRIVATE_MOUNT);
  } else {
    core::info_printf("[Error] Mount Fail(%s)!\n", text.data());
    return SETUP_FAILED;
  }
  // Unmounts the copy again if it was mounted for the script.
  platform::ScopeGuard release([&text] { (void)storage::locator_release(text.data()); });
  const std::string script = dir + locator.fs_path.data();
  // sh opens the script by its path (its $0), so it is looked at first the way every file of a
  // copy is read: a link that leads out of the copy, or a FIFO that sh would wait on forever, is
  // never run. The copy is not changed underneath meanwhile: it was just installed, and is ours
  // for the stage or the system's where it is mounted. A missing script is left to sh to report.
  if (!platform::open_beneath(dir.c_str(), locator.fs_path.data()) && errno != ENOENT) {
    core::info_printf("[Error] Setup Script Refused(%.*s)(%s)!\n", static_cast<int>(id.size()),
                      id.data(), script.c_str());
    return SETUP_FAILED;
  }
  const char* const argv[] = {"sh", script.c_str(), nullptr};
  const int status = platform::program_run(argv, dir.c_str());
  core::info_printf("Setup Image Executed(%.*s)(cd %s;sh %s)(%d)\n", static_cast<int>(id.size()),
                    id.data(), dir.c_str(), script.c_str(), status);
  // What the script changed must be on the medium before the boot map may select the copy.
  // An unmount writes it back too, but reports no write-back error, and a copy mounted
  // elsewhere is not unmounted at all.
  if (storage::fs_sync(dir.c_str()) != 0) {
    core::info_printf("[Error] Sync Fail(%s)(%s)!\n", text.data(), std::strerror(errno));
    return SETUP_FAILED;
  }
  return SETUP_DONE;
}

}  // namespace

int setup_stage(const char* list) {
  if (list == nullptr) return SETUP_DONE;
  std::string_view rest = list;
  // An empty id between two commas is visited and fails; a trailing comma ends the walk.
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    if (run_script(rest.substr(0, comma)) != SETUP_DONE) return SETUP_FAILED;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return SETUP_DONE;
}

int setup_stage_run(const char* list) {
  return setup_stage(list != nullptr ? list : installed_regions());
}

}  // namespace vorn::upgrade
