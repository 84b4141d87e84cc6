// install-bench: the install against the bare loops it must keep up with, measured side by side
// in one run on the same region copy. Runs inside the simulated device (see
// upgrade_device_bench.py), where the copies are loop devices over disk files.
//
//   install-bench IMAGE COMPRESSED_IMAGE CONTENTS [ROUNDS]
//
// IMAGE and COMPRESSED_IMAGE are ext4 images of the system region holding the same file system,
// stored plain and as a zlib stream; CONTENTS is that file system alone. Each round runs, into
// the next system copy:
//   dd        dd if=CONTENTS of=<copy> bs=1M conv=fsync
//   install   install_image("system~1", IMAGE), with its flush and read-back
//   read-back the flush and read-back alone (the same calls the install ends with)
//   inflate   a bare loop: 100 KiB reads of the stream, zlib's inflate, 64 KiB pwrite()s into
//             the copy, fdatasync
//   install-z install_image("system~1", COMPRESSED_IMAGE)
//   digests   the digests alone, as the install computes them on its second thread: 100 KiB
//             reads of IMAGE, byte sum, CRC-32 and SHA-1 of the contents, SHA-256 of the file
// and prints the medians and the ratios (baseline time / install time), with and without the
// read-back. Run with a trust store in the device (/etc/vorn/trust.pem) and the images signed,
// the install computes every digest a signed image needs.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bootmap/boot_map.h"
#include "core/output.h"
#include "image/stream_digests.h"
#include "platform/unique_fd.h"
#include "storage/image_locator.h"
#include "storage/path_io.h"
#include "storage/region_io.h"
#include "upgrade/install.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using vorn::platform::UniqueFd;

constexpr char TARGET[] = "system~1";

bool spawn_wait(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The bare loop the compressed install is held against.
bool inflate_loop(const char* image, const char* device) {
  UniqueFd in(::open(image, O_RDONLY | O_CLOEXEC));
  UniqueFd out(::open(device, O_WRONLY | O_CLOEXEC));
  if (!in || !out) return false;
  std::vector<uint8_t> chunk(vorn::upgrade::INSTALL_READ_SIZE);
  std::vector<uint8_t> block(vorn::upgrade::INSTALL_BLOCK_SIZE);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  off_t at_in = 1024, at_out = 0;
  int r = Z_OK;
  while (r != Z_STREAM_END) {
    const ssize_t n = ::pread(in.get(), chunk.data(), chunk.size(), at_in);
    if (n <= 0) break;
    at_in += n;
    z.next_in = chunk.data();
    z.avail_in = static_cast<uInt>(n);
    while (z.avail_in > 0 && r != Z_STREAM_END) {
      z.next_out = block.data();
      z.avail_out = static_cast<uInt>(block.size());
      r = ::inflate(&z, Z_NO_FLUSH);
      if (r < 0) break;
      const size_t produced = block.size() - z.avail_out;
      if (::pwrite(out.get(), block.data(), produced, at_out) != static_cast<ssize_t>(produced)) {
        r = Z_ERRNO;
        break;
      }
      at_out += static_cast<off_t>(produced);
    }
    if (r < 0) break;
  }
  ::inflateEnd(&z);
  return r == Z_STREAM_END && ::fdatasync(out.get()) == 0;
}

// What the install's digest thread does, alone.
bool digests_only(const char* image) {
  UniqueFd in(::open(image, O_RDONLY | O_CLOEXEC));
  vorn::image::StreamDigests digests(1024, vorn::image::WHOLE_SHA256);
  std::vector<uint8_t> chunk(vorn::upgrade::INSTALL_READ_SIZE);
  if (!in || !digests.start()) return false;
  for (ssize_t n; (n = ::read(in.get(), chunk.data(), chunk.size())) > 0;) {
    digests.add({chunk.data(), static_cast<size_t>(n)});
  }
  vorn::image::StreamDigestValues values;
  return digests.finish(values);
}

// CPU time (user and system) of this process and its waited-for children, in ms: unlike the
// wall time it barely moves with what else the host's disk is doing.
double cpu_ms() {
  double ms = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    ::getrusage(who, &u);
    for (const timeval& t : {u.ru_utime, u.ru_stime}) ms += t.tv_sec * 1e3 + t.tv_usec / 1e3;
  }
  return ms;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: install-bench IMAGE COMPRESSED_IMAGE CONTENTS [ROUNDS]\n");
    return 2;
  }
  const std::string image = std::string("file@!,") + argv[1];
  const std::string zimage = std::string("file@!,") + argv[2];
  const char* contents = argv[3];
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  vorn::bootmap::bootmap_init();
  vorn::core::set_verbosity(1);  // no progress letters
  vorn::storage::ImageLocator target;
  if (vorn::storage::locator_parse("bmap@system~1,raw@0:0", &target) == nullptr) {
    std::fprintf(stderr, "no next system copy\n");
    return 1;
  }
  const std::string device = target.dev_path.data();
  const int64_t size = vorn::storage::path_size(contents);
  char whole[96];
  std::snprintf(whole, sizeof whole, "bmap@%s,raw@0:0x%llx", TARGET,
                static_cast<unsigned long long>(size));

  struct Contender {
    const char* name;
    std::function<bool()> run;
    std::vector<double> ms = {};
    std::vector<double> cpu = {};
  };
  std::vector<Contender> all = {
      {"dd",
       [&] {
         return spawn_wait({"dd", std::string("if=") + contents, "of=" + device, "bs=1M",
                            "conv=fsync", "status=none"});
       }},
      {"install",
       [&] { return vorn::upgrade::install_image(TARGET, image.c_str(), 0, 0, 0) == 0; }},
      {"read-back",
       [&] {
         uint32_t crc = 0;
         return vorn::storage::locator_sync(whole) == 0 &&
                vorn::storage::locator_crc32(whole, &crc) == size;
       }},
      {"inflate", [&] { return inflate_loop(argv[2], device.c_str()); }},
      {"install-z",
       [&] { return vorn::upgrade::install_image(TARGET, zimage.c_str(), 0, 0, 0) == 0; }},
      {"digests", [&] { return digests_only(argv[1]); }},
  };
  for (int round = 0; round < rounds; ++round) {
    for (Contender& c : all) {
      const auto start = Clock::now();
      const double cpu_start = cpu_ms();
      if (!c.run()) {
        std::fprintf(stderr, "%s failed\n", c.name);
        return 1;
      }
      c.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      c.cpu.push_back(cpu_ms() - cpu_start);
    }
  }
  const double mib = static_cast<double>(size) / (1 << 20);
  for (const Contender& c : all) {
    const double m = median(c.ms);
    std::printf("%-10s median %8.1f ms  %7.1f MiB/s  (min %.1f, max %.1f)  cpu %.1f ms\n", c.name,
                m, mib / m * 1000, *std::min_element(c.ms.begin(), c.ms.end()),
                *std::max_element(c.ms.begin(), c.ms.end()), median(c.cpu));
  }
  const double dd = median(all[0].ms), install = median(all[1].ms), back = median(all[2].ms);
  const double loop = median(all[3].ms), installz = median(all[4].ms);
  std::printf("install / dd:        %.2f without the read-back, %.2f with it (target >= 0.9)\n",
              dd / (install - back), dd / install);
  std::printf("install-z / inflate: %.2f without the read-back, %.2f with it (target >= 0.9)\n",
              loop / (installz - back), loop / installz);
  std::printf("install-z / inflate in CPU time: %.2f without the read-back, %.2f with it\n",
              median(all[3].cpu) / (median(all[4].cpu) - median(all[2].cpu)),
              median(all[3].cpu) / median(all[4].cpu));
  std::printf("digests alone: %.0f ms (CPU %.0f ms), %.2f of the install's time\n",
              median(all[5].ms), median(all[5].cpu), median(all[5].ms) / install);
  return 0;
}
