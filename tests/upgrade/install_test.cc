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
    for (int n : {2, 4}) dir_.write("dp" + std::to_string(n), FILLER);
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
// inflated. "-" marks the rows that write nothing. (The system tests refuse the rest.)
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
    if (writes_nothing) {
      EXPECT_EQ(read_file(part(2)), FILLER) << row.path;
      EXPECT_EQ(read_file(part(4)), FILLER) << row.path;
    }
  }
  // Verified fully (the install command), contents that would begin inside the header refuse.
  EXPECT_EQ(install("system~1", image("system", data, "--contents-off 0x3FF"), 0, 1),
            INSTALL_REFUSED);
  // A dry run says whether the image asks for setup, and writes nothing either.
  EXPECT_EQ(install("system~1", image("system", data, "--tag-setup 1"), 1), INSTALL_WANTS_SETUP);
  EXPECT_EQ(install("system~1", image("system", data), 1), INSTALL_DONE);
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
