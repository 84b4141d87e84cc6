#include "upgrade/install.h"

#include <array>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "bootmap/boot_map.h"
#include "core/output.h"
#include "core/progress.h"
#include "image/field_table.h"
#include "image/header_handle.h"
#include "image/integrity.h"
#include "platform/fixed_text.h"
#include "platform/io.h"
#include "platform/scope_guard.h"
#include "platform/unique_fd.h"
#include "storage/header_open.h"
#include "storage/image_locator.h"
#include "storage/path_io.h"
#include "storage/region_id.h"
#include "storage/region_io.h"
#include "storage/url_source.h"
#include "upgrade/bootable_copies.h"
#include "upgrade/image_authenticity.h"
#include "upgrade/image_sink.h"
#include "upgrade/trial_boot.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// Reads and checks the header (from the source, so that the bytes streamed later can be held
// against it), and with a signature to check, the signature's structure and chain and the
// downgrade rule; fills the plan. 0 or an INSTALL_* failure.
int plan_image(const char* path, const platform::UniqueFd& source, int full,
               std::string_view region, const char* fs, ImagePlan& plan,
               image::ImageSignature* signature) {
  std::array<uint8_t, image::HEADER_SIZE> buffer;
  image::HeaderHandle handle;
  if (storage::url_too_long(path)) return storage::URL_UNUSABLE;
  if (image::header_init(&handle, path, buffer.data(), buffer.size()) == nullptr) {
    return INSTALL_NO_HANDLE;
  }
  info_printf("Checking VIF file from (%s)\n", path);
  // A source that is no file to open (a region's header, say) is read as its kind of source;
  // its contents cannot be copied then.
  const image::HeaderHandle* checked = source ? storage::header_open_checked(&handle, full, source)
                                              : storage::header_open_checked(&handle, full);
  if (checked == nullptr) {
    info_printf("Verify fail\n");
    // A header that could not be fetched fails with its download's code.
    const int download = storage::is_url(path) ? storage::url_last_error() : storage::URL_OK;
    return download != storage::URL_OK ? download : INSTALL_REFUSED;
  }
  info_printf("Verify VIF file ok\n");
  plan.header = buffer;
  plan.contents_off = image::header_get_u32(&handle, "contents_off");
  plan.copy_length = image::header_get_u32(&handle, "contents_size");
  plan.file_size = plan.contents_off + plan.copy_length;
  plan.contents_checksum = image::header_get_u32(&handle, "contents_checksum");
  plan.contents_crc32 = image::header_get_u32(&handle, "contents_crc32");
  (void)image::header_get_binary(&handle, "contents_sha1", plan.contents_sha1.data(),
                                 image::SHA1_SIZE);
  std::array<char, 16> alias{};
  if (image::header_get_string(&handle, "alias", alias.data(), alias.size()) == nullptr ||
      region != alias.data()) {
    info_printf("[Error] Not Match Alias(%.*s/%s)!\n", static_cast<int>(region.size()),
                region.data(), alias.data());
    return INSTALL_REFUSED;
  }
  const std::string_view type = fs ? fs : "";
  plan.compressed = (image::header_get_u32(&handle, "hdr_cap") & image::HDR_CAP_COMPRESSED) != 0;
  plan.setup = image::header_get_u32(&handle, "tag_setup") != 0;
  if (type == bootmap::FS_ANDROIDBOOT) {
    if (plan.compressed) {
      info_printf("[Error] Compressed Image Not Allowed(%s/%s)!\n", alias.data(), fs);
      return INSTALL_REFUSED;
    }
    plan.copy_offset = 0;
    plan.copy_length += image::HEADER_SIZE;
  } else if (type == bootmap::FS_EXT4) {
    plan.copy_offset = plan.contents_off;
  } else {
    return INSTALL_REFUSED;
  }
  if (signature == nullptr) return 0;
  std::array<char, 16> version{};
  (void)image::header_get_string(&handle, "version", version.data(), version.size());
  return authenticity_check(path, alias.data(), version.data(), *signature);
}

// Checks, before anything is written, that the file (of size bytes) is exactly as long as its
// header says and that a plain image fits the copy. 0 or an INSTALL_* failure.
int check_size(const char* path, const char* region_id, uint64_t size, ImagePlan& plan) {
  if (plan.raw) {
    plan.file_size = plan.copy_length = size;
  } else if (size != plan.file_size) {
    const bool shorter = size < plan.file_size;
    info_printf("[Error] Image File %s(%s)(0x%llx %s 0x%llx)!\n", shorter ? "Short" : "Too Long",
                path, ull(size), shorter ? "<" : ">", ull(plan.file_size));
    return shorter ? INSTALL_SHORT_READ : INSTALL_CONTENTS_INVALID;
  }
  std::array<char, storage::LOCATOR_TEXT_SIZE> whole{};
  platform::format_text(whole, "bmap@%s,raw@0:0", region_id);
  const int64_t room = storage::locator_device_size(whole.data());
  if (!plan.compressed && room > 0 && plan.copy_length > static_cast<uint64_t>(room)) {
    info_printf("[Error] Image Too Large(0x%llx > 0x%llx)!\n", ull(plan.copy_length), ull(room));
    return INSTALL_WRITE_FAILED;
  }
  return 0;
}

// One pass over the source into the sink: the bytes before the copy's part in pieces, then
// INSTALL_READ_SIZE reads ("R" each) to the end. 0 or an INSTALL_* failure.
int stream_file(const platform::UniqueFd& source, const ImagePlan& plan, ImageSink& sink) {
  const std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[INSTALL_READ_SIZE]);
  if (chunk == nullptr) return INSTALL_NO_BUFFER;
  if (const int r = sink.start(); r != 0) return r;
  for (uint64_t pos = 0; pos < plan.file_size;) {
    const bool before_copy = pos < plan.copy_offset;
    const uint64_t end = before_copy ? plan.copy_offset : plan.file_size;
    const auto want = static_cast<size_t>(std::min<uint64_t>(end - pos, INSTALL_READ_SIZE));
    if (!before_copy) info_printf("R");
    const ssize_t got =
        platform::read_fully_at(source.get(), chunk.get(), want, static_cast<off_t>(pos));
    if (got != static_cast<ssize_t>(want)) {
      info_printf(" r(%x) != (int)read_req(%x)\n", static_cast<unsigned>(got),
                  static_cast<unsigned>(want));
      return INSTALL_SHORT_READ;
    }
    if (const int r = sink.consume({chunk.get(), want}); r != 0) return r;
    pos += want;
    core::progress_bytes(static_cast<int64_t>(pos));
  }
  return sink.finish();
}

// The image on a server, streamed from its first byte into the sink in the pieces a file is read
// in (the bytes before the copy's part, then INSTALL_READ_SIZE pieces, "R" each): the network
// hands over a few KiB at a time, and each piece the sink takes is a write into the copy.
class UrlFeed final : public storage::UrlSink {
 public:
  UrlFeed(const ImagePlan& plan, ImageSink& sink)
      : plan_(plan),
        sink_(sink),
        piece_(new (std::nothrow) uint8_t[INSTALL_READ_SIZE]),
        piece_end_(plan.copy_offset > 0 ? plan.copy_offset : INSTALL_READ_SIZE) {}

  [[nodiscard]] bool ready() const { return piece_ != nullptr; }

  int consume(std::span<const uint8_t> bytes) override {
    while (!bytes.empty()) {
      const auto n = static_cast<size_t>(std::min<uint64_t>(bytes.size(), piece_end_ - position_));
      std::copy_n(bytes.begin(), n, piece_.get() + filled_);
      filled_ += n;
      position_ += n;
      bytes = bytes.subspan(n);
      if (position_ == piece_end_) {
        if (const int r = flush(); r != 0) return r;
        piece_end_ += INSTALL_READ_SIZE;
      }
    }
    return 0;
  }

  // The last piece, shorter.
  [[nodiscard]] int flush() {
    if (filled_ == 0) return 0;
    if (position_ > plan_.copy_offset) info_printf("R");
    core::progress_bytes(static_cast<int64_t>(position_));
    const int r = sink_.consume({piece_.get(), filled_});
    filled_ = 0;
    return r;
  }

 private:
  const ImagePlan& plan_;
  ImageSink& sink_;
  std::unique_ptr<uint8_t[]> piece_;
  size_t filled_ = 0;
  uint64_t position_ = 0;
  uint64_t piece_end_;
};

int stream_url(const char* url, const ImagePlan& plan, ImageSink& sink) {
  UrlFeed feed(plan, sink);
  if (!feed.ready()) return INSTALL_NO_BUFFER;
  if (const int r = sink.start(); r != 0) return r;
  if (const int r = storage::url_stream(url, feed); r != 0) return r;
  if (const int r = feed.flush(); r != 0) return r;
  return sink.finish();
}

// The size of the source: of the file, or as the server named it.
uint64_t source_size(const char* path, const platform::UniqueFd& source) {
  storage::UrlHeader header;
  if (!storage::is_url(path)) return static_cast<uint64_t>(storage::fd_size(source));
  return storage::url_read_header(path, &header) == 0 ? static_cast<uint64_t>(header.total) : 0;
}

// The install and its comparison: install_image with the writer's mode.
int install_or_compare(const char* region_id, const char* path, int raw, int full, int dry,
                       CopyMode mode) {
  if (region_id == nullptr || path == nullptr) return INSTALL_REFUSED;
  storage::RegionId id;
  if (!storage::region_id_parse(region_id, id)) {
    const std::string_view text = region_id;
    std::array<char, bootmap::REGION_NAME_SIZE> name{};
    const bool known = platform::copy_text_whole(name, text.substr(0, text.find_first_of("#~"))) &&
                       bootmap::bootmap_find(name.data()) != nullptr;
    info_printf("[Error] Bad Region Id(%s)!\n", region_id);
    return known ? INSTALL_REFUSED : INSTALL_NO_REGION;
  }
  if (bootmap::bootmap_find(id.name.data()) == nullptr) return INSTALL_NO_REGION;
  storage::SelectedCopy copy;
  const bool exists = storage::region_id_select(id, copy);
  const char* fs = exists ? copy.fs_type : nullptr;
  if (const int r = trial_install_check(id.name.data(), exists ? copy.device.data() : nullptr);
      r != 0) {
    return r;
  }
  const bool url = storage::is_url(path);
  const bool bootable =
      mode == CopyMode::WRITE && dry == 0 && copy_is_bootable(id.name.data(), copy.device.data());
  if (url && raw != 0) return INSTALL_REFUSED;
  if (url && bootable) {
    // A stream is read once: verifying it whole before writing would mean storing it.
    return storage::url_fail(
        path, storage::URL_INTO_BOOTED_COPY,
        "nothing streamed can be verified before it is written into a copy the board boots");
  }

  // The source is opened once, for its header, its size and its bytes, and released (a file
  // system mounted to read it unmounted, after the descriptor is closed) on every path. An image
  // on a server has its header fetched once for the command and its bytes streamed.
  platform::ScopeGuard release([path] { (void)storage::locator_release(path); });
  const platform::UniqueFd source = url ? platform::UniqueFd() : storage::locator_open(path);
  ImagePlan plan;
  image::ImageSignature signature;
  image::ImageSignature* required = nullptr;
  if (raw == 0) {
    if (signatures_required()) required = &signature;
    const int r = plan_image(path, source, full, id.name.data(), fs, plan, required);
    if (r != 0) return r;
  } else if (!exists) {
    return INSTALL_REFUSED;
  } else {
    plan.raw = true;
  }
  if (dry != 0) return plan.setup ? INSTALL_WANTS_SETUP : INSTALL_DONE;
  if (!url && !source) return INSTALL_SHORT_READ;
  if (const int r = check_size(path, region_id, source_size(path, source), plan); r != 0) {
    return r;
  }

  int r = 0;
  const auto size = static_cast<int64_t>(plan.file_size);
  if (bootable) {
    // The board boots this copy: the whole file is checked before the first byte is written,
    // and what is read for the write must be what was checked.
    core::progress_stage(core::Stage::CHECK, size);
    ImageSink check(path, region_id, plan, CopyMode::VERIFY, required, nullptr);
    r = stream_file(source, plan, check);
    if (r == 0) {
      core::progress_stage(core::Stage::INSTALL, size);
      ImageSink write(path, region_id, plan, mode, required, &check.digests());
      r = stream_file(source, plan, write);
      if (r != 0 && write.written() > 0) {
        info_printf(
            "[Error] Copy Torn(bmap@%s)(%d)! It no longer holds a whole image: install "
            "one again before the next boot.\n",
            region_id, r);
      }
    }
  } else {
    core::progress_stage(core::Stage::INSTALL, size);
    ImageSink sink(path, region_id, plan, mode, required, nullptr);
    r = url ? stream_url(path, plan, sink) : stream_file(source, plan, sink);
  }
  if (r != 0 || mode == CopyMode::COMPARE) return r;
  return plan.setup ? INSTALL_WANTS_SETUP : INSTALL_DONE;
}

}  // namespace

int install_image(const char* region_id, const char* path, int raw, int full, int dry) {
  return install_or_compare(region_id, path, raw, full, dry, CopyMode::WRITE);
}

int installed_image_check(const char* region_id, const char* path) {
  return install_or_compare(region_id, path, 0, 0, 0, CopyMode::COMPARE);
}

}  // namespace vorn::upgrade
