#include "upgrade/dependency.h"

#include <array>
#include <string_view>

#include "bootmap/boot_map.h"
#include "core/hardware_tag.h"
#include "core/output.h"
#include "image/header_handle.h"
#include "image/integrity.h"
#include "platform/fixed_text.h"
#include "platform/number_text.h"
#include "storage/header_reader.h"

namespace vorn::upgrade {

namespace {

using std::string_view;

constexpr size_t TEXT_MAX = DEPENDENCY_TEXT_SIZE - 1;  // dependency and version texts
constexpr string_view HW_PREFIX = "%hw%,";
constexpr string_view REGION_SOURCE = "bmap@";
constexpr size_t REGION_NAME_MAX = 16;
constexpr size_t HEADER_BUFFER_SIZE = 2048;  // room for a text-form header
constexpr size_t PARTS = 3;

// Field widths of a packed version: major 10 bits, minor 10 bits, patch 12 bits.
constexpr uint32_t MAJOR_MASK = 0x3FF;
constexpr uint32_t MINOR_MASK = 0x3FF;
constexpr uint32_t PATCH_MASK = 0xFFF;

// Part k (0-based) of a version text: parts 0 and 1 end at "."; the last ends at the next "."
// or else at the first "-". False when a "." that a part must be followed by is missing (part
// then runs to the end of the text).
bool version_part(string_view text, size_t k, string_view& part) {
  for (size_t i = 0; i < k; ++i) {
    const size_t dot = text.find('.');
    if (dot == string_view::npos) {
      part = {};
      return false;
    }
    text.remove_prefix(dot + 1);
  }
  const size_t dot = text.find('.');
  if (k + 1 < PARTS) {
    part = text.substr(0, dot);
    return dot != string_view::npos;
  }
  part = text.substr(0, dot != string_view::npos ? dot : text.find('-'));
  return true;
}

uint32_t pack(const std::array<uint32_t, PARTS>& v) {
  return (v[0] & MAJOR_MASK) << 22 | (v[1] & MINOR_MASK) << 12 | (v[2] & PATCH_MASK);
}

bool is_operator(char op) { return op == '<' || op == '>' || op == '=' || op == '+' || op == '-'; }

bool relation_holds(uint32_t left, uint32_t right, char op) {
  switch (op) {
    case '<':
      return left < right;
    case '>':
      return left > right;
    case '=':
      return left == right;
    case '+':
      return left >= right;
    default:
      return left <= right;
  }
}

// Splits "a,b,rest" at its first two commas.
struct Split {
  string_view name, version, rest;
};
enum class SplitResult { OK, NO_COMMA, NO_SECOND_COMMA };

SplitResult split_dependency(string_view text, Split& out) {
  const size_t first = text.find(',');
  if (first == string_view::npos) return SplitResult::NO_COMMA;
  out.name = text.substr(0, first);
  const size_t second = text.find(',', first + 1);
  if (second == string_view::npos) return SplitResult::NO_SECOND_COMMA;
  out.version = text.substr(first + 1, second - first - 1);
  out.rest = text.substr(second + 1);
  return SplitResult::OK;
}

// NUL-terminated copies for the comparison, which takes C texts.
using Text = std::array<char, DEPENDENCY_TEXT_SIZE>;
Text text_of(string_view s) {
  Text t{};
  platform::copy_text(t, s.substr(0, TEXT_MAX));
  return t;
}

int check_hardware(string_view rest) {
  const size_t comma = rest.find(',');
  if (comma == string_view::npos) return DEP_NO_SECOND_COMMA;
  const char op = comma + 1 < rest.size() ? rest[comma + 1] : '\0';
  const string_view tag = string_view(core::hardware_tag()).substr(0, TEXT_MAX);
  const string_view wanted = rest.substr(0, comma);
  const size_t tag_dot = tag.find('.');
  const size_t wanted_dot = wanted.find('.');
  if (tag_dot == string_view::npos || wanted_dot == string_view::npos) return DEP_HW_FAILED;
  if (tag_dot == 0 || tag.substr(0, tag_dot) != wanted.substr(0, wanted_dot)) return 0;
  // The model becomes a zero major part, so that minor and patch decide.
  std::array<char, DEPENDENCY_TEXT_SIZE + 2> have{};
  std::array<char, DEPENDENCY_TEXT_SIZE + 2> need{};
  platform::format_text(have, "0.%.*s", static_cast<int>(tag.size() - tag_dot - 1),
                        tag.data() + tag_dot + 1);
  platform::format_text(need, "0.%.*s", static_cast<int>(wanted.size() - wanted_dot - 1),
                        wanted.data() + wanted_dot + 1);
  const int r = version_compare(have.data(), need.data(), op);
  return r < 0 ? DEP_HW_FAILED : r;
}

}  // namespace

int version_compare(const char* left, const char* right, char op) {
  if (left == nullptr || right == nullptr) return VERSION_ABSENT;
  if (!is_operator(op)) return VERSION_BAD_OPERATOR;
  const string_view l = string_view(left).substr(0, TEXT_MAX);
  const string_view r = string_view(right).substr(0, TEXT_MAX);
  std::array<uint32_t, PARTS> lv{};
  std::array<uint32_t, PARTS> rv{};
  bool wildcard = false;
  for (size_t k = 0; k < PARTS; ++k) {
    string_view lp, rp;
    if (!version_part(l, k, lp)) return VERSION_LEFT_MALFORMED;
    lv[k] = static_cast<uint32_t>(platform::decimal_prefix(lp));
    // The wildcard rule is looked at before the right part's own shape.
    const bool right_whole = version_part(r, k, rp);
    if (wildcard && !rp.starts_with('*')) return VERSION_BAD_WILDCARD;
    if (!right_whole) return VERSION_RIGHT_MALFORMED;
    if (rp.starts_with('*')) {
      wildcard = true;
      rv[k] = lv[k];
    } else {
      rv[k] = static_cast<uint32_t>(platform::decimal_prefix(rp));
    }
  }
  return relation_holds(pack(lv), pack(rv), op) ? 1 : 0;
}

int dependency_well_formed(const char* text) {
  if (text == nullptr) return DEP_ABSENT;
  const string_view t = string_view(text).substr(0, TEXT_MAX);
  // Compared against any version: only the shape of the required side and the operator count.
  constexpr char ANY_VERSION[] = "0.0.0";
  if (t.starts_with(HW_PREFIX)) {
    const string_view rest = t.substr(HW_PREFIX.size());
    const size_t comma = rest.find(',');
    if (comma == string_view::npos) return DEP_NO_SECOND_COMMA;
    const string_view wanted = rest.substr(0, comma);
    const size_t dot = wanted.find('.');
    if (dot == string_view::npos || dot == 0) return DEP_HW_FAILED;
    std::array<char, DEPENDENCY_TEXT_SIZE + 2> need{};
    platform::format_text(need, "0.%.*s", static_cast<int>(wanted.size() - dot - 1),
                          wanted.data() + dot + 1);
    const char op = comma + 1 < rest.size() ? rest[comma + 1] : '\0';
    return version_compare(ANY_VERSION, need.data(), op) < 0 ? DEP_HW_FAILED : 0;
  }
  Split parts;
  switch (split_dependency(t, parts)) {
    case SplitResult::NO_COMMA:
      return DEP_NO_COMMA;
    case SplitResult::NO_SECOND_COMMA:
      return DEP_NO_SECOND_COMMA;
    case SplitResult::OK:
      break;
  }
  if (parts.name.empty()) return DEP_UNKNOWN_REGION;
  const char op = parts.rest.empty() ? '\0' : parts.rest[0];
  return version_compare(ANY_VERSION, text_of(parts.version).data(), op) < 0 ? DEP_COMPARE_FAILED
                                                                             : 0;
}

const char* installed_version(const char* source, std::span<char> out) {
  if (source == nullptr || out.empty()) return nullptr;
  const string_view text = source;
  if (!text.starts_with(REGION_SOURCE)) return nullptr;
  string_view region = text.substr(REGION_SOURCE.size(), REGION_NAME_MAX);
  region = region.substr(0, region.find('#'));
  region = region.substr(0, region.find('~'));

  std::array<uint8_t, HEADER_BUFFER_SIZE> buffer;
  image::HeaderHandle handle;
  if (image::header_init(&handle, source, buffer.data(), buffer.size()) == nullptr ||
      storage::locator_read_header(&handle) == nullptr ||
      image::header_check(&handle, image::VERIFY_NONE) == 0 ||
      image::header_check(&handle, image::VERIFY_CHECKSUM) == 0) {
    return nullptr;
  }
  std::array<char, REGION_NAME_MAX + 1> alias{};
  if (image::header_get_string(&handle, "alias", alias.data(), alias.size()) == nullptr ||
      region != alias.data()) {
    return nullptr;
  }
  std::array<char, REGION_NAME_MAX + 1> version{};
  if (image::header_get_string(&handle, "version", version.data(), version.size()) == nullptr ||
      !platform::copy_text_whole(out, version.data())) {
    return nullptr;
  }
  return out.data();
}

int dependency_check(const char* text) {
  if (text == nullptr) return DEP_ABSENT;
  const string_view t = string_view(text).substr(0, TEXT_MAX);
  if (t.starts_with(HW_PREFIX)) return check_hardware(t.substr(HW_PREFIX.size()));

  Split parts;
  const SplitResult split = split_dependency(t, parts);
  if (split == SplitResult::NO_COMMA) return DEP_NO_COMMA;
  const Text name = text_of(parts.name);
  if (bootmap::bootmap_find(name.data()) == nullptr) return DEP_UNKNOWN_REGION;
  if (split == SplitResult::NO_SECOND_COMMA) return DEP_NO_SECOND_COMMA;

  std::array<char, REGION_SOURCE.size() + DEPENDENCY_TEXT_SIZE> source{};
  platform::format_text(source, "bmap@%s", name.data());
  std::array<char, DEPENDENCY_TEXT_SIZE> installed{};
  if (installed_version(source.data(), installed) == nullptr) return DEP_NOT_INSTALLED;
  const char op = parts.rest.empty() ? '\0' : parts.rest.front();
  const int r = version_compare(installed.data(), text_of(parts.version).data(), op);
  return r < 0 ? DEP_COMPARE_FAILED : r;
}

int dependency_check_batch(DependencySlot* slot) {
  if (slot == nullptr) return BATCH_DEP_ABSENT;
  Split parts;
  switch (split_dependency(platform::slot_text(slot->text).substr(0, TEXT_MAX), parts)) {
    case SplitResult::NO_COMMA:
      return BATCH_DEP_NO_COMMA;
    case SplitResult::NO_SECOND_COMMA:
      return BATCH_DEP_NO_SECOND_COMMA;
    case SplitResult::OK:
      break;
  }
  const Text version = text_of(parts.version);
  const Text op_text = text_of(parts.rest);
  for (const UpgradeEntry& entry : upgrade_batch()) {
    if (entry.alias[0] == '\0') break;
    if (platform::slot_text(entry.alias) != parts.name) continue;
    const int r = version_compare(entry.version.data(), version.data(), op_text[0]);
    if (r > 0) slot->resolved = 1;
    core::info_printf("Dependency-Update-Check(r=%d)->name(%s),c_version(%s),r_version(%s,%s)\n", r,
                      entry.alias.data(), entry.version.data(), version.data(), op_text.data());
    if (r < 0) return BATCH_DEP_COMPARE_FAILED;
  }
  return 0;
}

}  // namespace vorn::upgrade
