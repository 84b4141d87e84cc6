#pragma once

// The images of one upgrade batch: each image's alias and version and the software
// dependencies that what is installed on the device did not meet. Filled by the batch check,
// read by the batch resolution of dependency_check_batch.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn::upgrade {

inline constexpr size_t DEPENDENCY_TEXT_SIZE = 64;  // a req_sw field: 63 characters and a NUL
inline constexpr size_t ENTRY_TEXT_SIZE = 16;       // alias, version: 15 characters and a NUL
inline constexpr size_t ENTRY_DEPS = 5;             // req_sw0 .. req_sw4
inline constexpr size_t BATCH_SIZE = 5;             // images one batch check looks at

// One unmet dependency recorded for batch resolution.
struct DependencySlot {
  std::array<char, DEPENDENCY_TEXT_SIZE> text;  // empty: a free slot
  uint32_t resolved;                            // 1: met by an image of the batch
};

// One image of the batch; an empty alias marks a free entry.
struct UpgradeEntry {
  std::array<char, ENTRY_TEXT_SIZE> alias;
  std::array<char, ENTRY_TEXT_SIZE> version;
  std::array<DependencySlot, ENTRY_DEPS> deps;  // filled from the first on
};

// The process-wide batch table (the daemon runs one command at a time). Never fails.
[[nodiscard]] std::span<UpgradeEntry, BATCH_SIZE> upgrade_batch();

// Empties every entry.
void upgrade_batch_clear();

}  // namespace vorn::upgrade
