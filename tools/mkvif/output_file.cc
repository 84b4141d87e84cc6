#include "mkvif/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vorn::mkvif {

std::string errno_text(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)), temp_(path_ + ".XXXXXX") {
  fd_.reset(::mkstemp(temp_.data()));
  created_ = fd_.ok();
}

OutputFile::~OutputFile() {
  if (created_ && !committed_) ::unlink(temp_.c_str());
}

Refusal OutputFile::commit() {
  if (::fchmod(fd_.get(), 0644) != 0 || ::fsync(fd_.get()) != 0) {
    return errno_text("cannot write", temp_);
  }
  fd_.reset();
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return errno_text("cannot rename to", path_);
  committed_ = true;
  return {};
}

}  // namespace vorn::mkvif
