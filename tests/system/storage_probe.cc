// A small driver of the storage layer for system tests in the simulated device: it performs
// one locator operation on the real devices and prints the result, so tests can check what
// the tool's commands do underneath (mounts left behind, refused raw writes).
//
//   storage_probe read LOCATOR LENGTH [OFFSET]   prints the count, then the bytes as hex
//   storage_probe write LOCATOR FILE             writes the file's bytes; prints the count
//   storage_probe size LOCATOR                   prints the size
//   storage_probe release LOCATOR                prints the release result
//   storage_probe mounted DEVICE                 prints the mount point or "-"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "bootmap/boot_map.h"
#include "storage/image_locator.h"
#include "storage/mount_manager.h"
#include "storage/region_io.h"

namespace {

std::vector<uint8_t> slurp(const char* path) {
  std::vector<uint8_t> data;
  if (FILE* f = std::fopen(path, "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) data.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
  }
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vorn::storage;
  if (argc < 3) return 2;
  vorn::bootmap::bootmap_init();
  const std::string_view op = argv[1];
  const char* locator = argv[2];
  if (op == "read" && argc >= 4) {
    std::vector<uint8_t> buf(static_cast<size_t>(std::atoi(argv[3])) + 0x10000);
    const int64_t n =
        locator_read(locator, buf, argc >= 5 ? std::atoll(argv[4]) : 0, std::atoi(argv[3]));
    std::printf("%lld\n", static_cast<long long>(n));
    for (int64_t i = 0; i < n; ++i) std::printf("%02x", buf[static_cast<size_t>(i)]);
    std::printf("\n");
    return 0;
  }
  if (op == "write" && argc >= 4) {
    const std::vector<uint8_t> data = slurp(argv[3]);
    std::printf("%lld\n", static_cast<long long>(
                              locator_write(locator, data, 0, static_cast<int64_t>(data.size()))));
    return 0;
  }
  if (op == "size") {
    std::printf("%lld\n", static_cast<long long>(locator_size(locator)));
    return 0;
  }
  if (op == "release") {
    std::printf("%d\n", locator_release(locator));
    return 0;
  }
  if (op == "mounted") {
    const MountedVolume* v = mounts_find_by_device(locator);
    std::printf("%s\n", v ? v->mount_point.c_str() : "-");
    return 0;
  }
  return 2;
}
