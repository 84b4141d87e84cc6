#include "settings/boot_env.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "device_fixture.h"

namespace vorn::settings::test {
namespace {

using Entries = std::vector<std::string>;

class BootEnvTest : public DeviceFixture {};

TEST(ReferenceCrc, AgreesWithTheKnownCheckValue) {
  const std::string text = "123456789";
  EXPECT_EQ(reference_crc32(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
            0xCBF43926u);
}

TEST_F(BootEnvTest, GetFindsValuesWholeAndMatchesKeysWithTheirEquals) {
  write_entries({"bmap=boot:1,2|system:3", "ab=1", "x=a=b|c"});
  EXPECT_STREQ(bootenv_get("bmap"), "boot:1,2|system:3");
  EXPECT_STREQ(bootenv_get("x"), "a=b|c");
  EXPECT_EQ(bootenv_get("a"), nullptr);
  EXPECT_STREQ(bootenv_get("ab"), "1");
  EXPECT_EQ(bootenv_get("missing"), nullptr);
  EXPECT_EQ(bootenv_get(nullptr), nullptr);
  EXPECT_EQ(bootenv_get(""), nullptr);
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvTest, EveryGetReadsTheDeviceAgain) {
  write_entries({"k=1"});
  EXPECT_STREQ(bootenv_get("k"), "1");
  write_entries({"k=2"});
  EXPECT_STREQ(bootenv_get("k"), "2");
}

TEST_F(BootEnvTest, SetReplacesInPlaceAndAppendsNewKeysWithAFreshCrc) {
  write_entries({"a=1", "b=2", "c=3"});
  const std::vector<uint8_t> before = device();
  ASSERT_EQ(bootenv_set("b", "twenty-two"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"a=1", "b=twenty-two", "c=3"}));
  ASSERT_EQ(bootenv_set("d", "4"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"a=1", "b=twenty-two", "c=3", "d=4"}));
  ASSERT_EQ(bootenv_set("a", "x"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"a=x", "b=twenty-two", "c=3", "d=4"}));
  // Nothing outside the block was written.
  const std::vector<uint8_t> after = device();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    if (i >= BLOCK_OFFSET && i < BLOCK_OFFSET + BLOCK_SIZE) continue;
    ASSERT_EQ(after[i], OUTSIDE_FILL) << "byte " << i;
  }
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvTest, WrittenCrcIsZlibsCrcOverTheWholeArea) {
  write_entries({});
  ASSERT_EQ(bootenv_set("k", "v"), BOOTENV_OK);
  const std::vector<uint8_t> b = block();
  const uint32_t zlib_crc = static_cast<uint32_t>(::crc32(0L, b.data() + 4, AREA_SIZE));
  EXPECT_EQ(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24, zlib_crc);
}

TEST_F(BootEnvTest, EmptyOrAbsentValueDeletes) {
  write_entries({"a=1", "b=2", "c=3"});
  ASSERT_EQ(bootenv_set("b", ""), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"a=1", "c=3"}));
  ASSERT_EQ(bootenv_set("a", nullptr), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"c=3"}));
  EXPECT_EQ(bootenv_get("a"), nullptr);
}

TEST_F(BootEnvTest, DeletingAnAbsentKeyRewritesTheSameBlock) {
  write_entries({"a=1", "b=2"});
  const std::vector<uint8_t> before = block();
  ASSERT_EQ(bootenv_set("zzz", nullptr), BOOTENV_OK);
  EXPECT_EQ(block(), before);
}

TEST_F(BootEnvTest, DuplicatesGetFirstAndAreAllReplacedOrDeleted) {
  write_entries({"k=first", "m=1", "k=second"});
  EXPECT_STREQ(bootenv_get("k"), "first");
  ASSERT_EQ(bootenv_set("k", "new"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"k=new", "m=1", "k=new"}));
  ASSERT_EQ(bootenv_set("k", ""), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"m=1"}));
}

TEST_F(BootEnvTest, InvalidCrcGivesNothingAndSetLeavesTheDeviceAlone) {
  std::vector<uint8_t> b = block_of({"a=1"});
  b[0] ^= 0x01;
  write_device(b);
  const std::vector<uint8_t> before = device();
  EXPECT_EQ(bootenv_get("a"), nullptr);
  EXPECT_EQ(bootenv_set("a", "2"), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_set("b", nullptr), BOOTENV_FAILED);
  EXPECT_EQ(device(), before);
  EXPECT_EQ(bootenv_read(), nullptr);
}

TEST_F(BootEnvTest, ShortDeviceIsInvalid) {
  const std::vector<uint8_t> b = block_of({"a=1"});
  std::vector<uint8_t> image(BLOCK_OFFSET + BLOCK_SIZE - 1, 0);
  std::copy(b.begin(), b.end() - 1, image.begin() + BLOCK_OFFSET);
  dir_.write("mmcblk0", image);
  EXPECT_EQ(bootenv_get("a"), nullptr);
  EXPECT_EQ(bootenv_set("a", "2"), BOOTENV_FAILED);
  EXPECT_EQ(device(), image);
}

TEST_F(BootEnvTest, MissingDeviceIsNeverCreated) {
  EXPECT_EQ(bootenv_get("a"), nullptr);
  EXPECT_EQ(bootenv_set("a", "1"), BOOTENV_FAILED);
  EXPECT_NE(::access(device_path_.c_str(), F_OK), 0);
  EXPECT_FALSE(lock_file_exists());
}

TEST_F(BootEnvTest, AbsentKeyFailsWithoutTakingTheLock) {
  write_entries({"a=1"});
  EXPECT_EQ(bootenv_set(nullptr, "1"), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_get(nullptr), nullptr);
  EXPECT_EQ(bootenv_find(nullptr), nullptr);
  EXPECT_EQ(bootenv_store("", "1"), BOOTENV_FAILED);
}

TEST_F(BootEnvTest, KeysUpToSixtyTwoCharacters) {
  write_entries({"a=1"});
  const std::string longest(62, 'k');
  const std::string too_long(63, 'k');
  ASSERT_EQ(bootenv_set(longest.c_str(), "v"), BOOTENV_OK);
  EXPECT_STREQ(bootenv_get(longest.c_str()), "v");
  const std::vector<uint8_t> before = device();
  EXPECT_EQ(bootenv_set(too_long.c_str(), "v"), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_get(too_long.c_str()), nullptr);
  EXPECT_EQ(device(), before);
}

TEST_F(BootEnvTest, KeyWithEqualsAndValueWithNulAreRefused) {
  write_entries({"a=1"});
  const std::vector<uint8_t> before = device();
  EXPECT_EQ(bootenv_set("a=b", "1"), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_set_value("a", std::string_view("x\0y", 3)), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_set_value(std::string_view("a\0", 2), "1"), BOOTENV_FAILED);
  EXPECT_EQ(device(), before);
  EXPECT_EQ(bootenv_set_value("a", "x=y|z"), BOOTENV_OK);
  EXPECT_STREQ(bootenv_get("a"), "x=y|z");
}

TEST_F(BootEnvTest, ResultMustFitTheAreaWithItsTerminator) {
  write_entries({});
  // "k=" + value + NUL + terminator: 8188 bytes at most.
  const std::string fits(AREA_SIZE - 4, 'v');
  const std::string one_more(AREA_SIZE - 3, 'v');
  ASSERT_EQ(bootenv_set("k", fits.c_str()), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"k=" + fits}));
  const std::vector<uint8_t> before = device();
  EXPECT_EQ(bootenv_set("k", one_more.c_str()), BOOTENV_FAILED);
  EXPECT_EQ(bootenv_set("j", "1"), BOOTENV_FAILED);
  EXPECT_EQ(device(), before);
  // Shrinking or deleting still works on a full block.
  ASSERT_EQ(bootenv_set("k", "short"), BOOTENV_OK);
  ASSERT_EQ(bootenv_set("j", "1"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"k=short", "j=1"}));
}

TEST_F(BootEnvTest, AreaWithoutTerminatorStopsGetAndSetAtItsEnd) {
  // Entries fill all 8188 bytes: the last NUL is the area's last byte, no empty entry follows.
  std::vector<uint8_t> area;
  const std::string first = "a=1";
  area.insert(area.end(), first.begin(), first.end());
  area.push_back(0);
  const std::string big = "big=" + std::string(AREA_SIZE - area.size() - 5, 'x');
  area.insert(area.end(), big.begin(), big.end());
  area.push_back(0);
  ASSERT_EQ(area.size(), AREA_SIZE);
  write_device(block_from_area(area));
  const std::vector<uint8_t> before = device();

  EXPECT_STREQ(bootenv_get("a"), "1");
  EXPECT_EQ(bootenv_get("nothere"), nullptr);
  // A new key has no place: refused, nothing written.
  EXPECT_EQ(bootenv_set("new", "1"), BOOTENV_FAILED);
  EXPECT_EQ(device(), before);
  // Shrinking an entry makes room for the terminator again.
  ASSERT_EQ(bootenv_set("big", "small"), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), (Entries{"a=1", "big=small"}));
}

TEST_F(BootEnvTest, LastEntryWithoutNulIsReadUpToTheAreaEnd) {
  const std::string fragment = "f=" + std::string(AREA_SIZE - 2, 'y');
  write_device(block_from_area(std::vector<uint8_t>(fragment.begin(), fragment.end())));
  const char* value = bootenv_get("f");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value).size(), AREA_SIZE - 2);
  EXPECT_EQ(bootenv_set("g", "1"), BOOTENV_FAILED);
  ASSERT_EQ(bootenv_set("f", nullptr), BOOTENV_OK);
  EXPECT_EQ(stored_entries(), Entries{});
}

TEST_F(BootEnvTest, LockThatCannotBeTakenFailsTheAccess) {
  write_entries({"a=1"});
  vorn::test::ScopedPathOverride no_lock(platform::FixedPath::LOCK_FILE,
                                         dir_.file("missing-dir/vorn-lock"));
  const std::vector<uint8_t> before = device();
  EXPECT_EQ(bootenv_get("a"), nullptr);
  EXPECT_EQ(bootenv_set("a", "2"), BOOTENV_FAILED);
  EXPECT_EQ(device(), before);
}

}  // namespace
}  // namespace vorn::settings::test
