#include "upgrade/upgrade_driver.h"

#include <array>
#include <string_view>

#include "core/output.h"
#include "core/progress.h"
#include "platform/fixed_text.h"
#include "storage/image_locator.h"
#include "storage/url_source.h"
#include "upgrade/boot_map_update.h"
#include "upgrade/image_authenticity.h"
#include "upgrade/image_checks.h"
#include "upgrade/install.h"
#include "upgrade/installed_regions.h"
#include "upgrade/setup_stage.h"
#include "upgrade/trial_boot.h"
#include "upgrade/upgrade_batch.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;

constexpr size_t UPGRADED_LIST_SIZE = 128;
static_assert(UPGRADE_MAX_IMAGES == static_cast<int>(BATCH_SIZE), "the check sees every image");
static_assert(UPGRADE_MAX_IMAGES * ENTRY_TEXT_SIZE <= UPGRADED_LIST_SIZE,
              "the aliases of a batch always fit the upgraded list");

// The region two images of the checked batch are both meant for, or null.
const char* duplicate_region() {
  const auto batch = upgrade_batch();
  for (size_t i = 0; i < batch.size() && batch[i].alias[0] != '\0'; ++i) {
    for (size_t j = i + 1; j < batch.size() && batch[j].alias[0] != '\0'; ++j) {
      if (platform::slot_text(batch[i].alias) == platform::slot_text(batch[j].alias)) {
        return batch[i].alias.data();
      }
    }
  }
  return nullptr;
}

// With the trust store present: each image's signature (structure and chain) and the downgrade
// rule, before anything is written. 0, or the refusal r of image i as r - 200 x i.
int authenticity_stage(int count, const char* const* paths) {
  if (!signatures_required()) return 0;
  const auto batch = upgrade_batch();
  for (int i = 0; i < count; ++i) {
    const UpgradeEntry& entry = batch[static_cast<size_t>(i)];
    image::ImageSignature signature;
    core::progress_begin(core::Stage::CHECK, i + 1, count, entry.alias.data(), 0);
    const int r = authenticity_check(paths[i], entry.alias.data(), entry.version.data(), signature);
    (void)storage::locator_release(paths[i]);
    if (r != 0) {
      info_printf("Upgrade Fail(%s)(%d)\n", entry.alias.data(), r);
      return r - UPGRADE_IMAGE_STEP * i;
    }
  }
  return 0;
}

// 0 when the batch may go on to the install; otherwise the run's result.
int check_stage(int count, const char* const* paths, int stages, bool& done) {
  done = true;
  if (count > UPGRADE_MAX_IMAGES) {
    info_printf("\nUpgrade Fail(Too many images=%d)\n", count);
    return UPGRADE_FAILED;
  }
  const int r = check_upgrade_batch(count, paths);
  if (r < 0) {
    info_printf("\nUpgrade Fail(Dependencies check errors=%d)\n", r);
    // An image whose header could not be fetched fails with its download's code; the entries
    // before it are filled.
    const int download = storage::url_last_error();
    if (download == storage::URL_OK) return UPGRADE_FAILED;
    const auto batch = upgrade_batch();
    int i = 0;
    while (i < count - 1 && batch[static_cast<size_t>(i)].alias[0] != '\0') ++i;
    return download - UPGRADE_IMAGE_STEP * i;
  }
  if (const char* region = duplicate_region()) {
    info_printf("\nUpgrade Fail(Two images for region %s)\n", region);
    return UPGRADE_FAILED;
  }
  if (r > 0) {
    info_printf("\nUpgrade Warning(Dependencies exists=%d)\n", r);
    return UPGRADE_UNMET;
  }
  if (const int refused = authenticity_stage(count, paths); refused != 0) return refused;
  if (stages == STAGE_CHECK) {
    info_printf("\nUpgrade Checked(Dependency is none)\n");
    return UPGRADE_DONE;
  }
  done = false;
  return 0;
}

}  // namespace

int upgrade_run(int count, const char* const* paths, int stages) {
  if (stages == 0) stages = STAGE_ALL;
  // The copies the trial falls back to must stay as they proved themselves, and the map it
  // falls back to must be one that did.
  if (stages != STAGE_CHECK && trial_pending()) {
    info_printf(
        "\nUpgrade Fail(Upgrade pending: 'vorn upgrade.commit' or 'upgrade.rollback' "
        "first)\n");
    return UPGRADE_TRIAL_PENDING;
  }
  bool done = false;
  if (const int r = check_stage(count, paths, stages, done); done) return r;

  installed_regions_clear();
  const int dry = (stages & STAGE_INSTALL) == 0 ? 1 : 0;
  std::array<char, UPGRADED_LIST_SIZE> upgraded{};
  int handled = 0;
  for (int i = 0; i < count; ++i) {
    const char* path = paths[i];
    if (path == nullptr) continue;
    std::array<char, ENTRY_TEXT_SIZE> alias{};
    std::array<char, ENTRY_TEXT_SIZE + 2> target{};
    int r = check_image_alias(path, 0, alias);
    if (r == 0) {
      core::progress_begin(core::Stage::INSTALL, i + 1, count, alias.data(), 0);
      platform::format_text(target, "%s~1", alias.data());
      r = install_image(target.data(), path, 0, 0, dry);
      // Without an install in this run the copies must hold the images already: switching the
      // map to a copy that an install never reached, or left torn, would boot what it holds.
      if (dry != 0 && r >= 0) {
        if (const int held = installed_image_check(target.data(), path); held < 0) r = held;
      }
    } else {
      r = INSTALL_REFUSED;
    }
    if (r < 0) {
      info_printf("Upgrade Fail(%s)(%d)\n", alias.data(), 0);
      return r - UPGRADE_IMAGE_STEP * i;
    }
    platform::append_format(upgraded, "%s%s", handled == 0 ? "" : ",", alias.data());
    ++handled;
    if (r == INSTALL_WANTS_SETUP) (void)installed_regions_add(target.data());
    info_printf("Upgrade success(%s)\n", alias.data());
  }
  if (handled == 0) return UPGRADE_FAILED;
  if ((stages & STAGE_SETUP) == 0) return UPGRADE_DONE;

  core::progress_stage(core::Stage::SETUP, 0);
  if (const int r = setup_stage_run(nullptr); r < 0) {
    info_printf("\nUpgrade Fail(Setup errors=%d)\n", r);
    return UPGRADE_SETUP_FAILED;
  }
  if (const int r = bootmap_update(upgraded.data()); r < 0) {
    info_printf("\nUpgrade Fail(Boot map errors=%d)\n", r);
    return UPGRADE_FAILED;
  }
  return UPGRADE_DONE;
}

}  // namespace vorn::upgrade
