#pragma once

#include <string>

#include "platform/fixed_paths.h"

namespace vorn::test {

// Points one fixed path at a test file for the life of the object (in-process only).
class ScopedPathOverride {
 public:
  ScopedPathOverride(platform::FixedPath which, std::string path);
  ScopedPathOverride(const ScopedPathOverride&) = delete;
  ScopedPathOverride& operator=(const ScopedPathOverride&) = delete;
  ~ScopedPathOverride();

 private:
  platform::FixedPath which_;
  const char* previous_;
  std::string path_;
};

}  // namespace vorn::test
