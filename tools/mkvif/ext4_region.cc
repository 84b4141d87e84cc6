#include "mkvif/ext4_region.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "mkvif/info_text.h"
#include "platform/scope_guard.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace vorn::mkvif {

namespace fs = std::filesystem;

namespace {

// mke2fs lives in an sbin directory that an ordinary user's PATH may lack.
constexpr const char* MKE2FS_CANDIDATES[] = {"mke2fs", "/usr/sbin/mke2fs", "/sbin/mke2fs"};

Refusal write_text_file(const fs::path& path, const std::string& text, mode_t mode) {
  platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd) return "cannot create " + path.string() + ": " + std::strerror(errno);
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::fchmod(fd.get(), mode) != 0) {
    return "cannot write " + path.string() + ": " + std::strerror(errno);
  }
  return {};
}

// Runs mke2fs with args; its exit status, or -1 when it cannot be started.
int run_mke2fs(std::vector<std::string> args) {
  for (const char* program : MKE2FS_CANDIDATES) {
    args[0] = program;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = program[0] == '/'
                            ? ::posix_spawn(&pid, program, nullptr, nullptr, argv.data(), environ)
                            : ::posix_spawnp(&pid, program, nullptr, nullptr, argv.data(), environ);
    if (spawned == ENOENT) continue;
    if (spawned != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return -1;
}

}  // namespace

std::optional<uint64_t> parse_size(std::string_view text) {
  uint64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k':
        unit = 1ull << 10;
        break;
      case 'M':
      case 'm':
        unit = 1ull << 20;
        break;
      case 'G':
      case 'g':
        unit = 1ull << 30;
        break;
      default:
        break;
    }
    if (unit != 1) text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 12) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value * unit;
}

Refusal make_ext4_image(const Ext4Request& request) {
  std::error_code ec;
  if (!fs::is_directory(request.dir, ec)) return request.dir + " is not a directory";
  for (const char* reserved : {INFO_TEXT_NAME, SETUP_SCRIPT_NAME}) {
    if (fs::exists(fs::path(request.dir) / reserved, ec)) {
      return request.dir + " already holds " + reserved + "; mkvif writes that file itself";
    }
  }

  // The tree is copied so that the caller's directory stays as it was.
  const char* tmp = std::getenv("TMPDIR");
  std::string staging =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mkvif-ext4-XXXXXX";
  if (::mkdtemp(staging.data()) == nullptr) {
    return std::string("cannot create a staging directory: ") + std::strerror(errno);
  }
  platform::ScopeGuard remove_staging([&] {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
  });
  fs::copy(request.dir, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) return "cannot copy " + request.dir + ": " + ec.message();

  Refusal why = write_text_file(fs::path(staging) / INFO_TEXT_NAME, request.info_text, 0644);
  if (!why.empty()) return why;
  if (!request.setup_script.empty()) {
    std::ifstream script(request.setup_script, std::ios::binary);
    if (!script) return "cannot read " + request.setup_script;
    const std::string body{std::istreambuf_iterator<char>(script),
                           std::istreambuf_iterator<char>()};
    why = write_text_file(fs::path(staging) / SETUP_SCRIPT_NAME, body, 0755);
    if (!why.empty()) return why;
  }

  {
    platform::UniqueFd image(
        ::open(request.image_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!image || ::ftruncate(image.get(), static_cast<off_t>(request.size)) != 0) {
      return "cannot create " + request.image_path + ": " + std::strerror(errno);
    }
  }
  std::vector<std::string> args = {
      "mke2fs",         "-q", "-F",   "-t", "ext4", "-b", std::to_string(EXT4_BLOCK_SIZE), "-E",
      "root_owner=0:0", "-d", staging};
  if (!request.label.empty()) {
    args.push_back("-L");
    args.push_back(request.label);
  }
  args.push_back(request.image_path);
  args.push_back(std::to_string(request.size / EXT4_BLOCK_SIZE));
  const int status = run_mke2fs(args);
  if (status != 0) {
    ::unlink(request.image_path.c_str());
    return status < 0 ? std::string("cannot run mke2fs (is e2fsprogs installed?)")
                      : "mke2fs failed with exit status " + std::to_string(status);
  }
  return {};
}

}  // namespace vorn::mkvif
