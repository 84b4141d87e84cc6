#include "upgrade/image_checks.h"

#include <array>
#include <string_view>

#include "core/output.h"
#include "core/progress.h"
#include "image/header_handle.h"
#include "image/integrity.h"
#include "platform/fixed_text.h"
#include "platform/unique_fd.h"
#include "storage/header_open.h"
#include "storage/region_io.h"
#include "storage/url_source.h"
#include "upgrade/dependency.h"
#include "upgrade/image_authenticity.h"
#include "upgrade/install.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;

constexpr std::array<const char*, ENTRY_DEPS> SW_FIELDS = {"req_sw0", "req_sw1", "req_sw2",
                                                           "req_sw3", "req_sw4"};
constexpr std::string_view PLAIN_FILE = "file@!,";

// An image's header, read and fully checked by the common opening of the checks.
struct OpenedImage {
  std::array<uint8_t, image::HEADER_SIZE> buffer;
  image::HeaderHandle handle;
};

// The common opening: prepares, reads and verifies the header (from file when it is open
// already); 0 or a CHECK_* code.
int open_image(const char* path, OpenedImage& image, const platform::UniqueFd* file = nullptr) {
  if (storage::url_too_long(path)) return CHECK_NOT_VERIFIED;
  if (image::header_init(&image.handle, path, image.buffer.data(), image.buffer.size()) ==
      nullptr) {
    return CHECK_NO_HANDLE;
  }
  info_printf("Checking VIF file from (%s)\n", path);
  const image::HeaderHandle* checked = file != nullptr
                                           ? storage::header_open_checked(&image.handle, 1, *file)
                                           : storage::header_open_checked(&image.handle, 1);
  if (checked == nullptr) {
    info_printf("Verify fail\n");
    return CHECK_NOT_VERIFIED;
  }
  info_printf("Verify VIF file ok\n");
  return 0;
}

using Dependency = std::array<char, DEPENDENCY_TEXT_SIZE>;

bool read_dependency(image::HeaderHandle& handle, const char* field, Dependency& out) {
  out.fill('\0');
  return image::header_get_string(&handle, field, out.data(), out.size()) != nullptr;
}

// The req_hw outcome of the match and contents checks: 1 go on, 0 denied, or a code.
int match_hardware(image::HeaderHandle& handle) {
  Dependency dep;
  if (!read_dependency(handle, "req_hw", dep)) {
    info_printf("Match(%s) error!\n", "req_hw");
    return CHECK_HW_UNREADABLE;
  }
  const int r = dependency_check(dep.data());
  if (r < 0) {
    info_printf("Match(%s) error!\n", "req_hw");
    return CHECK_HW_ERROR;
  }
  if (r == 0) info_printf("Match(%s) denied!\n", "req_hw");
  return r;
}

void copy_alias(image::HeaderHandle& handle, std::span<char> alias_out) {
  Dependency alias;
  if (!alias_out.empty() && read_dependency(handle, "alias", alias)) {
    platform::copy_text(alias_out, alias.data());
  }
}

// Byte count and comparison of one contents value; 1 match, 0 mismatch, or a code.
int compare_contents(image::HeaderHandle& handle, const platform::UniqueFd& file, int method) {
  const uint32_t size = image::header_get_u32(&handle, "contents_size");
  uint32_t value = 0;
  switch (method) {
    case image::VERIFY_CHECKSUM:
      if (image::contents_digest(file, &value, nullptr, nullptr, image::HEADER_SIZE) != size) {
        return CONTENTS_SUM_COUNT;
      }
      return value == image::header_get_u32(&handle, "contents_checksum") ? 1 : 0;
    case image::VERIFY_CRC32:
      if (image::contents_digest(file, nullptr, &value, nullptr, image::HEADER_SIZE) != size) {
        return CONTENTS_CRC_COUNT;
      }
      return value == image::header_get_u32(&handle, "contents_crc32") ? 1 : 0;
    case image::VERIFY_SHA1: {
      std::array<uint8_t, 21> stored{};
      if (image::header_get_binary(&handle, "contents_sha1", stored.data(), stored.size()) != 20) {
        return CONTENTS_NO_SHA1;
      }
      std::array<uint8_t, 20> digest{};
      if (image::contents_digest(file, nullptr, nullptr, digest.data(), image::HEADER_SIZE) !=
          size) {
        return CONTENTS_SHA1_COUNT;
      }
      return std::equal(digest.begin(), digest.end(), stored.begin()) ? 1 : 0;
    }
    default:
      return 0;
  }
}

}  // namespace

int check_image_match(const char* path, std::span<char> alias_out, int sw_match_off) {
  if (path == nullptr) return CHECK_ABSENT;
  OpenedImage image;
  if (const int r = open_image(path, image); r != 0) return r;
  if (const int r = match_hardware(image.handle); r <= 0) return r;
  if (sw_match_off == 0) {
    for (size_t i = 0; i < SW_FIELDS.size(); ++i) {
      Dependency dep;
      if (!read_dependency(image.handle, SW_FIELDS[i], dep) || dep[0] == '\0') continue;
      const int r = dependency_check(dep.data());
      if (r < 0) {
        info_printf("Match(%s) error!\n", SW_FIELDS[i]);
        return CHECK_SW_ERROR_FIRST - static_cast<int>(i);
      }
      if (r == 0) {
        info_printf("Match(%s) denied!\n", SW_FIELDS[i]);
        return 0;
      }
    }
  }
  copy_alias(image.handle, alias_out);
  info_printf("Match(%s) accepted!\n", sw_match_off != 0 ? "SW match is disabled" : "All");
  return 1;
}

int check_image_contents(const char* path, int method, std::span<char> alias_out) {
  if (path == nullptr) return CHECK_ABSENT;
  // A plain file is opened once, for its header and its contents (so both come from one file
  // however its path changes meanwhile); other sources are read as their kind.
  const std::string_view text = path;
  const platform::UniqueFd file =
      text.starts_with(PLAIN_FILE) ? storage::locator_open(path) : platform::UniqueFd();
  OpenedImage image;
  if (const int r = open_image(path, image, file ? &file : nullptr); r != 0) return r;
  if (const int r = match_hardware(image.handle); r <= 0) return r;
  if (image::header_get_u32(&image.handle, "contents_off") != image::HEADER_SIZE) {
    return CONTENTS_BAD_OFFSET;
  }
  if (image::header_get_u32(&image.handle, "contents_size") == 0) return CONTENTS_EMPTY;
  if (!file) return CONTENTS_NOT_A_FILE;
  const int result = compare_contents(image.handle, file, method);
  if (result >= 0) copy_alias(image.handle, alias_out);
  return result;
}

int cmd_check_image(const char* path, int sw_match, int contents) {
  if (path == nullptr) return -1;
  std::array<char, ENTRY_TEXT_SIZE> alias{};
  if (contents != 0) {
    const int r = check_image_contents(path, image::VERIFY_CRC32, alias);
    if (r >= 1) {
      info_printf("Checked Image File(Header+Contents)(%s)->ok!\n", path);
      return 0;
    }
    info_printf("Checked Image File(Header+Contents)(%s)->not valid(%d)!\n", path, r);
    return -1;
  }
  core::progress_begin(core::Stage::CHECK, 1, 1, {}, 0);
  int r = check_image_match(path, alias, sw_match == 0 ? 1 : 0) >= 1 ? 0 : -1;
  // "check upgrade" answers what an upgrade would: with the trust store, for every byte.
  if (r == 0 && sw_match != 0 && signatures_required()) {
    image::ImageSignature signature;
    r = authenticity_check_file(path, true, signature);
  }
  if (r == 0) {
    info_printf("Checked Image File(%s)->ok!\n", path);
    return 0;
  }
  info_printf("Checked Image File(%s)->not valid!\n", path);
  // A header that could not be fetched fails with its download's code.
  if (r == -1 && storage::url_last_error() != storage::URL_OK) return storage::url_last_error();
  return install_refusal(r) ? r : -1;
}

int check_upgrade_entry(const char* path, UpgradeEntry* entry) {
  if (path == nullptr || entry == nullptr) return CHECK_ABSENT;
  OpenedImage image;
  if (const int r = open_image(path, image); r != 0) return r;
  Dependency dep;
  if (!read_dependency(image.handle, "req_hw", dep)) {
    info_printf("Dependency(%s) error!\n", "req_hw");
    return ENTRY_HW_UNREADABLE;
  }
  if (const int r = dependency_check(dep.data()); r <= 0) {
    info_printf("Dependency(%s) error!\n", "req_hw");
    return r < 0 ? CHECK_HW_ERROR : ENTRY_HW_NOT_MET;
  }

  *entry = UpgradeEntry{};
  // Never cut: a cut alias could name another region of the batch.
  if (!read_dependency(image.handle, "alias", dep) ||
      !platform::copy_text_whole(entry->alias, dep.data())) {
    info_printf("Dependency(%s) error!\n", "alais");
    return ENTRY_NO_ALIAS;
  }
  if (!read_dependency(image.handle, "version", dep) ||
      !platform::copy_text_whole(entry->version, dep.data())) {
    info_printf("Dependency(%s) error!\n", "version");
    return ENTRY_NO_VERSION;
  }
  int unmet = 0;
  for (size_t i = 0; i < SW_FIELDS.size(); ++i) {
    if (!read_dependency(image.handle, SW_FIELDS[i], dep) || dep[0] == '\0') continue;
    const int r = dependency_check(dep.data());
    if (r < 0) {
      info_printf("Dependency(%s) error!\n", SW_FIELDS[i]);
      return CHECK_SW_ERROR_FIRST - static_cast<int>(i);
    }
    if (r == 0) {
      info_printf("Dependency(%s) Found!\n", dep.data());
      platform::copy_text(entry->deps[static_cast<size_t>(unmet)].text, dep.data());
      ++unmet;
    }
  }
  if (unmet == 0) info_printf("Dependency(%s) None!\n", "");
  return unmet;
}

int check_upgrade_batch(int count, const char* const* paths) {
  upgrade_batch_clear();
  const auto batch = upgrade_batch();
  int checked = 0;
  for (int i = 0; i < count && i < static_cast<int>(BATCH_SIZE) && paths != nullptr; ++i) {
    core::progress_begin(core::Stage::CHECK, i + 1, count, {}, 0);
    if (check_upgrade_entry(paths[i], &batch[static_cast<size_t>(i)]) < 0) {
      return BATCH_IMAGE_FAILED;
    }
    ++checked;
  }
  // Walks the unmet slots of the batch in order.
  const auto for_each_unmet = [&batch](auto&& visit) {
    for (UpgradeEntry& entry : batch) {
      if (entry.alias[0] == '\0') return true;
      for (DependencySlot& slot : entry.deps) {
        if (slot.text[0] == '\0') break;
        if (slot.resolved == 0 && !visit(slot)) return false;
      }
    }
    return true;
  };
  if (checked > 1 &&
      !for_each_unmet([](DependencySlot& slot) { return dependency_check_batch(&slot) >= 0; })) {
    return BATCH_RESOLUTION_FAILED;
  }
  int unmet = 0;
  for_each_unmet([&unmet](DependencySlot& slot) {
    if (unmet++ != 0) core::result_print("|");
    core::result_print(platform::slot_text(slot.text));
    return true;
  });
  return unmet;
}

int check_image_alias(const char* path, int full, std::span<char> alias_out) {
  if (path == nullptr) return CHECK_ABSENT;
  std::array<uint8_t, image::HEADER_SIZE> buffer;
  image::HeaderHandle handle;
  if (image::header_init(&handle, path, buffer.data(), buffer.size()) == nullptr) {
    return ALIAS_NO_HANDLE;
  }
  if (storage::header_open_checked(&handle, full) == nullptr) return ALIAS_NOT_VERIFIED;
  Dependency alias{};
  if (alias_out.empty() ||
      image::header_get_string(&handle, "alias", alias.data(), alias.size()) == nullptr ||
      !platform::copy_text_whole(alias_out, alias.data())) {
    return ALIAS_MISSING;
  }
  return 0;
}

}  // namespace vorn::upgrade
