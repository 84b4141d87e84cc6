#pragma once

// A file written through a temporary file beside it and renamed into place only when complete
// and on the disk, so that no partial output is ever left at its path.

#include <string>

#include "mkvif/header_builder.h"
#include "platform/unique_fd.h"

namespace vorn::mkvif {

class OutputFile {
 public:
  // Creates the temporary file beside path; fd() is -1 when that failed.
  explicit OutputFile(std::string path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // removes the temporary file unless it was committed

  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] const std::string& temp_path() const { return temp_; }
  // Mode 0644, fsync, then the rename over path. Empty on success, else the reason (the
  // temporary file is removed).
  [[nodiscard]] Refusal commit();

 private:
  std::string path_;
  std::string temp_;
  platform::UniqueFd fd_;
  bool created_ = false;
  bool committed_ = false;
};

// "<what> <path>: <strerror(errno)>".
[[nodiscard]] std::string errno_text(const std::string& what, const std::string& path);

}  // namespace vorn::mkvif
