// The /proc/mounts reader: a fuzzed mount table, looked up by directory and by device.

#include "core/output.h"
#include "fuzz_env.h"
#include "platform/fixed_paths.h"
#include "storage/mount_manager.h"

using namespace vorn;

// Input: the name to look up, a NUL, the mount table.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  std::span<const uint8_t> rest(data, size);
  const std::string name = fuzz::take_text(rest);
  fuzz::write_file(platform::fixed_path(platform::FixedPath::PROC_MOUNTS), rest);
  core::set_verbosity(3);  // lines that are no mount are reported too
  if (storage::mounts_scan() != 0) std::abort();
  const storage::MountedVolume* by_dir = storage::mounts_find_by_dir(name.c_str());
  if (by_dir != nullptr && by_dir->mount_point != name) std::abort();
  const storage::MountedVolume* by_device = storage::mounts_find_by_device(name.c_str());
  if (by_device != nullptr && by_device->device != name) std::abort();
  return 0;
}
