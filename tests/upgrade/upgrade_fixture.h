#pragma once

// Region copies on regular files of a temporary directory (copy n is the file <dir>/dp<n>),
// a /proc/mounts of our own (a copy "mounted" at a directory is read there, so that nothing is
// ever mounted), no boot environment (no trial pending), and images made by the image builder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bootmap/boot_map.h"
#include "support/path_override.h"
#include "support/temp_dir.h"

namespace vorn::upgrade::test {

class UpgradeTest : public testing::Test {
 protected:
  void SetUp() override {
    dev_ = dir_.file("d");
    ASSERT_LT(dev_.size() + 3, 32u) << "TMPDIR too long for device paths";
    set_map("boot:t@1%androidboot:t@2%androidboot,system:t@3:t@4,app:t@5", "t@1:t@3:t@5");
    dir_.write("mounts", "");
  }

  void set_map(const char* bmap, const char* seq) {
    ASSERT_TRUE(bootmap::bootmap_set_values(bmap, seq, ("t:" + dev_).c_str()));
  }

  std::string part(int n) const { return dev_ + "p" + std::to_string(n); }

  // Lists copy n as mounted at <dir>/m<n> (created); returns that directory.
  std::string fake_mount(int n) {
    const std::string at = dir_.file(std::string("m").append(std::to_string(n)));
    std::filesystem::create_directories(at);
    mounts_text_.append(part(n)).append(" ").append(at).append(" ext4 rw 0 0\n");
    dir_.write("mounts", mounts_text_);
    return at;
  }

  // Runs the image builder with the arguments (shell words); the image's path.
  std::string mkvif(const std::string& name, const std::string& args) {
    const std::string out = dir_.file(name);
    const std::string cmd = std::string("'") + MKVIF_PATH + "' " + args + " -q -o '" + out + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return out;
  }

  vorn::test::TempDir dir_;
  std::string dev_;
  std::string mounts_text_;
  vorn::test::ScopedPathOverride mounts_{platform::FixedPath::PROC_MOUNTS, dir_.file("mounts")};
  vorn::test::ScopedPathOverride private_{platform::FixedPath::PRIVATE_MOUNT, dir_.file("private")};
  vorn::test::ScopedPathOverride lock_{platform::FixedPath::MOUNT_LOCK, dir_.file("private.lock")};
  // The boot environment (the map stored for the next boot) and the trust store.
  vorn::test::ScopedPathOverride env_{platform::FixedPath::EMMC_DEVICE, dir_.file("mmcblk0")};
  vorn::test::ScopedPathOverride env_lock_{platform::FixedPath::LOCK_FILE, dir_.file("env.lock")};
  vorn::test::ScopedPathOverride config_{platform::FixedPath::FW_ENV_CONFIG, dir_.file("no-cfg")};
  vorn::test::ScopedPathOverride trust_{platform::FixedPath::TRUST_STORE, dir_.file("trust.pem")};
  vorn::test::ScopedPathOverride lists_{platform::FixedPath::REVOCATION_LIST, dir_.file("crl.pem")};
  vorn::test::ScopedPathOverride allow_{platform::FixedPath::ALLOW_DOWNGRADE,
                                        dir_.file("allow-downgrade")};
};

}  // namespace vorn::upgrade::test
