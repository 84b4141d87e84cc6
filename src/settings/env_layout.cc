#include "settings/env_layout.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "platform/file_open.h"
#include "platform/fixed_paths.h"
#include "platform/fixed_text.h"
#include "platform/io.h"

namespace vorn::settings {

namespace {

using platform::FixedPath;

constexpr int64_t DEFAULT_OFFSET = 0xC0000;
constexpr uint32_t DEFAULT_SIZE = 8192;
constexpr size_t COLUMNS_MIN = 3;  // device, offset, size
constexpr size_t COLUMNS_MAX = 5;  // and the sector size and count

// The whole text read as an unsigned number in base; false for an empty text, a stray
// character or a value beyond 64 bits.
bool read_unsigned(std::string_view text, int base, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string_view without_hex_prefix(std::string_view text) {
  return text.starts_with("0x") || text.starts_with("0X") ? text.substr(2) : text;
}

// A C integer as the boot loader's tools read an offset: an optional sign, then 0x
// hexadecimal, a leading 0 octal, or decimal.
bool read_offset(std::string_view text, int64_t& value) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  uint64_t magnitude = 0;
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const bool octal = !hex && text.size() > 1 && text[0] == '0';
  if (!read_unsigned(hex ? text.substr(2) : text,
                     hex     ? 16
                     : octal ? 8
                             : 10,
                     magnitude) ||
      magnitude > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool read_hex(std::string_view text, uint64_t& value) {
  return read_unsigned(without_hex_prefix(text), 16, value);
}

// Splits a line at blanks and tabs into at most max columns (plus one, to tell too many).
size_t split_columns(std::string_view line, std::array<std::string_view, COLUMNS_MAX + 1>& out) {
  size_t n = 0;
  while (n < out.size()) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == line.npos) break;
    line.remove_prefix(start);
    const size_t end = std::min(line.find_first_of(" \t\r"), line.size());
    out[n++] = line.substr(0, end);
    line.remove_prefix(end);
  }
  return n;
}

// One line of a copy into place; the reason when it does not read.
const char* parse_copy(std::string_view line, EnvCopyPlace& place, uint32_t& size) {
  std::array<std::string_view, COLUMNS_MAX + 1> columns;
  const size_t n = split_columns(line, columns);
  if (n < COLUMNS_MIN) return "a device, an offset and a size are needed";
  if (n > COLUMNS_MAX) return "more than five columns";
  if (!columns[0].starts_with('/') || !platform::copy_text_whole(place.device, columns[0])) {
    return "the device is no absolute path of at most 127 characters";
  }
  if (!read_offset(columns[1], place.offset)) return "the offset is not a number";
  uint64_t value = 0;
  if (!read_hex(columns[2], value) || value < ENV_SIZE_MIN || value > ENV_SIZE_MAX) {
    return "the size is no hexadecimal number from 0x10 to 0x100000";
  }
  size = static_cast<uint32_t>(value);
  for (size_t i = COLUMNS_MIN; i < n; ++i) {
    if (!read_hex(columns[i], value)) return "a sector column is no hexadecimal number";
  }
  return nullptr;
}

// The last fault reported, so that every access of one command does not report it again.
std::array<char, 256> g_reported{};

void report(const char* path, const EnvConfigError& error) {
  std::array<char, 256> text{};
  platform::format_text(text, "%s:%d: %s: the boot environment is unusable\n", path, error.line,
                        error.reason);
  if (platform::slot_text(text) == platform::slot_text(g_reported)) return;
  g_reported = text;
  std::fputs(text.data(), stderr);
}

}  // namespace

EnvLayout env_layout_default() {
  EnvLayout layout{};
  platform::copy_text(layout.copies[0].device, platform::fixed_path(FixedPath::EMMC_DEVICE));
  layout.copies[0].offset = DEFAULT_OFFSET;
  layout.count = 1;
  layout.size = DEFAULT_SIZE;
  return layout;
}

bool env_layout_parse(std::string_view text, EnvLayout& out, EnvConfigError& error) {
  out = EnvLayout{};
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == line.npos || line[first] == '#') continue;
    error.line = line_number;
    if (out.count == ENV_COPIES_MAX) {
      error.reason = "more than two copies";
      return false;
    }
    uint32_t size = 0;
    error.reason = parse_copy(line, out.copies[out.count], size);
    if (error.reason != nullptr) return false;
    if (out.count == 1 && size != out.size) {
      error.reason = "the two copies differ in size";
      return false;
    }
    const EnvCopyPlace& a = out.copies[0];
    const EnvCopyPlace& b = out.copies[1];
    if (out.count == 1 && platform::slot_text(a.device) == platform::slot_text(b.device) &&
        (a.offset < 0) == (b.offset < 0) &&
        (a.offset > b.offset ? a.offset - b.offset : b.offset - a.offset) < size) {
      error.reason = "the two copies overlap";
      return false;
    }
    out.size = size;
    ++out.count;
  }
  if (out.count == 0) {
    error = {line_number + 1, "no environment line"};
    return false;
  }
  return true;
}

bool env_layout_load(EnvLayout& out) {
  const char* path = platform::fixed_path(FixedPath::FW_ENV_CONFIG);
  const platform::UniqueFd fd = platform::open_for_reading(path, platform::OpenKind::REGULAR);
  if (!fd && errno == ENOENT) {
    out = env_layout_default();
    return true;
  }
  std::array<char, ENV_CONFIG_MAX + 1> text;
  const ssize_t got = fd ? platform::read_fully(fd.get(), text.data(), text.size()) : -1;
  EnvConfigError error;
  if (got < 0) {
    error = {0, "cannot be read"};
  } else if (static_cast<size_t>(got) > ENV_CONFIG_MAX) {
    error = {0, "longer than 4096 bytes"};
  } else {
    if (env_layout_parse({text.data(), static_cast<size_t>(got)}, out, error)) return true;
  }
  report(path, error);
  return false;
}

}  // namespace vorn::settings
