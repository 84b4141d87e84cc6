#pragma once

#include <span>
#include <string>
#include <vector>

#include "cli/dispatcher.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "core/reply_buffer.h"

namespace vorn::cli::test {

// Runs the dispatcher on a word list as a fresh command would: normal verbosity, no reply
// buffer left from an earlier run.
inline int dispatch_words(std::vector<std::string> words, std::span<char> reply = {}) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  core::set_verbosity(core::VERBOSITY_NORMAL);
  core::set_reply_buffer({});
  return dispatch(static_cast<int>(words.size()), argv.data(), reply);
}

}  // namespace vorn::cli::test
