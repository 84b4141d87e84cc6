// contents_digest (CRC-32 only) against a bare read-plus-crc32 loop over the same 256 MiB file,
// in the same run. Prints the throughput ratio at the end; the target is at least 0.8.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "image/integrity.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t FILE_SIZE = 256u << 20;
constexpr size_t BARE_BLOCK = 128u << 10;

std::string g_path;

bool make_file(const std::string& path) {
  vorn::platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return false;
  std::vector<uint8_t> block(1u << 20);
  for (size_t done = 0; done < FILE_SIZE; done += block.size()) {
    for (size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<uint8_t>((done + i) * 2654435761u >> 13);
    if (::write(fd.get(), block.data(), block.size()) != static_cast<ssize_t>(block.size()))
      return false;
  }
  return true;
}

uint32_t bare_crc(const std::string& path, size_t block_size) {
  vorn::platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<uint8_t> block(block_size);
  uint32_t crc = 0;
  ssize_t n = 0;
  while ((n = ::read(fd.get(), block.data(), block.size())) > 0) {
    crc = static_cast<uint32_t>(crc32(crc, block.data(), static_cast<uInt>(n)));
  }
  return crc;
}

void BM_ContentsDigestCrc32(benchmark::State& state) {
  for (auto _ : state) {
    uint32_t crc = 0;
    const uint64_t n = vorn::image::contents_digest(g_path.c_str(), nullptr, &crc, nullptr, 0);
    if (n != FILE_SIZE) state.SkipWithError("short read");
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
}

void BM_BareReadCrc32(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(bare_crc(g_path, static_cast<size_t>(state.range(0))));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
}

BENCHMARK(BM_ContentsDigestCrc32)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_BareReadCrc32)
    ->Arg(BARE_BLOCK)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5);
// For reference: the same bare loop in 512-byte reads.
BENCHMARK(BM_BareReadCrc32)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(3);

// Keeps the median time of each benchmark to print the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
      }
    }
  }
  void print_ratio() const {
    const auto digest = medians_.find("BM_ContentsDigestCrc32/");
    const auto bare = medians_.find("BM_BareReadCrc32/131072");
    if (digest == medians_.end() || bare == medians_.end() || digest->second <= 0) return;
    std::printf("\ncontents_digest / bare loop throughput (medians): %.3f (target >= 0.8)\n",
                bare->second / digest->second);
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* dir = std::getenv("VORN_BENCH_DIR");
  if (dir == nullptr) dir = std::getenv("TMPDIR");
  std::string templ = std::string(dir != nullptr ? dir : "/tmp") + "/vorn-bench-XXXXXX";
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) {
    std::perror("mkstemp");
    return 1;
  }
  vorn::platform::UniqueFd owned(fd);
  g_path = templ;
  if (!make_file(g_path)) {
    std::perror("writing the benchmark file");
    ::unlink(g_path.c_str());
    return 1;
  }
  // Warm the page cache the same way for both contenders; nothing is dropped from it.
  const uint32_t a = bare_crc(g_path, BARE_BLOCK);
  uint32_t b = 0;
  (void)vorn::image::contents_digest(g_path.c_str(), nullptr, &b, nullptr, 0);
  if (a != b) std::fprintf(stderr, "CRC-32 mismatch: %08x %08x\n", a, b);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio();
  benchmark::Shutdown();
  ::unlink(g_path.c_str());
  return a == b ? 0 : 1;
}
