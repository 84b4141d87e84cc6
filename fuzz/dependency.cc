// Dependency strings and version texts: the five operators on two versions (which must agree
// with each other), a dependency against the hardware tag and the image installed in the
// recovery region (a scratch file holding a fuzzed header), and against an upgrade batch.
#include "upgrade/dependency.h"

#include "bootmap/boot_map.h"
#include "core/hardware_tag.h"
#include "fuzz_env.h"
#include "platform/fixed_text.h"

using namespace vorn;

// Input: the dependency string, the hardware tag, the installed and the required version, and
// the installed header, separated by NULs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) return 0;
  std::span<const uint8_t> rest(data, size);
  const std::string text = fuzz::take_text(rest), tag = fuzz::take_text(rest);
  const std::string left = fuzz::take_text(rest), right = fuzz::take_text(rest);
  int r[5];
  for (int i = 0; i < 5; ++i)
    r[i] = upgrade::version_compare(left.c_str(), right.c_str(), "<=>+-"[i]);
  // Exactly one of less, equal and greater holds; at least and at most follow from them.
  if (r[0] >= 0 ? r[0] + r[1] + r[2] != 1 || r[3] != (r[1] | r[2]) || r[4] != (r[0] | r[1])
                : r[1] != r[0] || r[2] != r[0] || r[3] != r[0] || r[4] != r[0]) {
    std::abort();
  }
  // Only the recovery region, read raw from a file whole 1024 bytes long: never a mount.
  const std::string disk = fuzz::scratch("d");
  image::HeaderHandle& header = fuzz::load_header(
      image::FORM_BINARY, {reinterpret_cast<const char*>(rest.data()), rest.size()}, 0, 1024);
  fuzz::seal(header);
  fuzz::write_file(disk + "p1", {header.data, image::HEADER_SIZE});
  (void)bootmap::bootmap_set_values("recovery:d@1", "d@1", ("d:" + disk).c_str());
  (void)core::hardware_tag_set(tag);
  // A string the tool cannot read is met on no device.
  const int checked = upgrade::dependency_check(text.c_str());
  if (upgrade::dependency_well_formed(text.c_str()) < 0 && checked > 0) std::abort();
  upgrade::upgrade_batch_clear();
  upgrade::UpgradeEntry& entry = upgrade::upgrade_batch()[0];
  platform::copy_text(entry.alias, std::string_view(text).substr(0, text.find(',')));
  platform::copy_text(entry.version, left);
  upgrade::DependencySlot slot{};
  platform::copy_text(slot.text, text);
  (void)upgrade::dependency_check_batch(&slot);
  return 0;
}
