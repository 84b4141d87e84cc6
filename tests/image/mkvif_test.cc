// Drives the built image builder and checks its images through the library that reads them.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/header_handle.h"
#include "image/inflate_stream.h"
#include "image/integrity.h"
#include "image/test_header.h"
#include "support/temp_dir.h"

namespace vorn::image {
namespace {

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
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const std::vector<uint8_t> o = vorn::test::read_file(out);
    const std::vector<uint8_t> e = vorn::test::read_file(err);
    run.out.assign(o.begin(), o.end());
    run.err.assign(e.begin(), e.end());
    return run;
  }

  std::string contents(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8));
    return dir_.write("contents.bin", bytes);
  }

  // The first 1024 bytes of an image file, as the reader would load them.
  struct Loaded {
    std::array<uint8_t, 2048> buffer{};
    HeaderHandle handle{};
  };
  static void load_binary(const std::string& path, Loaded& l) {
    ASSERT_NE(header_init(&l.handle, ("file@!," + path).c_str(), l.buffer.data(), 2048), nullptr);
    const std::vector<uint8_t> bytes = vorn::test::read_file(path);
    ASSERT_GE(bytes.size(), 1024u);
    std::memcpy(l.buffer.data(), bytes.data(), 1024);
  }
  static void load_text(const std::string& text, Loaded& l) {
    ASSERT_NE(header_init(&l.handle, "bmap@system", l.buffer.data(), 2048), nullptr);
    ASSERT_LT(text.size(), 2048u);
    std::memcpy(l.buffer.data(), text.data(), text.size());
    l.handle.form = FORM_TEXT;
    l.handle.data_len = static_cast<uint32_t>(text.size());
  }
  static std::string string_field(const HeaderHandle& h, const char* name) {
    char out[128] = {};
    return header_get_string(&h, name, out, sizeof(out)) ? out : "<none>";
  }
  static bool full_check(HeaderHandle& h) {
    return header_check(&h, VERIFY_NONE) != 0 && header_check(&h, VERIFY_CHECKSUM) != 0 &&
           header_check(&h, VERIFY_CRC32) != 0 && header_check(&h, VERIFY_SHA1) != 0;
  }
  // The contents values of the file match the header, as the image checks compare them.
  static void expect_contents_match(const std::string& path, const HeaderHandle& h) {
    uint32_t sum = 0;
    uint32_t crc = 0;
    uint8_t sha1[20] = {};
    EXPECT_EQ(contents_digest(path.c_str(), &sum, &crc, sha1, 1024),
              header_get_u32(&h, "contents_size"));
    EXPECT_EQ(sum, header_get_u32(&h, "contents_checksum"));
    EXPECT_EQ(crc, header_get_u32(&h, "contents_crc32"));
    uint8_t stored[20] = {};
    EXPECT_EQ(header_get_binary(&h, "contents_sha1", stored, 20), 20u);
    EXPECT_EQ(std::memcmp(sha1, stored, 20), 0);
  }

  vorn::test::TempDir dir_;
};

TEST_F(Mkvif, ImageCarriesEveryFieldAndPassesAllChecks) {
  const std::string in = contents(250000);
  const std::string out = dir_.file("boot.vif");
  const ToolRun run = mkvif(
      "image --alias boot --version 1.0.2 --req-hw '%hw%,zt4100.1.0,+' "
      "--req-sw0 'system,2.0.0,+' --req-sw4 'app,1.*.*,-' --timestamp 0x5F000000 "
      "--tag-setup 1 --contents '" +
      in + "' -o '" + out + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  Loaded l;
  load_binary(out, l);
  EXPECT_TRUE(full_check(l.handle));
  EXPECT_EQ(string_field(l.handle, "alias"), "boot");
  EXPECT_EQ(string_field(l.handle, "version"), "1.0.2");
  EXPECT_EQ(string_field(l.handle, "req_hw"), "%hw%,zt4100.1.0,+");
  EXPECT_EQ(string_field(l.handle, "req_sw0"), "system,2.0.0,+");
  EXPECT_EQ(string_field(l.handle, "req_sw3"), "");
  EXPECT_EQ(string_field(l.handle, "req_sw4"), "app,1.*.*,-");
  EXPECT_EQ(header_get_u32(&l.handle, "timestamp"), 0x5F000000u);
  EXPECT_EQ(header_get_u32(&l.handle, "tag_setup"), 1u);
  EXPECT_EQ(header_get_u32(&l.handle, "hdr_size"), 0x400u);
  EXPECT_EQ(header_get_u32(&l.handle, "hdr_cap"), 0u);
  EXPECT_EQ(header_get_u32(&l.handle, "contents_off"), 0x400u);
  EXPECT_EQ(header_get_u32(&l.handle, "contents_size"), 250000u);
  EXPECT_EQ(header_get_u32(&l.handle, "contents_type"), CONTENTS_ANDROIDBOOT);
  expect_contents_match(out, l.handle);
  EXPECT_EQ(vorn::test::read_file(out).size(), 1024u + 250000u);
}

TEST_F(Mkvif, CompressedContentsAreOneZlibStreamThatInflatesBack) {
  const std::string in = contents(200000);
  const std::string out = dir_.file("sys.vif");
  const ToolRun run = mkvif("image --alias system --version 2.0 --compress -q --contents '" + in +
                            "' -o '" + out + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  Loaded l;
  load_binary(out, l);
  EXPECT_TRUE(full_check(l.handle));
  EXPECT_EQ(header_get_u32(&l.handle, "hdr_cap"), HDR_CAP_COMPRESSED);
  EXPECT_EQ(header_get_u32(&l.handle, "contents_type"), CONTENTS_EXT4);
  expect_contents_match(out, l.handle);

  const std::vector<uint8_t> file = vorn::test::read_file(out);
  const std::vector<uint8_t> plain = vorn::test::read_file(in);
  ASSERT_EQ(file[1024], 0x78);  // zlib wrapper, not gzip
  z_stream stream;
  ASSERT_EQ(inflate_begin(&stream), Z_OK);
  std::vector<uint8_t> decoded(plain.size() + 10);
  uint32_t out_len = static_cast<uint32_t>(decoded.size());
  uint32_t in_len = static_cast<uint32_t>(file.size() - 1024);
  EXPECT_EQ(inflate_step(&stream, decoded.data(), &out_len, file.data() + 1024, &in_len), 0);
  EXPECT_EQ(inflate_finish(&stream), 0);
  EXPECT_EQ(in_len, file.size() - 1024);
  decoded.resize(out_len);
  EXPECT_EQ(decoded, plain);
}

TEST_F(Mkvif, RefusesValuesThatDoNotFitAndWritesNothing) {
  const std::string in = contents(100);
  const std::string out = dir_.file("x.vif");
  const std::string base = " --version 1 --contents '" + in + "' -o '" + out + "'";
  struct Case {
    std::string args;
    std::string message;  // on stderr; empty: accepted
    bool with_files = true;
  };
  const Case cases[] = {
      {"image --alias bootbootbootboot1 --version 1",
       "alias is 17 characters long; at most 15 fit"},
      {"image --alias boot --version 1.0.0-rc39-build7", "version is 17 characters long"},
      {"image --alias boot --req-sw2 " + std::string(56, 'r') + ",1.0.0,+", "at most 63"},
      {"image --alias boot --req-sw2 " + std::string(55, 'r') + ",1.0.0,+", ""},
      {"image --alias boot --req-sw2 system>=2.0", "'<region>,<version>,<op>'"},
      {"image --alias boot --timestamp 4294967296", "not a number that fits 32 bits"},
      {"image --alias boot --timestamp 0xFFFFFFFF", ""},
      {"image --alias boot --tag-setup -1", "not a number"},
      {"image --alias 'bo\"ot'", "double quote"},
      {"image --alias boot --req-hw 'x.$contents_off$=0x0'", "tag .$contents_off$="},
      {"image --alias boot --poke nosuch=1", "unknown header field 'nosuch'"},
      {"image --alias boot --poke hdr_crc32=12x", "not a number"},
      {"image --alias boot --set hdr_sha1=0011", "exactly 20 bytes"},
      {"image --alias boot --set alias=0x5", ""},
      {"image --alias boot --level 0", "--level takes 1 to 9"},
      {"image --alias boot --bogus", "unknown option '--bogus'"},
      {"image --alias boot", "--contents FILE is required", false},
      {"image --version 1 --contents x -o y", "--alias is required", false},
      {"image --alias boot --contents x -o y", "--version is required", false},
      {"image --alias", "--alias needs a value", false},
      {"frobnicate", "unknown command", false},
  };
  for (const Case& c : cases) {
    const ToolRun run = mkvif(c.args + (c.with_files ? base : ""));
    if (c.message.empty()) {
      EXPECT_EQ(run.status, 0) << c.args << ": " << run.err;
      std::remove(out.c_str());
      continue;
    }
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << ": " << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(vorn::test::read_file(out).empty()) << c.args;
  }
  const ToolRun missing = mkvif("image --alias boot --version 1 --contents '" + dir_.file("none") +
                                "' -o '" + out + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

TEST_F(Mkvif, OverridesAndPokesMakeTheBrokenImagesTestsNeed) {
  const std::string in = contents(3000);
  const std::string out = dir_.file("x.vif");
  const std::string base = " --alias boot --version 1 --contents '" + in + "' -o '" + out + "'";
  Loaded l;

  ASSERT_EQ(mkvif("image --poke hdr_crc32=0x1234" + base).status, 0);
  load_binary(out, l);
  EXPECT_NE(header_check(&l.handle, VERIFY_CHECKSUM), 0u);
  EXPECT_EQ(header_check(&l.handle, VERIFY_CRC32), 0u);
  EXPECT_NE(header_check(&l.handle, VERIFY_SHA1), 0u);

  // Changed before sealing: the header is consistent, only the value is odd.
  ASSERT_EQ(mkvif("image --contents-off 0x3FF --type package" + base).status, 0);
  load_binary(out, l);
  EXPECT_TRUE(full_check(l.handle));
  EXPECT_EQ(header_get_u32(&l.handle, "contents_off"), 0x3FFu);
  EXPECT_EQ(header_get_u32(&l.handle, "hdr_type"), HDR_TYPE_PACKAGE);
  expect_contents_match(out, l.handle);  // the contents still follow the header

  ASSERT_EQ(mkvif("image --hdr-version 2" + base).status, 0);
  load_binary(out, l);
  EXPECT_EQ(header_check(&l.handle, VERIFY_NONE), 0u);

  ASSERT_EQ(
      mkvif("image --contents-off 0x800 --set contents_size=5 --poke alias=system" + base).status,
      0);
  load_binary(out, l);
  EXPECT_EQ(string_field(l.handle, "alias"), "system");
  EXPECT_EQ(header_check(&l.handle, VERIFY_SHA1), 0u);
  EXPECT_EQ(header_get_u32(&l.handle, "contents_size"), 5u);
  uint32_t crc = 0;
  EXPECT_EQ(contents_digest(out.c_str(), nullptr, &crc, nullptr, 0x800), 3000u);
  EXPECT_EQ(crc, header_get_u32(&l.handle, "contents_crc32"));
}

TEST_F(Mkvif, InfoTextCarriesTheSameHeaderAsTheBinaryForm) {
  const std::string in = contents(5000);
  const std::string out = dir_.file("app.vif");
  const std::string text_file = dir_.file("info.txt");
  ASSERT_EQ(mkvif("image --alias app --version 3.1 --req-sw1 'boot,1.0.0,+' --contents '" + in +
                  "' -o '" + out + "' --info-text '" + text_file + "'")
                .status,
            0);
  const ToolRun run = mkvif("info-text '" + out + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<uint8_t> written = vorn::test::read_file(text_file);
  EXPECT_EQ(run.out, std::string(written.begin(), written.end()));
  EXPECT_NE(run.out.find(".$alias$=\"app\"\n"), std::string::npos);
  EXPECT_NE(run.out.find(".$magic$=8,4B45535452564946\n"), std::string::npos);

  Loaded bin;
  Loaded txt;
  load_binary(out, bin);
  load_text(run.out, txt);
  EXPECT_TRUE(full_check(txt.handle));
  for (const char* name : {"hdr_checksum", "hdr_crc32", "contents_crc32", "contents_size",
                           "timestamp", "contents_type"}) {
    EXPECT_EQ(header_get_u32(&txt.handle, name), header_get_u32(&bin.handle, name)) << name;
  }
  EXPECT_EQ(string_field(txt.handle, "req_sw1"), "boot,1.0.0,+");

  const ToolRun bare = mkvif("info-text --no-contents-digests '" + out + "'");
  EXPECT_EQ(bare.out.find("contents_crc32"), std::string::npos);
  EXPECT_NE(bare.out.find("contents_size"), std::string::npos);
  EXPECT_EQ(mkvif("info-text '" + in + "'").status, 1);  // not an image
}

TEST_F(Mkvif, HelpDescribesTheCommands) {
  const ToolRun run = mkvif("--help");
  EXPECT_EQ(run.status, 0);
  for (const char* word : {"mkvif image", "mkvif ext4", "mkvif info-text", "--poke"}) {
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(mkvif("").status, 2);
}

TEST_F(Mkvif, Ext4RegionHoldsItsOwnTextHeader) {
  if (std::system("command -v debugfs >/dev/null 2>&1 || test -x /usr/sbin/debugfs || "
                  "test -x /sbin/debugfs") != 0) {
    GTEST_SKIP() << "e2fsprogs is not installed";
  }
  const std::string tree = dir_.path() + "/tree";
  ASSERT_EQ(
      std::system(("mkdir -p '" + tree + "/etc' && echo hello >'" + tree + "/etc/motd'").c_str()),
      0);
  const std::string script = dir_.write("setup.sh", "#!/system/bin/sh\necho set up\n");
  const std::string out = dir_.file("system.vif");
  const std::string fs_image = dir_.file("system.ext4");
  const ToolRun run = mkvif("ext4 --dir '" + tree +
                            "' --size 8M --alias system --version 2.0.1 "
                            "--req-hw '%hw%,zt4100.1.*,+' --setup-script '" +
                            script + "' -o '" + out + "' --ext4-out '" + fs_image + "'");
  ASSERT_EQ(run.status, 0) << run.err;

  Loaded outer;
  load_binary(out, outer);
  EXPECT_TRUE(full_check(outer.handle));
  EXPECT_EQ(header_get_u32(&outer.handle, "contents_type"), CONTENTS_EXT4);
  EXPECT_EQ(header_get_u32(&outer.handle, "contents_size"), 8u << 20);
  EXPECT_EQ(header_get_u32(&outer.handle, "tag_setup"), 1u);
  expect_contents_match(out, outer.handle);
  const std::vector<uint8_t> image = vorn::test::read_file(out);
  const std::vector<uint8_t> bare = vorn::test::read_file(fs_image);
  ASSERT_EQ(image.size(), 1024 + bare.size());
  EXPECT_TRUE(std::equal(bare.begin(), bare.end(), image.begin() + 1024));

  const std::string debugfs = "PATH=\"$PATH:/usr/sbin:/sbin\" debugfs -R ";
  const std::string text =
      test::shell_output(debugfs + "'cat /%vif-info%' '" + fs_image + "' 2>/dev/null");
  Loaded inner;
  load_text(text, inner);
  EXPECT_TRUE(full_check(inner.handle)) << text;
  for (const char* name : {"hdr_checksum", "hdr_crc32", "contents_size", "tag_setup"}) {
    EXPECT_EQ(header_get_u32(&inner.handle, name), header_get_u32(&outer.handle, name)) << name;
  }
  uint8_t a[20];
  uint8_t b[20];
  ASSERT_EQ(header_get_binary(&inner.handle, "hdr_sha1", a, 20), 20u);
  ASSERT_EQ(header_get_binary(&outer.handle, "hdr_sha1", b, 20), 20u);
  EXPECT_EQ(std::memcmp(a, b, 20), 0);
  // A file system cannot carry its own digests: those entries are left out.
  EXPECT_EQ(text.find("contents_crc32"), std::string::npos);
  EXPECT_EQ(header_get_binary(&inner.handle, "contents_sha1", a, 20), 0u);

  const std::string setup =
      test::shell_output(debugfs + "'cat /%vif-setup%' '" + fs_image + "' 2>/dev/null");
  EXPECT_EQ(setup, "#!/system/bin/sh\necho set up\n");
  const std::string motd =
      test::shell_output(debugfs + "'cat /etc/motd' '" + fs_image + "' 2>/dev/null");
  EXPECT_EQ(motd, "hello\n");
}

TEST_F(Mkvif, Ext4RefusesCompressionAndBadSizes) {
  const std::string tree = dir_.path() + "/tree";
  ASSERT_EQ(std::system(("mkdir -p '" + tree + "'").c_str()), 0);
  const std::string out = dir_.file("x.vif");
  const std::string base = " --dir '" + tree + "' --alias app --version 1 -o '" + out + "'";
  ToolRun run = mkvif("ext4 --size 8M --compress" + base);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--compress"), std::string::npos);
  for (const char* size : {"8000", "4G", "x", ""}) {
    run = mkvif(std::string("ext4 --size '") + size + "'" + base);
    EXPECT_EQ(run.status, 2) << size;
    EXPECT_NE(run.err.find("--size"), std::string::npos) << size;
  }
  dir_.write("tree/%vif-info%", "stale");
  run = mkvif("ext4 --size 8M" + base);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("already holds %vif-info%"), std::string::npos) << run.err;
  EXPECT_TRUE(vorn::test::read_file(out).empty());
}

}  // namespace
}  // namespace vorn::image
