#pragma once

#include <gtest/gtest.h>

#include <string>

#include "bootmap/boot_map.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::storage::test {

// A boot map whose copies live on a "device" that is a set of regular files in a temporary
// directory (copy n of device t is the file <dir>/dp<n>), and a /proc/mounts of our own.
class StorageTest : public testing::Test {
 protected:
  void SetUp() override {
    dev_ = dir_.file("d");
    ASSERT_LT(dev_.size() + 3, 32u) << "TMPDIR too long for device paths";
    const std::string devs = "t:" + dev_;
    ASSERT_TRUE(bootmap::bootmap_set_values(
        "boot:t@1%androidboot:t@2%androidboot,system:t@3:t@4,recovery:t@7%androidboot",
        "t@1:t@3:t@7", devs.c_str()));
    set_mounts("");
  }

  // Path of copy n's "partition".
  std::string part(int n) const { return dev_ + "p" + std::to_string(n); }

  void set_mounts(const std::string& text) { mounts_path_ = dir_.write("mounts", text); }

  vorn::test::TempDir dir_;
  std::string dev_;
  std::string mounts_path_ = dir_.file("mounts");
  vorn::test::ScopedPathOverride mounts_{platform::FixedPath::PROC_MOUNTS, dir_.file("mounts")};
  vorn::test::ScopedPathOverride private_{platform::FixedPath::PRIVATE_MOUNT, dir_.file("private")};
  vorn::test::ScopedPathOverride lock_{platform::FixedPath::MOUNT_LOCK, dir_.file("private.lock")};
};

}  // namespace vorn::storage::test
