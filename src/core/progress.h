#pragma once

// How far the running command is, for a caller that asks while it runs (the daemon answers
// "progress" without waiting for the command): the stage, the image (its place in the batch
// and its alias), and the bytes done of that image's stage. One writer, the running command;
// readers on any thread see a consistent record. Writing the bytes is one atomic store, so the
// install loop can report every chunk.

#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::core {

enum class Stage : uint32_t { IDLE, CHECK, INSTALL, VERIFY, SETUP };

// The stage's word in the progress line: "idle", "check", "install", "verify", "setup".
[[nodiscard]] const char* stage_name(Stage stage);

// A stage begins for the image at position (1-based) of count, with its alias (cut to 15
// characters, a blank or control character shown as "?"; empty when not known yet) and the
// bytes the stage will handle (0 when none or not known); the bytes done start at 0.
void progress_begin(Stage stage, int position, int count, std::string_view alias, int64_t total);

// The next stage of the same image, with the bytes it will handle; the bytes done start at 0.
void progress_stage(Stage stage, int64_t total);

// The bytes done of the running stage.
void progress_bytes(int64_t done);

// Nothing runs.
void progress_idle();

// The record as one line into out, e.g. "install 2/2 system 1048576/268435456"; "-" stands for
// an alias not known, and the idle record is "idle 0/0 - 0/0". Returns the line (cut to out).
std::string_view progress_line(std::span<char> out);

}  // namespace vorn::core
