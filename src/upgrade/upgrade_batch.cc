#include "upgrade/upgrade_batch.h"

namespace vorn::upgrade {

namespace {
std::array<UpgradeEntry, BATCH_SIZE> g_batch{};
}  // namespace

std::span<UpgradeEntry, BATCH_SIZE> upgrade_batch() { return g_batch; }

void upgrade_batch_clear() { g_batch = {}; }

}  // namespace vorn::upgrade
