// Drives the built image builder. What it wrote is read back by the library (every header check)
// and by independent readers: Python's zlib and hashlib for the contents values, e2fsprogs'
// debugfs for ext4 regions. (Compressed images are inflated by the install tests.)

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/integrity.h"
#include "image/test_header.h"
#include "support/temp_dir.h"

namespace vorn::image {
namespace {

using testing::HasSubstr;

using test::LoadedHeader;
using vorn::test::read_file;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

bool passes_every_check(HeaderHandle* h) {
  return header_check(h, VERIFY_NONE) != 0 && header_check(h, VERIFY_CHECKSUM) != 0 &&
         header_check(h, VERIFY_CRC32) != 0 && header_check(h, VERIFY_SHA1) != 0;
}

class Mkvif : public ::testing::Test {
 protected:
  ToolRun mkvif(const std::string& args) {
    const std::string out = dir_.file("stdout");
    const std::string err = dir_.file("stderr");
    const int raw = std::system(
        (std::string("'") + MKVIF_PATH + "' " + args + " >'" + out + "' 2>'" + err + "'").c_str());
    const std::vector<uint8_t> o = read_file(out);
    const std::vector<uint8_t> e = read_file(err);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, {o.begin(), o.end()}, {e.begin(), e.end()}};
  }

  std::string contents(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8));
    return dir_.write("contents.bin", bytes);
  }

  // The header of an image as text ("info-text"), both forms checked to pass every check.
  std::string info_text(const std::string& image) {
    const std::string text = mkvif("info-text '" + image + "'").out;
    EXPECT_TRUE(passes_every_check(LoadedHeader::binary(read_file(image), 2048).get()));
    EXPECT_TRUE(passes_every_check(LoadedHeader::text(text).get())) << text;
    return text;
  }

  // The contents entries of the text form, from Python's values of the file behind offset.
  std::string contents_entries(const std::string& image, size_t offset = 1024) {
    const std::vector<uint8_t> file = read_file(image);
    const std::string digests = test::python_digests(
        dir_.write("tail", std::vector<uint8_t>(file.begin() + offset, file.end())));
    std::string hex = digests.substr(18);
    for (char& c : hex) c = static_cast<char>(std::toupper(c));
    return ".$contents_checksum$=0x" + digests.substr(0, 8) + "\n.$contents_crc32$=0x" +
           digests.substr(9, 8) + "\n.$contents_sha1$=20," + hex + "\n";
  }

  vorn::test::TempDir dir_;
};

TEST_F(Mkvif, ImageCarriesEveryOptionInItsField) {
  const std::string out = dir_.file("boot.vif");
  const ToolRun run = mkvif(
      "image --alias boot --version 1.0.2 --req-hw '%hw%,zt4100.1.0,+' --req-sw0 "
      "'system,2.0.0,+' --req-sw4 app,1.0.0,- --timestamp 0x5F000000 --tag-setup 1 --contents '" +
      contents(250000) + "' -o '" + out + "' --info-text '" + dir_.file("info.txt") + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string text = info_text(out);
  const std::vector<uint8_t> written = read_file(dir_.file("info.txt"));
  EXPECT_EQ(text, std::string(written.begin(), written.end()));
  for (const char* line :
       {".$hdr_type$=0x000000a1\n.$hdr_version$=0x00000001\n.$hdr_cap$=0x00000000\n"
        ".$hdr_size$=0x00000400\n",
        ".$alias$=\"boot\"\n.$timestamp$=0x5f000000\n.$tag_setup$=0x00000001\n"
        ".$req_hw$=\"%hw%,zt4100.1.0,+\"\n.$req_sw0$=\"system,2.0.0,+\"\n.$req_sw1$=\"\"\n",
        ".$req_sw4$=\"app,1.0.0,-\"\n.$version$=\"1.0.2\"\n.$contents_off$=0x00000400\n"
        ".$contents_size$=0x0003d090\n.$contents_type$=0x000000c1\n"}) {
    EXPECT_THAT(text, HasSubstr(line));
  }
  EXPECT_THAT(text, HasSubstr(contents_entries(out)));
  EXPECT_EQ(read_file(out).size(), 1024u + 250000u);
  EXPECT_EQ(mkvif("info-text '" + dir_.file("info.txt") + "'").status, 1);  // not an image
}

TEST_F(Mkvif, RefusesValuesThatDoNotFitAndWritesNothing) {
  const std::string out = dir_.file("x.vif");
  const std::string base = " --version 1 --contents '" + contents(100) + "' -o '" + out + "'";
  const struct {
    std::string args;
    std::string message;  // on stderr
  } cases[] = {{"--alias bootbootbootboot1", "alias is 17 characters long; at most 15 fit"},
               {"--alias boot --req-sw2 " + std::string(56, 'r') + ",1.0.0,+", "at most 63"},
               {"--alias boot --req-sw2 system>=2.0", "'<region>,<version>,<op>'"},
               {"--alias boot --timestamp 4294967296", "not a number that fits 32 bits"},
               {"--alias 'bo\"ot'", "double quote"},
               {"--alias boot --req-hw 'x.$contents_off$=0x0'", "tag .$contents_off$="},
               {"--alias boot --set hdr_sha1=0011", "exactly 20 bytes"}};
  for (const auto& c : cases) {
    const ToolRun run = mkvif("image " + c.args + base);
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_THAT(run.err, HasSubstr(c.message));
    EXPECT_TRUE(read_file(out).empty()) << c.args;
  }
  EXPECT_THAT(mkvif("image --version 1 --contents x -o y").err, HasSubstr("--alias is required"));
  const ToolRun missing = mkvif("image --alias b --version 1 --contents /nonexistent -o " + out);
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("cannot open"));
}

TEST_F(Mkvif, Ext4RegionHoldsItsOwnTextHeader) {
  const std::string tree = dir_.path() + "/tree";
  ASSERT_EQ(
      std::system(("mkdir -p '" + tree + "/etc' && echo hi >'" + tree + "/etc/motd'").c_str()), 0);
  const std::string out = dir_.file("system.vif");
  const std::string fs_image = dir_.file("system.ext4");
  const std::string base = " --dir '" + tree + "' --alias system --version 2.0.1 -o '" + out + "'";
  const ToolRun run = mkvif("ext4 --size 8M --setup-script '" +
                            dir_.write("setup.sh", "#!/system/bin/sh\necho set up\n") +
                            "' --ext4-out '" + fs_image + "'" + base);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string text = info_text(out);
  EXPECT_THAT(text, HasSubstr(".$tag_setup$=0x00000001\n"));
  EXPECT_THAT(text, HasSubstr(".$contents_size$=0x00800000\n.$contents_type$=0x000000c2\n"));
  EXPECT_THAT(text, HasSubstr(contents_entries(out)));
  const std::vector<uint8_t> image = read_file(out);
  const std::vector<uint8_t> bare = read_file(fs_image);
  ASSERT_EQ(image.size(), 1024 + bare.size());
  EXPECT_TRUE(std::equal(bare.begin(), bare.end(), image.begin() + 1024));

  // Inside: the same header, without the contents values it cannot know; the setup script.
  const auto debugfs_cat = [&](const std::string& path) {
    return test::shell_output("PATH=\"$PATH:/usr/sbin:/sbin\" debugfs -R 'cat " + path + "' '" +
                              fs_image + "' 2>/dev/null");
  };
  EXPECT_EQ(debugfs_cat("/%vif-info%"), mkvif("info-text --no-contents-digests '" + out + "'").out);
  EXPECT_EQ(debugfs_cat("/%vif-setup%"), "#!/system/bin/sh\necho set up\n");
  EXPECT_EQ(debugfs_cat("/etc/motd"), "hi\n");

  for (const char* option : {"--compress --size 8M", "--size 8000", "--size 4G", "--size x"}) {
    EXPECT_EQ(mkvif(std::string("ext4 ") + option + base).status, 2) << option;
  }
  std::remove(out.c_str());
  dir_.write("tree/%vif-info%", "stale");
  const ToolRun stale = mkvif("ext4 --size 8M" + base);
  EXPECT_EQ(stale.status, 1);
  EXPECT_THAT(stale.err, HasSubstr("already holds %vif-info%"));
  EXPECT_TRUE(read_file(out).empty());
}

}  // namespace
}  // namespace vorn::image
