#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

// A fresh directory under TMPDIR, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  [[nodiscard]] const std::string& path() const { return path_; }
  // Full path of a file in the directory.
  [[nodiscard]] std::string file(std::string_view name) const;
  // Writes a file (created or replaced) and returns its full path.
  std::string write(std::string_view name, std::string_view contents) const;
  std::string write(std::string_view name, const std::vector<uint8_t>& contents) const;

 private:
  std::string path_;
};

[[nodiscard]] std::vector<uint8_t> read_file(const std::string& path);

}  // namespace vorn::test
