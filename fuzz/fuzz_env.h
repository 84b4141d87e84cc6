#pragma once

// What every fuzz target shares: a scratch directory that all fixed paths point into, quiet
// output (both set up before the first input), and header helpers that let fuzzed bytes get
// past the integrity checks.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "image/header_handle.h"

namespace vorn::fuzz {

[[nodiscard]] std::string scratch(const char* name);

// Replaces the file with the bytes placed at offset.
void write_file(const std::string& path, std::span<const uint8_t> bytes, long offset = 0);

// The text up to the first NUL of data (all of it without one); data keeps what follows.
[[nodiscard]] std::string take_text(std::span<const uint8_t>& data);

// A handle of that form over a buffer of exactly capacity bytes (at least 1024) holding the
// bytes, cut to fit; valid until the next call.
image::HeaderHandle& load_header(uint32_t form, std::string_view bytes, uint32_t capacity,
                                 uint32_t data_len);

// Stores the three values computed over a binary header's own fields in their slots.
void seal(image::HeaderHandle& handle);

// Every field read with several capacities, the checks by each method, and the report.
void exercise_header(image::HeaderHandle& handle);

}  // namespace vorn::fuzz
