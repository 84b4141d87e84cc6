#include "upgrade/install.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "core/output.h"
#include "image/header_handle.h"
#include "image/inflate_stream.h"
#include "platform/fixed_text.h"
#include "platform/io.h"
#include "platform/scope_guard.h"
#include "platform/unique_fd.h"
#include "storage/header_open.h"
#include "storage/image_locator.h"
#include "storage/path_io.h"
#include "storage/region_id.h"
#include "storage/region_io.h"
#include "upgrade/trial_boot.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;
using Buffer = std::unique_ptr<uint8_t[]>;
using Locator = std::array<char, storage::LOCATOR_TEXT_SIZE>;

// What of the source goes to the partition.
struct Plan {
  int64_t offset = 0;  // first source byte written
  int64_t length = 0;  // source bytes to read (0: the whole source)
  bool compressed = false;
  bool setup = false;
};

Buffer allocate(size_t size) { return Buffer(new (std::nothrow) uint8_t[size]); }

unsigned long long ull(int64_t v) { return static_cast<unsigned long long>(v); }

// Writes consecutive blocks into raw windows of the target copy, each through a locator of its
// own, and keeps the CRC-32 of everything written for the read-back. A writer that only
// compares writes nothing: it keeps the CRC-32 of the blocks, and its read-back tells whether
// the copy holds them already.
class TargetWriter {
 public:
  enum class Mode { WRITE, COMPARE };

  TargetWriter(const char* region_id, Mode mode) : region_id_(region_id), mode_(mode) {
    Locator device{};
    platform::format_text(device, "bmap@%s,raw@0:0", region_id_);
    hold_ = storage::locator_hold(device.data());
  }

  // Writes the block at the current end; prints "W". False (message printed) when the write
  // was refused or came up short.
  bool write(std::span<const uint8_t> block) {
    if (mode_ == Mode::COMPARE) {
      crc_ = ::crc32(crc_, block.data(), static_cast<uInt>(block.size()));
      written_ += static_cast<int64_t>(block.size());
      return true;
    }
    platform::format_text(locator_, "bmap@%s,raw@0x%llx:0x%zx", region_id_, ull(written_),
                          block.size());
    const int64_t n = storage::locator_write(locator_.data(), block, written_,
                                             static_cast<int64_t>(block.size()));
    if (n != static_cast<int64_t>(block.size())) {
      info_printf("\n[Error] Write Fail(%s)(%lld)!\n", locator_.data(), static_cast<long long>(n));
      return false;
    }
    crc_ = ::crc32(crc_, block.data(), static_cast<uInt>(block.size()));
    written_ += n;
    info_printf("W");
    return true;
  }

  // Flushes the target and reads everything written back from the device, past the page
  // cache. INSTALL_DONE, or INSTALL_NOT_DURABLE (message printed).
  int verify() const {
    Locator whole{};
    platform::format_text(whole, "bmap@%s,raw@0x0:0x%llx", region_id_, ull(written_));
    if (mode_ == Mode::WRITE && storage::locator_sync(whole.data()) != 0) {
      info_printf("[Error] Sync Fail(%s)!\n", whole.data());
      return INSTALL_NOT_DURABLE;
    }
    uint32_t crc = 0;
    const int64_t n = storage::locator_crc32(whole.data(), &crc);
    if (mode_ == Mode::COMPARE) {
      if (n == written_ && crc == crc_) return INSTALL_DONE;
      info_printf("[Error] Not Installed(%s)(crc32 0x%08x != 0x%08x)!\n", whole.data(), crc,
                  static_cast<uint32_t>(crc_));
      return INSTALL_NOT_INSTALLED;
    }
    if (n != written_ || crc != crc_) {
      info_printf("[Error] Verify Fail(%s)(crc32 0x%08x != 0x%08x)!\n", whole.data(), crc,
                  static_cast<uint32_t>(crc_));
      return INSTALL_NOT_DURABLE;
    }
    info_printf("Verified Image at (0x%llx) crc32(0x%08x)\n", ull(written_), crc);
    return INSTALL_DONE;
  }

  [[nodiscard]] int64_t written() const { return written_; }
  [[nodiscard]] const char* last_locator() const { return locator_.data(); }

 private:
  const char* region_id_;
  Mode mode_;
  platform::UniqueFd hold_;  // keeps each block's close from flushing the whole device
  Locator locator_{};
  int64_t written_ = 0;
  uLong crc_ = ::crc32(0L, Z_NULL, 0);
};

// One zlib stream fed chunk by chunk, its output written in INSTALL_BLOCK_SIZE blocks.
class Inflater {
 public:
  Inflater() : ok_(image::inflate_begin(&stream_) == Z_OK) {}
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() { (void)image::inflate_finish(&stream_); }

  [[nodiscard]] bool begin() {
    block_ = allocate(INSTALL_BLOCK_SIZE);
    return ok_ && block_ != nullptr;
  }

  // Inflates all of a chunk; prints "Z" per step. 0, or an INSTALL_* failure.
  int feed(std::span<const uint8_t> in, TargetWriter& out) {
    while (!in.empty()) {
      const uint32_t space = INSTALL_BLOCK_SIZE - fill_;
      uint32_t produced = space;
      uint32_t consumed = static_cast<uint32_t>(in.size());
      const int r =
          image::inflate_step(&stream_, block_.get() + fill_, &produced, in.data(), &consumed);
      info_printf("Z");
      if (r != Z_OK) return fail("data error", r);
      fill_ += produced;
      in = in.subspan(consumed);
      if (fill_ == INSTALL_BLOCK_SIZE && !flush(out)) return INSTALL_WRITE_FAILED;
      // A step that stops with input left and room to spare has reached the end of the
      // stream (or cannot go on): the input behind it is not part of the contents.
      if (!in.empty() && produced < space) return fail("data after the end of the stream", 0);
    }
    return 0;
  }

  // Writes what the stream still holds once all input is in; the stream must have ended.
  int drain(TargetWriter& out) {
    static constexpr uint8_t NONE = 0;
    for (;;) {
      uint32_t produced = INSTALL_BLOCK_SIZE - fill_;
      uint32_t consumed = 0;
      const int r =
          image::inflate_step(&stream_, block_.get() + fill_, &produced, &NONE, &consumed);
      if (r != Z_OK) return fail("stream cut short", r);
      fill_ += produced;
      if ((fill_ == INSTALL_BLOCK_SIZE || (produced == 0 && fill_ > 0)) && !flush(out)) {
        return INSTALL_WRITE_FAILED;
      }
      if (produced == 0) return 0;  // no progress without an error: the stream has ended
    }
  }

 private:
  bool flush(TargetWriter& out) {
    const bool ok = out.write({block_.get(), fill_});
    fill_ = 0;
    return ok;
  }

  static int fail(const char* why, int code) {
    info_printf("\n[Error] Unzip Fail(%s)(%d)!\n", why, code);
    return INSTALL_INFLATE_FAILED;
  }

  z_stream stream_;
  bool ok_;
  Buffer block_;
  uint32_t fill_ = 0;
};

// Reads the source in INSTALL_READ_SIZE chunks ("R" per chunk) and hands each to sink.
template <typename Sink>
int stream_source(const platform::UniqueFd& source, const Plan& plan, int64_t length, Sink&& sink) {
  Buffer chunk = allocate(INSTALL_READ_SIZE);
  if (chunk == nullptr) return INSTALL_NO_BUFFER;
  for (int64_t pos = 0; pos < length;) {
    const int64_t want = std::min<int64_t>(length - pos, INSTALL_READ_SIZE);
    info_printf("R");
    const int64_t got = platform::read_fully_at(source.get(), chunk.get(),
                                                static_cast<size_t>(want), plan.offset + pos);
    if (got != want) {
      info_printf(" r(%x) != (int)read_req(%x)\n", static_cast<unsigned>(got),
                  static_cast<unsigned>(want));
      return INSTALL_SHORT_READ;
    }
    if (const int r = sink(std::span<const uint8_t>(chunk.get(), static_cast<size_t>(got)));
        r != 0) {
      return r;
    }
    pos += got;
  }
  return 0;
}

// Reads and checks the header; fills the plan. 0 or an INSTALL_* failure.
int plan_image(const char* path, const platform::UniqueFd& source, int full,
               std::string_view region, const char* fs, Plan& plan) {
  std::array<uint8_t, image::HEADER_SIZE> buffer;
  image::HeaderHandle handle;
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
    return INSTALL_REFUSED;
  }
  info_printf("Verify VIF file ok\n");
  const uint32_t contents_off = image::header_get_u32(&handle, "contents_off");
  plan.length = image::header_get_u32(&handle, "contents_size");
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
    plan.offset = 0;
    plan.length += image::HEADER_SIZE;
  } else if (type == bootmap::FS_EXT4) {
    plan.offset = contents_off;
  } else {
    return INSTALL_REFUSED;
  }
  return 0;
}

int copy_into(const char* region_id, const platform::UniqueFd& source, const Plan& plan,
              TargetWriter::Mode mode) {
  if (!source) return INSTALL_SHORT_READ;
  int64_t length = plan.length;
  if (length == 0) length = storage::fd_size(source);
  // A plain image must fit the copy; this is known before anything is written.
  std::array<char, storage::LOCATOR_TEXT_SIZE> whole{};
  platform::format_text(whole, "bmap@%s,raw@0:0", region_id);
  const int64_t room = storage::locator_device_size(whole.data());
  if (!plan.compressed && room > 0 && length > room) {
    info_printf("[Error] Image Too Large(0x%llx > 0x%llx)!\n", ull(length), ull(room));
    return INSTALL_WRITE_FAILED;
  }

  TargetWriter target(region_id, mode);
  int result = 0;
  if (plan.compressed) {
    Inflater inflater;
    if (!inflater.begin()) return INSTALL_NO_INFLATE_BUFFER;
    result = stream_source(source, plan, length,
                           [&](std::span<const uint8_t> in) { return inflater.feed(in, target); });
    if (result == 0) result = inflater.drain(target);
    if (result == 0 && mode == TargetWriter::Mode::WRITE) {
      info_printf("\nInstalled Image(unziped) at (0x%llx/0x%llx)\n", ull(target.written()),
                  ull(length));
    }
  } else {
    result = stream_source(source, plan, length, [&](std::span<const uint8_t> in) {
      return target.write(in) ? 0 : INSTALL_WRITE_FAILED;
    });
    if (result == 0 && mode == TargetWriter::Mode::WRITE) {
      info_printf("\nInstalled Image to (%s)/(0x%x:0x%llx)\n", target.last_locator(), 0,
                  ull(length));
    }
  }
  return result != 0 ? result : target.verify();
}

}  // namespace

namespace {

// The install and its comparison: install_image with the writer's mode.
int install_or_compare(const char* region_id, const char* path, int raw, int full, int dry,
                       TargetWriter::Mode mode) {
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

  // The source is opened once, for its header, its size and its bytes, and released (a file
  // system mounted to read it unmounted, after the descriptor is closed) on every path.
  platform::ScopeGuard release([path] { (void)storage::locator_release(path); });
  const platform::UniqueFd source = storage::locator_open(path);
  Plan plan;
  if (raw == 0) {
    if (const int r = plan_image(path, source, full, id.name.data(), fs, plan); r != 0) return r;
  } else if (!exists) {
    return INSTALL_REFUSED;
  }
  if (dry != 0) return plan.setup ? INSTALL_WANTS_SETUP : INSTALL_DONE;
  const int r = copy_into(region_id, source, plan, mode);
  if (r != 0) return r;
  if (mode == TargetWriter::Mode::COMPARE) return INSTALL_DONE;
  return plan.setup ? INSTALL_WANTS_SETUP : INSTALL_DONE;
}

}  // namespace

int install_image(const char* region_id, const char* path, int raw, int full, int dry) {
  return install_or_compare(region_id, path, raw, full, dry, TargetWriter::Mode::WRITE);
}

int installed_image_check(const char* region_id, const char* path) {
  return install_or_compare(region_id, path, 0, 0, 0, TargetWriter::Mode::COMPARE);
}

}  // namespace vorn::upgrade
