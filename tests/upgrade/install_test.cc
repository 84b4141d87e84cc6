#include "upgrade/install.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/scope_guard.h"
#include "settings/device_fixture.h"
#include "support/test_pki.h"
#include "upgrade/image_sink.h"
#include "upgrade_fixture.h"

namespace vorn::upgrade {
namespace {

using testing::HasSubstr;

using vorn::test::read_file;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + seed) ^ (i >> 9));
  return v;
}

std::vector<uint8_t> deflated(const std::vector<uint8_t>& data) {
  uLongf size = compressBound(data.size());
  std::vector<uint8_t> out(size);
  EXPECT_EQ(compress2(out.data(), &size, data.data(), data.size(), 6), Z_OK);
  out.resize(size);
  return out;
}

class InstallTest : public test::UpgradeTest {
 protected:
  void SetUp() override {
    UpgradeTest::SetUp();
    for (int n : {1, 2, 3, 4}) dir_.write("dp" + std::to_string(n), FILLER);
  }

  // An image of the contents for the region; extra mkvif words may follow.
  std::string image(const char* alias, const std::vector<uint8_t>& contents,
                    const std::string& extra = "") {
    const std::string name = std::string(alias) + std::to_string(images_++);
    const std::string file = dir_.write(name + ".bin", contents);
    return "file@!," +
           mkvif(name + ".vif", std::string("image --alias ") + alias +
                                    " --version 1.0.0 --contents " + file + " " + extra);
  }

  // The boot environment holding the map stored for the next boot, with boot~1 active.
  void store_map() {
    std::vector<uint8_t> device(settings::test::BLOCK_OFFSET);
    const auto block = settings::test::block_of(
        {"bmap=bmap_dev=t:" + dev_ + " bmap=boot:t@1%androidboot:t@2%androidboot bmap_seq=t@2"});
    device.insert(device.end(), block.begin(), block.end());
    dir_.write("mmcblk0", device);
  }

  // What install_image printed and returned.
  int install(const char* region_id, const std::string& path, int dry = 0, int full = 0) {
    testing::internal::CaptureStdout();
    const int r = install_image(region_id, path.c_str(), 0, full, dry);
    out_ = testing::internal::GetCapturedStdout();
    return r;
  }

  const std::vector<uint8_t> FILLER = pattern(1 << 20, 77);
  std::string out_;
  int images_ = 0;
};

TEST_F(InstallTest, EachTargetKindReceivesItsBytes) {
  const std::vector<uint8_t> kernel = pattern(250000, 1);
  const std::string boot = image("boot", kernel, "--tag-setup 1");
  ASSERT_EQ(install("boot~1", boot), INSTALL_WANTS_SETUP);
  EXPECT_THAT(
      out_, HasSubstr("RWRWRW\nInstalled Image to (bmap@boot~1,raw@0x32000:0xb490)/(0x0:0x3d490)"));
  std::vector<uint8_t> want = read_file(boot.substr(7));  // header and contents
  want.insert(want.end(), FILLER.begin() + static_cast<long>(want.size()), FILLER.end());
  EXPECT_EQ(read_file(part(2)), want);

  const std::vector<uint8_t> fs = pattern(200000, 2);
  ASSERT_EQ(install("system~1", image("system", fs, "--compress --contents-type ext4")),
            INSTALL_DONE);
  EXPECT_NE(out_.find("W\nInstalled Image(unziped) at (0x30d40/0x"), std::string::npos) << out_;
  // Counted after the last path printed: a temporary directory's name may hold a "W" too.
  const std::string progress = out_.substr(out_.rfind("Verify VIF file ok"));
  EXPECT_EQ(std::count(progress.begin(), progress.end(), 'W'), 4)
      << "three 64 KiB blocks and 3392 bytes";
  want = fs;
  want.insert(want.end(), FILLER.begin() + 200000, FILLER.end());
  EXPECT_EQ(read_file(part(4)), want) << "ext4 copies receive the contents only";
}

// Refusals come before any write; broken streams fail (never loop) after writing what they
// inflated, and contents that do not match are refused after writing a next copy, before
// writing a copy the board boots. "-" marks the rows that write nothing. (The system tests
// refuse the rest.)
TEST_F(InstallTest, RefusalsAndBrokenSources) {
  const std::vector<uint8_t> data = pattern(300000, 3);
  std::vector<uint8_t> z = deflated(data), corrupt = z, cut(z.begin(), z.end() - 9), tail = z;
  corrupt[z.size() / 2] ^= 0x55;
  tail.insert(tail.end(), {1, 2});
  const struct {
    const char* region_id;
    std::string path;
    int want;
    std::string says;
  } rows[] = {
      {"kernel", image("boot", data), INSTALL_NO_REGION, "-"},
      {"kernel~-1", image("boot", data), INSTALL_NO_REGION, "-Bad Region Id"},
      {"system#2", image("system", data), INSTALL_REFUSED, "-"},
      {"boot~1", image("boot", data, "--compress"), INSTALL_REFUSED, "-Compressed Image Not"},
      {"system~1", image("system", pattern((1 << 20) + 1, 4)), INSTALL_WRITE_FAILED,
       "-Image Too Large(0x100001 > 0x100000)"},
      {"system~1", image("system", data, "--poke hdr_type=0x55"), INSTALL_REFUSED, "-Verify fail"},
      {"system~1", image("system", data, "--hdr-version 2"), INSTALL_REFUSED, "-Verify fail"},
      {"boot~1", image("boot", data, "--set contents_size=300001"), INSTALL_SHORT_READ,
       "-Image File Short"},
      {"system~1", image("system", data, "--set contents_size=299999"), INSTALL_CONTENTS_INVALID,
       "-Image File Too Long"},
      {"boot", image("boot", data, "--poke contents_checksum=0"), INSTALL_CONTENTS_INVALID,
       "-)(checksum)!"},
      {"system", image("system", z, "--cap 4 --poke contents_crc32=0"), INSTALL_CONTENTS_INVALID,
       "-)(crc32)!"},
      {"system~1", image("system", data, "--poke contents_sha1=" + std::string(40, '0')),
       INSTALL_CONTENTS_INVALID, ")(sha1)!"},
      {"system~1", image("system", tail, "--cap 4"), INSTALL_INFLATE_FAILED,
       "Unzip Fail(data after the end of the stream)"},
      {"system~1", image("system", corrupt, "--cap 4"), INSTALL_INFLATE_FAILED,
       "Unzip Fail(data error)(-3)"},
      {"system~1", image("system", cut, "--cap 4"), INSTALL_INFLATE_FAILED,
       "Unzip Fail(stream cut short)"},
  };
  for (const auto& row : rows) {
    const bool writes_nothing = row.says.starts_with('-');
    EXPECT_EQ(install(row.region_id, row.path), row.want) << row.path;
    EXPECT_THAT(out_, HasSubstr(row.says.substr(writes_nothing ? 1 : 0)));
    for (int n = 1; writes_nothing && n <= 4; ++n) {
      EXPECT_EQ(read_file(part(n)), FILLER) << row.path;
    }
  }
  // The copy the stored map boots next is checked before it is written, too.
  store_map();
  EXPECT_EQ(install("boot~1", image("boot", data, "--poke contents_checksum=1")),
            INSTALL_CONTENTS_INVALID);
  EXPECT_EQ(read_file(part(2)), FILLER);
  // Verified fully (the install command), contents that would begin inside the header refuse.
  EXPECT_EQ(install("system~1", image("system", data, "--contents-off 0x3FF"), 0, 1),
            INSTALL_REFUSED);
  // A dry run says whether the image asks for setup, and writes nothing either.
  EXPECT_EQ(install("system~1", image("system", data, "--tag-setup 1"), 1), INSTALL_WANTS_SETUP);
  EXPECT_EQ(install("system~1", image("system", data), 1), INSTALL_DONE);
}

// With the trust store, into the active copy: a signed image goes in; an unsigned one, one whose
// header area differs from the bytes signed, or an older one (unless allowed) write nothing.
TEST_F(InstallTest, SignedImagesAndDowngrades) {
  const vorn::test::TestPki& pki = vorn::test::TestPki::get();
  dir_.write("trust.pem", read_file(pki.file("trust.pem")));
  const std::vector<uint8_t> data = pattern(300000, 5);
  const auto signed_image = [&](const std::string& version) {
    const std::string path = image("boot", data, "--version " + version);
    pki.sign(path.substr(7));
    return path;
  };
  const std::string v2 = signed_image("2.0.0");
  std::vector<uint8_t> reserved = read_file(v2.substr(7));
  reserved[0x300] ^= 1;  // covered by no header check, only by the signature
  const std::string changed = dir_.write("changed.vif", reserved);
  std::filesystem::copy_file(v2.substr(7) + ".sig", changed + ".sig");
  const std::string older = signed_image("1.9.9");
  const struct {
    std::string path;
    int want;
    const char* says;
  } rows[] = {
      {image("boot", data), INSTALL_SIGNATURE_MISSING, ")(no signature file)!"},
      {"file@!," + changed, INSTALL_SIGNATURE_MISMATCH, ")(the signature is over other bytes)!"},
      {v2, INSTALL_DONE, "Verified Image at"},
      {older, INSTALL_DOWNGRADE, ")(1.9.9 < 2.0.0)!"},
  };
  for (const auto& row : rows) {
    const std::vector<uint8_t> before = read_file(part(1));
    EXPECT_EQ(install("boot", row.path), row.want) << row.path;
    EXPECT_THAT(out_, HasSubstr(row.says));
    if (row.want != INSTALL_DONE) {
      EXPECT_EQ(read_file(part(1)), before) << row.path;
    }
  }
  dir_.write("allow-downgrade", "");
  EXPECT_EQ(install("boot", older), INSTALL_DONE);
}

// Pushed in chunks of any size, a pass must see the header it was planned from and, after a
// verified pass, the very bytes verified.
TEST_F(InstallTest, ASourceThatChangedIsToldApart) {
  const std::vector<uint8_t> first = read_file(image("system", pattern(5000, 7)).substr(7));
  const std::vector<uint8_t> second = read_file(image("system", pattern(5000, 8)).substr(7));
  std::vector<uint8_t> changed = first;
  changed[3000] ^= 1;
  ImagePlan plan{
      .file_size = first.size(), .contents_off = 1024, .copy_offset = 1024, .copy_length = 5000};
  std::copy_n(first.begin(), 1024, plan.header.begin());
  const auto pass = [&](const std::vector<uint8_t>& bytes, const image::StreamDigestValues* earlier,
                        image::StreamDigestValues* got = nullptr) {
    ImageSink sink("f", "system~1", plan, CopyMode::VERIFY, nullptr, earlier);
    int r = sink.start();
    for (size_t at = 0; r == 0 && at < bytes.size(); at += 777) {
      r = sink.consume({bytes.data() + at, std::min<size_t>(777, bytes.size() - at)});
    }
    if (r == 0) r = sink.finish();
    if (got != nullptr) *got = sink.digests();
    return r;
  };
  image::StreamDigestValues verified;
  (void)pass(first, nullptr, &verified);  // refused (the plan has no contents values): digests kept
  EXPECT_EQ(pass(first, &verified), INSTALL_DONE);
  EXPECT_EQ(pass(changed, &verified), INSTALL_SOURCE_CHANGED);
  testing::internal::CaptureStdout();
  EXPECT_EQ(pass(second, &verified), INSTALL_SOURCE_CHANGED);
  EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("Source Changed(f)(header)"));
}

// A compressed image that inflates past 2 GiB into a sparse copy: every offset is 64-bit. The
// stream repeats one fully flushed block of zeros, so only 1 MiB is ever compressed.
TEST_F(InstallTest, ContentsPastTwoGiB) {
  constexpr size_t MIB = 1 << 20;
  constexpr int64_t ZEROS = 2049 * static_cast<int64_t>(MIB);
  const std::vector<uint8_t> tail = pattern(70000, 6);
  std::vector<uint8_t> zeros(MIB, 0), out(2 * MIB);
  z_stream s{};
  ASSERT_EQ(deflateInit(&s, 1), Z_OK);
  const auto piece = [&](const std::vector<uint8_t>& in, int flush) {
    s.next_in = const_cast<uint8_t*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_GE(deflate(&s, flush), Z_OK);
    return std::string(reinterpret_cast<char*>(out.data()), out.size() - s.avail_out);
  };
  std::string stream = piece(zeros, Z_FULL_FLUSH);  // with the zlib header
  const std::string block = piece(zeros, Z_FULL_FLUSH);
  for (int i = 1; i < 2049; ++i) stream += block;
  stream += piece(tail, Z_FINISH);
  deflateEnd(&s);
  // The trailer is the Adler-32 of everything: of ZEROS zero bytes, then of the tail.
  const uLong adler =
      adler32(((ZEROS % 65521) << 16) | 1, tail.data(), static_cast<uInt>(tail.size()));
  for (int i = 0; i < 4; ++i)
    stream[stream.size() - 4 + i] = static_cast<char>(adler >> (24 - 8 * i));
  const std::string img = image("system", {stream.begin(), stream.end()}, "--cap 4");
  // The sparse copy lives on tmpfs where there is one: the test is about offsets, not the disk.
  std::string base = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : dir_.path()) + "/vorn-XXXXXX";
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  const platform::ScopeGuard remove([&base] { std::filesystem::remove_all(base); });
  dev_ = base + "/d";
  set_map("system:t@3:t@4", "t@3");
  ASSERT_EQ(std::fclose(std::fopen(part(4).c_str(), "w")), 0);
  ASSERT_EQ(::truncate(part(4).c_str(), 3LL << 30), 0);
  ASSERT_EQ(install("system~1", img), INSTALL_DONE) << out_;
  EXPECT_THAT(out_, HasSubstr("Verified Image at (0x80111170)"));
  std::ifstream in(part(4), std::ios::binary);
  std::vector<uint8_t> back(tail.size());
  in.seekg(ZEROS).read(reinterpret_cast<char*>(back.data()), static_cast<long>(back.size()));
  EXPECT_EQ(back, tail) << "the bytes past 2 GiB";
}

}  // namespace
}  // namespace vorn::upgrade
