#include "settings/boot_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace vorn::settings::test {
namespace {

using Entries = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

class BootEnvTest : public DeviceFixture {};

// A copy of a redundant environment: CRC-32 of the entries only, the flags byte, the entries.
Bytes redundant_copy(const Entries& entries, int flags, bool valid = true) {
  Bytes block(BLOCK_SIZE, 0);
  block[4] = static_cast<uint8_t>(flags);
  size_t at = 5;
  for (const std::string& e : entries)
    at += e.copy(reinterpret_cast<char*>(&block[at]), e.size()) + 1;
  const uint32_t crc = reference_crc32(block.data() + 5, BLOCK_SIZE - 5) ^ (valid ? 0 : 1);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(crc >> (8 * i));
  return block;
}

// Two copies, the second 8 KiB from the end of a 1 MiB device, as the configuration says.
class RedundantEnvTest : public DeviceFixture {
 protected:
  static constexpr size_t DEVICE_SIZE = 0x100000;
  static constexpr size_t SECOND = DEVICE_SIZE - BLOCK_SIZE;

  void write_copies(const Bytes& first, const Bytes& second) {
    Bytes image(DEVICE_SIZE, OUTSIDE_FILL);
    std::copy(first.begin(), first.end(), image.begin() + BLOCK_OFFSET);
    std::copy(second.begin(), second.end(), image.begin() + SECOND);
    dir_.write("mmcblk0", image);
  }
  static Bytes copy_at(const Bytes& image, size_t offset) {
    return {image.begin() + offset, image.begin() + offset + BLOCK_SIZE};
  }

  std::string config_ =
      dir_.write("fw_env.config", "# redundant\n" + device_path_ + " 0xC0000 0x2000\n" +
                                      device_path_ + "\t-0x2000\t2000\n");
  vorn::test::ScopedPathOverride config_path_{platform::FixedPath::FW_ENV_CONFIG, config_};
};

// The newer serial wins, 0 after 255; a copy with a bad CRC never does. A set goes to the other
// copy with the next serial and leaves the copy in effect as it was.
TEST_F(RedundantEnvTest, NewerValidCopyIsReadAndEachSetWritesTheOtherWithTheNextSerial) {
  // Serial and CRC validity of each copy, then the copy in effect (-1: none).
  constexpr int rows[][5] = {{1, 1, 2, 1, 1}, {2, 1, 1, 1, 0}, {255, 1, 0, 1, 1}, {0, 1, 255, 1, 0},
                             {7, 1, 7, 1, 0}, {9, 1, 3, 0, 0}, {3, 0, 9, 1, 1},   {1, 0, 2, 0, -1}};
  for (const auto& [flags0, valid0, flags1, valid1, in_effect] : rows) {
    write_copies(redundant_copy({"k=0"}, flags0, valid0), redundant_copy({"k=1"}, flags1, valid1));
    const Bytes before = device();
    const char* got = bootenv_get("k");
    if (in_effect < 0) {
      EXPECT_EQ(got, nullptr);
      EXPECT_EQ(bootenv_set("k", "2"), BOOTENV_FAILED);
      EXPECT_EQ(device(), before);
      continue;
    }
    EXPECT_STREQ(got, in_effect == 0 ? "0" : "1") << flags0 << "/" << flags1;
    ASSERT_EQ(bootenv_set("k", "2"), BOOTENV_OK);
    const Bytes after = device();
    EXPECT_EQ(copy_at(after, in_effect == 0 ? BLOCK_OFFSET : SECOND),
              copy_at(before, in_effect == 0 ? BLOCK_OFFSET : SECOND));
    EXPECT_EQ(copy_at(after, in_effect == 0 ? SECOND : BLOCK_OFFSET),
              redundant_copy({"k=2"}, (in_effect == 0 ? flags0 : flags1) + 1));
    EXPECT_STREQ(bootenv_get("k"), "2");
  }
}

TEST_F(BootEnvTest, SeveralKeysChangeInOneStoreOrNotAtAll) {
  write_entries({"a=1", "b=2"});
  const BootEnvChange changes[] = {{"b", "B"}, {"new", "n"}, {"a", ""}, {"c", "3"}};
  ASSERT_EQ(bootenv_set_all(changes), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"b=B", "new=n", "c=3"}));
  const Bytes before = device();
  const std::string huge(AREA_SIZE, 'v');
  const std::vector<BootEnvChange> nine(9, {"k", "v"});
  const std::vector<BootEnvChange> refused[] = {
      {}, {{"a", "1"}, {"a", "2"}}, {{"a", "1"}, {"x=y", "2"}}, {{"a", "1"}, {"b", huge}}, nine};
  for (const auto& r : refused) EXPECT_EQ(bootenv_set_all(r), BOOTENV_FAILED) << r.size();
  EXPECT_EQ(device(), before);
}

// A configuration the boot loader's tools would not read makes the environment unusable, said
// once per fault with the file and the line; a configuration of the default place reads it.
TEST_F(BootEnvTest, MalformedConfigurationMakesTheEnvironmentUnusable) {
  write_entries({"a=1"});
  const std::string config = dir_.file("fw_env.config");
  const vorn::test::ScopedPathOverride path(platform::FixedPath::FW_ENV_CONFIG, config);
  const Bytes before = device();
  for (const auto& [text, line] :
       {std::pair{"# c\n/d 0 0x2000 zz\n", 2}, std::pair{"/d 0 10\n/d 16 10\n/d 32 10\n", 3}}) {
    dir_.write("fw_env.config", text);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(bootenv_get("a"), nullptr);
    EXPECT_EQ(bootenv_set("a", "2"), BOOTENV_FAILED);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(said, ::testing::StartsWith(config + ":" + std::to_string(line) + ": "));
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
  }
  EXPECT_EQ(device(), before);
  dir_.write("fw_env.config", device_path_ + " 786432 0x2000\n");
  EXPECT_STREQ(bootenv_get("a"), "1");
}

TEST_F(BootEnvTest, GetMatchesTheKeyWithItsEqualsAndReadsTheDeviceEachTime) {
  write_entries({"bmap=boot:1,2|system:3", "ab=1", "x=a=b|c"});
  EXPECT_STREQ(bootenv_get("bmap"), "boot:1,2|system:3");
  EXPECT_STREQ(bootenv_get("x"), "a=b|c");
  EXPECT_STREQ(bootenv_get("ab"), "1");
  for (const char* key : {"a", "missing", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(bootenv_get(key), nullptr) << (key ? key : "null");
  }
  write_entries({"ab=2"});
  EXPECT_STREQ(bootenv_get("ab"), "2");
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvTest, SetReplacesInPlaceAppendsAndDeletesTouchingNothingOutsideTheBlock) {
  write_entries({"a=1", "b=2", "c=3"});
  const std::vector<uint8_t> before = device();
  ASSERT_EQ(bootenv_set("b", "twenty-two"), BOOTENV_OK);
  ASSERT_EQ(bootenv_set("d", "4"), BOOTENV_OK);
  ASSERT_EQ(bootenv_set("a", "x"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"a=x", "b=twenty-two", "c=3", "d=4"}));
  ASSERT_EQ(bootenv_set("b", ""), BOOTENV_OK);
  ASSERT_EQ(bootenv_set("a", nullptr), BOOTENV_OK);
  ASSERT_EQ(bootenv_set("zzz", nullptr), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"c=3", "d=4"}));
  const std::vector<uint8_t> after = device();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    if (i >= BLOCK_OFFSET && i < BLOCK_OFFSET + BLOCK_SIZE) continue;
    ASSERT_EQ(after[i], OUTSIDE_FILL) << "byte " << i;
  }
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvTest, DuplicatesGetTheFirstAndAreAllReplacedOrDeleted) {
  write_entries({"k=first", "m=1", "k=second"});
  EXPECT_STREQ(bootenv_get("k"), "first");
  ASSERT_EQ(bootenv_set("k", "new"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"k=new", "m=1", "k=new"}));
  ASSERT_EQ(bootenv_set("k", ""), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"m=1"}));
}

TEST_F(BootEnvTest, RefusedKeysAndValuesLeaveTheDeviceAlone) {
  write_entries({"a=1"});
  const std::string longest(62, 'k');
  ASSERT_EQ(bootenv_set(longest.c_str(), "v"), BOOTENV_OK);
  EXPECT_STREQ(bootenv_get(longest.c_str()), "v");
  const std::vector<uint8_t> before = device();
  const std::string too_long(63, 'k');
  const struct {
    std::string_view key, value;
  } refused[] = {{too_long, "v"},
                 {"a=b", "1"},
                 {"", "1"},
                 {std::string_view("a\0", 2), "1"},
                 {"a", std::string_view("x\0y", 3)}};
  for (const auto& r : refused) EXPECT_EQ(bootenv_set_value(r.key, r.value), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_set(nullptr, "1"), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_find(nullptr), nullptr);
  EXPECT_EQ(bootenv_get(too_long.c_str()), nullptr);
  EXPECT_EQ(device(), before);
  EXPECT_EQ(bootenv_set_value("a", "x=y|z"), BOOTENV_OK);
  EXPECT_STREQ(bootenv_get("a"), "x=y|z");
}

// A bad CRC, a device too short for the block, or no device: nothing to read, nothing written,
// and no device node is ever created.
TEST_F(BootEnvTest, InvalidOrMissingBlockGivesNothingAndIsNeverWritten) {
  std::vector<uint8_t> bad_crc = block_of({"a=1"});
  bad_crc[0] ^= 0x01;
  write_device(bad_crc);
  std::vector<uint8_t> short_device = device();
  short_device.resize(BLOCK_OFFSET + BLOCK_SIZE - 1);
  std::copy_n(block_of({"a=1"}).begin(), BLOCK_SIZE - 1, short_device.begin() + BLOCK_OFFSET);
  for (int round = 0; round < 3; ++round) {
    if (round == 1) dir_.write("mmcblk0", short_device);
    if (round == 2) ::unlink(device_path_.c_str());
    const std::vector<uint8_t> before = device();
    EXPECT_EQ(bootenv_get("a"), nullptr) << round;
    EXPECT_EQ(bootenv_set("a", "2"), BOOTENV_FAILED) << round;
    EXPECT_EQ(bootenv_set("b", nullptr), BOOTENV_FAILED) << round;
    EXPECT_EQ(device(), before) << round;
  }
  EXPECT_NE(::access(device_path_.c_str(), F_OK), 0);
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvTest, ResultMustFitTheAreaWithItsTerminator) {
  write_entries({});
  // "k=" + value + NUL + terminator: 8188 bytes at most.
  const std::string fits(AREA_SIZE - 4, 'v');
  ASSERT_EQ(bootenv_set("k", fits.c_str()), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"k=" + fits}));
  const std::vector<uint8_t> before = device();
  EXPECT_EQ(bootenv_set("k", (fits + "v").c_str()), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_set("j", "1"), BOOTENV_FAILED);
  EXPECT_EQ(device(), before);
  // Shrinking or deleting still works on a full block.
  ASSERT_EQ(bootenv_set("k", "short"), BOOTENV_OK);
  ASSERT_EQ(bootenv_set("j", "1"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"k=short", "j=1"}));
}

TEST_F(BootEnvTest, AreaWithoutTerminatorStopsGetAndSetAtItsEnd) {
  // Entries fill all 8188 bytes: the last NUL is the area's last byte, no empty entry follows.
  std::string text("a=1\0big=", 8);
  text.append(AREA_SIZE - 4 - 5, 'x').push_back('\0');
  const std::vector<uint8_t> area(text.begin(), text.end());
  ASSERT_EQ(area.size(), AREA_SIZE);
  write_device(block_from_area(area));
  const std::vector<uint8_t> before = device();
  EXPECT_STREQ(bootenv_get("a"), "1");
  EXPECT_EQ(bootenv_get("nothere"), nullptr);
  EXPECT_EQ(bootenv_set("new", "1"), BOOTENV_FAILED);  // no place for a new key
  EXPECT_EQ(device(), before);
  ASSERT_EQ(bootenv_set("big", "small"), BOOTENV_OK);  // room for the terminator again
  EXPECT_EQ(stored_entries(), (Entries{"a=1", "big=small"}));

  // A last entry without its NUL is read up to the end of the area.
  const std::string fragment = "f=" + std::string(AREA_SIZE - 2, 'y');
  write_device(block_from_area(std::vector<uint8_t>(fragment.begin(), fragment.end())));
  ASSERT_NE(bootenv_get("f"), nullptr);
  EXPECT_EQ(std::string(bootenv_get("f")).size(), AREA_SIZE - 2);
  EXPECT_EQ(bootenv_set("g", "1"), BOOTENV_FAILED);
  ASSERT_EQ(bootenv_set("f", nullptr), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), Entries{});
}

// A lock file that cannot be created fails the access at once.
TEST_F(BootEnvTest, LockThatCannotBeTakenFailsTheAccess) {
  write_entries({"a=1"});
  vorn::test::ScopedPathOverride no_lock(platform::FixedPath::LOCK_FILE,
                                         dir_.file("missing-dir/vorn-lock"));
  const std::vector<uint8_t> before = device();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(bootenv_get("a"), nullptr);
  EXPECT_EQ(bootenv_set("a", "2"), BOOTENV_FAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(device(), before);
}

}  // namespace
}  // namespace vorn::settings::test
