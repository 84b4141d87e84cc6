// Drives the built image builder and checks its images through the library that reads them,
// with zlib and e2fsprogs (debugfs) as independent readers of what it wrote.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/header_handle.h"
#include "image/integrity.h"
#include "image/test_header.h"
#include "support/temp_dir.h"

namespace vorn::image {
namespace {

using test::LoadedHeader;
using vorn::test::read_file;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

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

  // The first 1024 bytes of an image file, as the reader loads them.
  static LoadedHeader header_of(const std::string& path) {
    return LoadedHeader::binary(read_file(path), 2048);
  }
  static std::string string_field(HeaderHandle* h, const char* name) {
    char out[128] = {};
    return header_get_string(h, name, out, sizeof(out)) ? out : "<none>";
  }
  static bool passes_every_check(HeaderHandle* h) {
    return header_check(h, VERIFY_NONE) != 0 && header_check(h, VERIFY_CHECKSUM) != 0 &&
           header_check(h, VERIFY_CRC32) != 0 && header_check(h, VERIFY_SHA1) != 0;
  }
  // The contents values of the file are the header's, as the image checks compare them.
  static void expect_contents_match(const std::string& path, HeaderHandle* h) {
    uint32_t sum = 0;
    uint32_t crc = 0;
    uint8_t sha1[20] = {};
    EXPECT_EQ(contents_digest(path.c_str(), &sum, &crc, sha1, 1024),
              header_get_u32(h, "contents_size"));
    EXPECT_EQ(sum, header_get_u32(h, "contents_checksum"));
    EXPECT_EQ(crc, header_get_u32(h, "contents_crc32"));
    uint8_t stored[20] = {};
    EXPECT_EQ(header_get_binary(h, "contents_sha1", stored, 20), 20u);
    EXPECT_EQ(std::memcmp(sha1, stored, 20), 0);
  }

  vorn::test::TempDir dir_;
};

TEST_F(Mkvif, ImageCarriesEveryFieldAndPassesEveryCheck) {
  const std::string in = contents(250000);
  const std::string out = dir_.file("boot.vif");
  const std::string text_file = dir_.file("info.txt");
  const ToolRun run = mkvif(
      "image --alias boot --version 1.0.2 --req-hw '%hw%,zt4100.1.0,+' --req-sw0 'system,2.0.0,+' "
      "--req-sw4 app,1.0.0,- --timestamp 0x5F000000 --tag-setup 1 --contents '" +
      in + "' -o '" + out + "' --info-text '" + text_file + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  LoadedHeader h = header_of(out);
  EXPECT_TRUE(passes_every_check(h.get()));
  const std::pair<const char*, const char*> strings[] = {{"alias", "boot"},
                                                         {"version", "1.0.2"},
                                                         {"req_hw", "%hw%,zt4100.1.0,+"},
                                                         {"req_sw0", "system,2.0.0,+"},
                                                         {"req_sw3", ""},
                                                         {"req_sw4", "app,1.0.0,-"}};
  for (const auto& [name, value] : strings) EXPECT_EQ(string_field(h.get(), name), value) << name;
  const std::pair<const char*, uint32_t> numbers[] = {{"timestamp", 0x5F000000},
                                                      {"tag_setup", 1},
                                                      {"hdr_size", 0x400},
                                                      {"hdr_cap", 0},
                                                      {"contents_off", 0x400},
                                                      {"contents_size", 250000},
                                                      {"contents_type", CONTENTS_ANDROIDBOOT}};
  for (const auto& [name, value] : numbers) EXPECT_EQ(header_get_u32(h.get(), name), value) << name;
  expect_contents_match(out, h.get());
  EXPECT_EQ(read_file(out).size(), 1024u + 250000u);

  // The text form carries the same header: written beside the image and by "info-text".
  const ToolRun info = mkvif("info-text '" + out + "'");
  const std::vector<uint8_t> written = read_file(text_file);
  EXPECT_EQ(info.out, std::string(written.begin(), written.end()));
  LoadedHeader text = LoadedHeader::text(info.out);
  EXPECT_TRUE(passes_every_check(text.get()));
  for (const char* name : {"hdr_crc32", "contents_crc32", "contents_size", "timestamp"}) {
    EXPECT_EQ(header_get_u32(text.get(), name), header_get_u32(h.get(), name)) << name;
  }
  EXPECT_EQ(string_field(text.get(), "req_sw0"), "system,2.0.0,+");
  const ToolRun bare = mkvif("info-text --no-contents-digests '" + out + "'");
  EXPECT_EQ(bare.out.find("contents_crc32"), std::string::npos);
  EXPECT_NE(bare.out.find("contents_size"), std::string::npos);
  EXPECT_EQ(mkvif("info-text '" + in + "'").status, 1);  // not an image
}

TEST_F(Mkvif, CompressedContentsAreOneZlibStream) {
  const std::string in = contents(200000);
  const std::string out = dir_.file("sys.vif");
  const ToolRun run = mkvif("image --alias system --version 2.0 --compress -q --contents '" + in +
                            "' -o '" + out + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  LoadedHeader h = header_of(out);
  EXPECT_TRUE(passes_every_check(h.get()));
  EXPECT_EQ(header_get_u32(h.get(), "hdr_cap"), HDR_CAP_COMPRESSED);
  EXPECT_EQ(header_get_u32(h.get(), "contents_type"), CONTENTS_EXT4);
  expect_contents_match(out, h.get());
  const std::vector<uint8_t> file = read_file(out);
  std::vector<uint8_t> plain = read_file(in);
  uLongf size = static_cast<uLongf>(plain.size());
  std::vector<uint8_t> decoded(plain.size());
  ASSERT_EQ(::uncompress(decoded.data(), &size, file.data() + 1024, file.size() - 1024), Z_OK);
  EXPECT_EQ(decoded, plain);
}

TEST_F(Mkvif, RefusesValuesThatDoNotFitAndWritesNothing) {
  const std::string out = dir_.file("x.vif");
  const std::string base = " --version 1 --contents '" + contents(100) + "' -o '" + out + "'";
  const struct {
    std::string args;
    std::string message;  // on stderr; empty: accepted
    bool with_files = true;
  } cases[] = {{"image --alias bootbootbootboot1", "alias is 17 characters long; at most 15 fit"},
               {"image --alias boot --version 1.0.0-rc39-build7", "version is 17 characters long"},
               {"image --alias boot --req-sw2 " + std::string(64, 'r'), "at most 63"},
               {"image --alias boot --timestamp 4294967296", "not a number that fits 32 bits"},
               {"image --alias boot --timestamp 0xFFFFFFFF", ""},
               {"image --alias boot --tag-setup -1", "not a number"},
               {"image --alias 'bo\"ot'", "double quote"},
               {"image --alias boot --req-hw 'x.$contents_off$=0x0'", "tag .$contents_off$="},
               {"image --alias boot --poke nosuch=1", "unknown header field 'nosuch'"},
               {"image --alias boot --poke hdr_crc32=12x", "not a number"},
               {"image --alias boot --set hdr_sha1=0011", "exactly 20 bytes"},
               {"image --alias boot --level 0", "--level takes 1 to 9"},
               {"image --alias boot --bogus", "unknown option '--bogus'"},
               {"image --alias boot", "--contents FILE is required", false},
               {"image --version 1 --contents x -o y", "--alias is required", false},
               {"image --alias", "--alias needs a value", false},
               {"frobnicate", "unknown command", false}};
  for (const auto& c : cases) {
    const ToolRun run = mkvif(c.args + (c.with_files ? base : ""));
    if (c.message.empty()) {
      EXPECT_EQ(run.status, 0) << c.args << ": " << run.err;
      std::remove(out.c_str());
      continue;
    }
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << ": " << run.err;
    EXPECT_TRUE(read_file(out).empty()) << c.args;
  }
  const ToolRun missing = mkvif("image --alias boot --version 1 --contents '" + dir_.file("none") +
                                "' -o '" + out + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

// The broken images other tests need: changed before sealing (consistent, only the value is
// odd) or poked after it (one check fails).
TEST_F(Mkvif, OverridesAndPokesMakeBrokenImages) {
  const std::string out = dir_.file("x.vif");
  const std::string base =
      " --alias boot --version 1 --contents '" + contents(3000) + "' -o '" + out + "'";
  ASSERT_EQ(mkvif("image --poke hdr_crc32=0x1234" + base).status, 0);
  LoadedHeader poked = header_of(out);
  EXPECT_NE(header_check(poked.get(), VERIFY_SHA1), 0u);
  EXPECT_EQ(header_check(poked.get(), VERIFY_CRC32), 0u);

  ASSERT_EQ(mkvif("image --contents-off 0x3FF --type package" + base).status, 0);
  LoadedHeader odd = header_of(out);
  EXPECT_TRUE(passes_every_check(odd.get()));
  EXPECT_EQ(header_get_u32(odd.get(), "contents_off"), 0x3FFu);
  EXPECT_EQ(header_get_u32(odd.get(), "hdr_type"), HDR_TYPE_PACKAGE);
  expect_contents_match(out, odd.get());  // the contents still follow the header

  ASSERT_EQ(mkvif("image --hdr-version 2" + base).status, 0);
  EXPECT_EQ(header_check(header_of(out).get(), VERIFY_NONE), 0u);

  ASSERT_EQ(
      mkvif("image --contents-off 0x800 --set contents_size=5 --poke alias=system" + base).status,
      0);
  LoadedHeader moved = header_of(out);
  EXPECT_EQ(string_field(moved.get(), "alias"), "system");
  EXPECT_EQ(header_check(moved.get(), VERIFY_SHA1), 0u);
  EXPECT_EQ(header_get_u32(moved.get(), "contents_size"), 5u);
  uint32_t crc = 0;
  EXPECT_EQ(contents_digest(out.c_str(), nullptr, &crc, nullptr, 0x800), 3000u);
  EXPECT_EQ(crc, header_get_u32(moved.get(), "contents_crc32"));
}

TEST_F(Mkvif, Ext4RegionHoldsItsOwnTextHeader) {
  const std::string tree = dir_.path() + "/tree";
  ASSERT_EQ(
      std::system(("mkdir -p '" + tree + "/etc' && echo hello >'" + tree + "/etc/motd'").c_str()),
      0);
  const std::string script = dir_.write("setup.sh", "#!/system/bin/sh\necho set up\n");
  const std::string out = dir_.file("system.vif");
  const std::string fs_image = dir_.file("system.ext4");
  const std::string base = " --dir '" + tree + "' --alias system --version 2.0.1 -o '" + out + "'";
  const ToolRun run = mkvif("ext4 --size 8M --req-hw '%hw%,zt4100.1.0,+' --setup-script '" +
                            script + "' --ext4-out '" + fs_image + "'" + base);
  ASSERT_EQ(run.status, 0) << run.err;
  LoadedHeader outer = header_of(out);
  EXPECT_TRUE(passes_every_check(outer.get()));
  EXPECT_EQ(header_get_u32(outer.get(), "contents_type"), CONTENTS_EXT4);
  EXPECT_EQ(header_get_u32(outer.get(), "contents_size"), 8u << 20);
  EXPECT_EQ(header_get_u32(outer.get(), "tag_setup"), 1u);
  expect_contents_match(out, outer.get());
  const std::vector<uint8_t> image = read_file(out);
  const std::vector<uint8_t> bare = read_file(fs_image);
  ASSERT_EQ(image.size(), 1024 + bare.size());
  EXPECT_TRUE(std::equal(bare.begin(), bare.end(), image.begin() + 1024));

  const auto debugfs_cat = [&](const std::string& path) {
    return test::shell_output("PATH=\"$PATH:/usr/sbin:/sbin\" debugfs -R 'cat " + path + "' '" +
                              fs_image + "' 2>/dev/null");
  };
  const std::string text = debugfs_cat("/%vif-info%");
  LoadedHeader inner = LoadedHeader::text(text);
  EXPECT_TRUE(passes_every_check(inner.get())) << text;
  for (const char* name : {"hdr_checksum", "hdr_crc32", "contents_size", "tag_setup"}) {
    EXPECT_EQ(header_get_u32(inner.get(), name), header_get_u32(outer.get(), name)) << name;
  }
  // A file system cannot carry its own digests: those entries are left out.
  EXPECT_EQ(text.find("contents_crc32"), std::string::npos);
  EXPECT_EQ(debugfs_cat("/%vif-setup%"), "#!/system/bin/sh\necho set up\n");
  EXPECT_EQ(debugfs_cat("/etc/motd"), "hello\n");

  ToolRun refused = mkvif("ext4 --size 8M --compress" + base);
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("--compress"), std::string::npos);
  for (const char* size : {"8000", "4G", "x", ""}) {
    refused = mkvif(std::string("ext4 --size '") + size + "'" + base);
    EXPECT_EQ(refused.status, 2) << size;
    EXPECT_NE(refused.err.find("--size"), std::string::npos) << size;
  }
  std::remove(out.c_str());
  dir_.write("tree/%vif-info%", "stale");
  refused = mkvif("ext4 --size 8M" + base);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("already holds %vif-info%"), std::string::npos) << refused.err;
  EXPECT_TRUE(read_file(out).empty());
}

}  // namespace
}  // namespace vorn::image
