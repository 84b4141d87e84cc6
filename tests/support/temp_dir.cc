#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace vorn::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base ? base : "/tmp") + "/vorn-test-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string TempDir::write(std::string_view name, std::string_view contents) const {
  const std::string p = file(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return p;
}

std::string TempDir::write(std::string_view name, const std::vector<uint8_t>& contents) const {
  return write(name,
               std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()));
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace vorn::test
