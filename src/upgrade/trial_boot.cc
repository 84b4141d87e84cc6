#include "upgrade/trial_boot.h"

#include <array>
#include <string_view>

#include "bootmap/boot_map.h"
#include "bootmap/boot_map_format.h"
#include "core/output.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"
#include "settings/boot_env.h"
#include "settings/boot_env_lock.h"
#include "upgrade/install.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;
using platform::slot_text;
using settings::BOOTENV_FAILED;
using settings::BOOTENV_OK;
using settings::BootEnvChange;
using MapText = std::array<char, bootmap::BOOTMAP_TEXT_SIZE>;
using NumberText = std::array<char, 24>;

// The trial's variables from one read of the block, read only under the lock. A value too
// long for its slot reads as absent: no map this system stores is that long.
struct TrialVars {
  int bootlimit = 0;  // 0 unless a positive number
  NumberText bootcount{};
  NumberText upgrade_available{};
  MapText bmap{};
  MapText bmap_prev{};

  explicit TrialVars(const settings::BootEnvLockGuard& lock) {
    if (!lock.held() || settings::bootenv_read() == nullptr) return;
    take(BOOTCOUNT_KEY, bootcount);
    take(UPGRADE_AVAILABLE_KEY, upgrade_available);
    take(BMAP_KEY, bmap);
    take(BMAP_PREV_KEY, bmap_prev);
    NumberText limit{};
    take(BOOTLIMIT_KEY, limit);
    bootlimit = platform::plain_decimal(slot_text(limit)).value_or(0);
  }

  [[nodiscard]] bool pending() const { return slot_text(upgrade_available) == "1"; }
  [[nodiscard]] bool has_prev() const { return bmap_prev[0] != '\0'; }

 private:
  static void take(const char* key, std::span<char> out) {
    const char* value = settings::bootenv_cached(key);
    if (value == nullptr || !platform::copy_text_whole(out, value)) out[0] = '\0';
  }
};

// Whether the running map (the kernel command line's) is the map stored as text; both are
// compared as this system formats them, so that spelling ("3%ext4" for "3") does not count.
bool running_map_is(const MapText& stored) {
  MapText running{};
  MapText canonical{};
  bootmap::BootMap map;
  return bootmap::bootmap_format("", running) == 0 && bootmap::bootmap_parse(stored.data(), map) &&
         bootmap::bootmap_format(map, "", canonical) == 0 && running[0] != '\0' &&
         slot_text(running) == slot_text(canonical);
}

}  // namespace

bool trial_pending() {
  const settings::BootEnvLockGuard lock;
  return TrialVars(lock).pending();
}

int trial_store_switch(const char* next_map) {
  if (next_map == nullptr) return BOOTENV_FAILED;
  const settings::BootEnvLockGuard lock;
  if (!lock.held()) return BOOTENV_FAILED;
  const TrialVars vars(lock);
  if (vars.bootlimit <= 0) return settings::bootenv_store(BMAP_KEY, next_map);
  MapText running{};
  if (bootmap::bootmap_format("", running) != 0) return BOOTENV_FAILED;
  const BootEnvChange changes[] = {{BMAP_KEY, next_map},
                                   {BMAP_PREV_KEY, running.data()},
                                   {UPGRADE_AVAILABLE_KEY, "1"},
                                   {BOOTCOUNT_KEY, "0"}};
  const int r = settings::bootenv_store_all(changes);
  if (r == BOOTENV_OK) {
    info_printf(
        "Upgrade On Trial(bootlimit=%d): 'vorn upgrade.commit' keeps it, else the boot "
        "loader falls back\n",
        vars.bootlimit);
  }
  return r;
}

int trial_install_check(const char* region, const char* device) {
  if (region == nullptr || device == nullptr) return 0;
  const settings::BootEnvLockGuard lock;
  const TrialVars vars(lock);
  if (!vars.pending() || !vars.has_prev()) return 0;
  bootmap::BootMap prev;
  std::array<char, bootmap::COPY_DEVICE_PATH_SIZE> fallback{};
  if (!bootmap::bootmap_parse(vars.bmap_prev.data(), prev) ||
      bootmap::bootmap_active_device(prev, region, fallback) != 0 ||
      slot_text(fallback) != device) {
    return 0;
  }
  info_printf(
      "[Error] Fallback Copy(%s)(%s): the pending upgrade falls back to it; commit or "
      "roll back first!\n",
      region, device);
  return INSTALL_FALLBACK_COPY;
}

int trial_commit() {
  const settings::BootEnvLockGuard lock;
  const TrialVars vars(lock);
  if (!vars.pending()) {
    info_printf("No Upgrade Pending\n");
    return TRIAL_NONE;
  }
  if (!running_map_is(vars.bmap)) {
    info_printf("[Error] Upgrade Not Committed: the running map is not 'bmap'(\"%s\")!\n",
                vars.bmap.data());
    return TRIAL_NOT_RUNNING;
  }
  const BootEnvChange changes[] = {
      {UPGRADE_AVAILABLE_KEY, "0"}, {BOOTCOUNT_KEY, "0"}, {BMAP_PREV_KEY, ""}};
  if (settings::bootenv_store_all(changes) != BOOTENV_OK) {
    info_printf("[Error] Upgrade Not Committed: boot env not stored!\n");
    return TRIAL_STORE_FAILED;
  }
  info_printf("Upgrade Committed\n");
  return 0;
}

int trial_rollback() {
  const settings::BootEnvLockGuard lock;
  const TrialVars vars(lock);
  if (!vars.pending() || !vars.has_prev()) {
    info_printf("[Error] No Upgrade To Roll Back!\n");
    return TRIAL_NOTHING_TO_ROLL_BACK;
  }
  const BootEnvChange changes[] = {{BMAP_KEY, vars.bmap_prev.data()},
                                   {UPGRADE_AVAILABLE_KEY, "0"},
                                   {BOOTCOUNT_KEY, "0"},
                                   {BMAP_PREV_KEY, ""}};
  if (settings::bootenv_store_all(changes) != BOOTENV_OK) {
    info_printf("[Error] Upgrade Not Rolled Back: boot env not stored!\n");
    return TRIAL_STORE_FAILED;
  }
  info_printf("Upgrade Rolled Back: 'bmap config' is \"%s\"\n", vars.bmap_prev.data());
  info_printf("[Caution] bmap conifig change is defered before reboot!\n");
  return 0;
}

int trial_status() {
  const settings::BootEnvLockGuard lock;
  const TrialVars vars(lock);
  std::array<char, 64> line{};
  if (vars.pending()) {
    platform::format_text(line, "pending bootcount=%s bootlimit=%d\n", vars.bootcount.data(),
                          vars.bootlimit);
  } else {
    platform::copy_text(line, vars.bootlimit <= 0 ? "off\n"
                              : vars.has_prev()   ? "fallback\n"
                                                  : "none\n");
  }
  core::result_print(slot_text(line));
  return vars.pending() ? TRIAL_PENDING : TRIAL_NONE;
}

}  // namespace vorn::upgrade
