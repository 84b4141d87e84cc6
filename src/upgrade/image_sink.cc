#include "upgrade/image_sink.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

#include "bootmap/boot_map.h"
#include "core/output.h"
#include "core/progress.h"
#include "image/inflate_stream.h"
#include "platform/fixed_text.h"
#include "platform/unique_fd.h"
#include "storage/image_locator.h"
#include "storage/region_io.h"
#include "upgrade/image_authenticity.h"
#include "upgrade/install.h"

namespace vorn::upgrade {

namespace {

using core::info_printf;
using Locator = std::array<char, storage::LOCATOR_TEXT_SIZE>;

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

// Writes consecutive blocks into raw windows of the target copy, each through a locator of its
// own, and keeps the CRC-32 of everything written for the read-back (unless the caller knows it
// already: the digests' CRC-32 of a plain image's contents is the CRC-32 of what goes into the
// copy). A writer that compares writes nothing: its read-back tells whether the copy holds the
// blocks already. A writer that verifies only counts the blocks against the copy's size.
class TargetWriter {
 public:
  TargetWriter(const char* region_id, CopyMode mode, bool keep_crc)
      : region_id_(region_id), mode_(mode), keep_crc_(keep_crc) {
    Locator device{};
    platform::format_text(device, "bmap@%s,raw@0:0", region_id_);
    if (mode_ == CopyMode::WRITE) hold_ = storage::locator_hold(device.data());
    if (mode_ == CopyMode::VERIFY) room_ = storage::locator_device_size(device.data());
  }

  // Writes the block at the current end; prints "W". False (message printed) when the write
  // was refused or came up short, or the block would not fit the copy.
  bool write(std::span<const uint8_t> block) {
    const auto size = static_cast<int64_t>(block.size());
    if (mode_ == CopyMode::VERIFY) {
      written_ += size;
      if (room_ <= 0 || written_ <= room_) return true;
      info_printf("\n[Error] Image Too Large(0x%llx > 0x%llx)!\n", ull(written_), ull(room_));
      return false;
    }
    if (keep_crc_) crc_ = ::crc32_z(crc_, block.data(), block.size());
    if (mode_ == CopyMode::COMPARE) {
      written_ += size;
      return true;
    }
    platform::format_text(locator_, "bmap@%s,raw@0x%llx:0x%zx", region_id_, ull(written_),
                          block.size());
    const int64_t n = storage::locator_write(locator_.data(), block, written_, size);
    if (n != size) {
      info_printf("\n[Error] Write Fail(%s)(%lld)!\n", locator_.data(), static_cast<long long>(n));
      return false;
    }
    written_ += n;
    info_printf("W");
    return true;
  }

  // Flushes the target and reads everything written back from the device, past the page
  // cache; its CRC-32 must be the one kept, or the one given when none was kept. INSTALL_DONE,
  // or INSTALL_NOT_DURABLE / INSTALL_NOT_INSTALLED (message printed).
  [[nodiscard]] int verify(uint32_t given) {
    if (!keep_crc_) crc_ = given;
    if (mode_ == CopyMode::VERIFY) return INSTALL_DONE;
    Locator whole{};
    platform::format_text(whole, "bmap@%s,raw@0x0:0x%llx", region_id_, ull(written_));
    if (mode_ == CopyMode::WRITE && storage::locator_sync(whole.data()) != 0) {
      info_printf("[Error] Sync Fail(%s)!\n", whole.data());
      return INSTALL_NOT_DURABLE;
    }
    uint32_t crc = 0;
    const int64_t n = storage::locator_crc32(whole.data(), &crc);
    if (n == written_ && crc == crc_) {
      if (mode_ == CopyMode::WRITE) {
        info_printf("Verified Image at (0x%llx) crc32(0x%08x)\n", ull(written_), crc);
      }
      return INSTALL_DONE;
    }
    const bool compare = mode_ == CopyMode::COMPARE;
    info_printf("[Error] %s(%s)(crc32 0x%08x != 0x%08x)!\n",
                compare ? "Not Installed" : "Verify Fail", whole.data(), crc,
                static_cast<uint32_t>(crc_));
    return compare ? INSTALL_NOT_INSTALLED : INSTALL_NOT_DURABLE;
  }

  [[nodiscard]] int64_t written() const { return written_; }
  [[nodiscard]] const char* last_locator() const { return locator_.data(); }

 private:
  const char* region_id_;
  CopyMode mode_;
  bool keep_crc_;
  platform::UniqueFd hold_;  // keeps each block's close from flushing the whole device
  int64_t room_ = 0;
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
    block_.reset(new (std::nothrow) uint8_t[INSTALL_BLOCK_SIZE]);
    return ok_ && block_ != nullptr;
  }

  // Inflates all of a chunk; prints "Z" per step. 0, or an INSTALL_* failure.
  int feed(std::span<const uint8_t> in, TargetWriter& out) {
    while (!in.empty()) {
      const uint32_t space = INSTALL_BLOCK_SIZE - fill_;
      uint32_t produced = space;
      uint32_t consumed = static_cast<uint32_t>(std::min<size_t>(in.size(), UINT32_MAX));
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
  std::unique_ptr<uint8_t[]> block_;
  uint32_t fill_ = 0;
};

ImageSink::ImageSink(const char* path, const char* region_id, const ImagePlan& plan, CopyMode mode,
                     image::ImageSignature* signature, const image::StreamDigestValues* earlier)
    : path_(path),
      plan_(plan),
      mode_(mode),
      signature_(signature),
      earlier_(earlier),
      writer_(std::make_unique<TargetWriter>(region_id, mode, !crc_from_digests())),
      hashes_(plan.contents_off, signature != nullptr ? signature->digest_kinds() : 0) {}

ImageSink::~ImageSink() = default;

int64_t ImageSink::written() const { return mode_ == CopyMode::WRITE ? writer_->written() : 0; }

int ImageSink::start() {
  if (plan_.compressed) {
    inflater_.reset(new (std::nothrow) Inflater);
    if (inflater_ == nullptr || !inflater_->begin()) return INSTALL_NO_INFLATE_BUFFER;
  }
  if (!plan_.raw && !hashes_.start()) return INSTALL_NO_BUFFER;
  return 0;
}

int ImageSink::consume(std::span<const uint8_t> bytes) {
  if (failed_ != 0) return failed_;
  const uint64_t start = position_;
  if (!plan_.raw) {
    if (bytes.size() > plan_.file_size - start) {
      info_printf("\n[Error] Contents Invalid(%s)(bytes past the contents' end 0x%llx)!\n", path_,
                  ull(plan_.file_size));
      return failed_ = INSTALL_CONTENTS_INVALID;
    }
    if (start < image::HEADER_SIZE) {
      const size_t n = std::min<size_t>(bytes.size(), image::HEADER_SIZE - start);
      if (!std::equal(bytes.begin(), bytes.begin() + static_cast<long>(n),
                      plan_.header.begin() + static_cast<long>(start))) {
        info_printf("\n[Error] Source Changed(%s)(header)!\n", path_);
        return failed_ = INSTALL_SOURCE_CHANGED;
      }
    }
    hashes_.add(bytes);
  }
  position_ += bytes.size();
  const uint64_t from = std::max(start, plan_.copy_offset);
  const uint64_t to = std::min(position_, plan_.copy_offset + plan_.copy_length);
  if (from >= to) return 0;
  const std::span<const uint8_t> part =
      bytes.subspan(static_cast<size_t>(from - start), static_cast<size_t>(to - from));
  if (inflater_ != nullptr) return failed_ = inflater_->feed(part, *writer_);
  if (!writer_->write(part)) failed_ = INSTALL_WRITE_FAILED;
  return failed_;
}

bool ImageSink::crc_from_digests() const {
  if (plan_.raw || plan_.compressed) return false;
  const bool contents = plan_.copy_offset == plan_.contents_off &&
                        plan_.copy_length == plan_.file_size - plan_.contents_off;
  // zlib combines CRCs over lengths of its z_off_t (32 bits on some targets).
  const bool header_and_contents =
      plan_.copy_offset == 0 && plan_.contents_off == image::HEADER_SIZE &&
      plan_.copy_length - image::HEADER_SIZE <= std::numeric_limits<z_off_t>::max();
  return contents || header_and_contents;
}

uint32_t ImageSink::copy_crc32() const {
  if (plan_.copy_offset == plan_.contents_off) return digests_.crc32;
  const uLong header = ::crc32_z(0, plan_.header.data(), plan_.header.size());
  return static_cast<uint32_t>(::crc32_combine(
      header, digests_.crc32, static_cast<z_off_t>(plan_.copy_length - image::HEADER_SIZE)));
}

int ImageSink::check_digests() {
  if (!hashes_.finish(digests_)) {
    info_printf("\n[Error] Digest Fail(%s)!\n", path_);
    return INSTALL_NO_BUFFER;
  }
  if (earlier_ != nullptr) {
    if (digests_ == *earlier_) return 0;
    info_printf("\n[Error] Source Changed(%s)(not the bytes verified before)!\n", path_);
    return INSTALL_SOURCE_CHANGED;
  }
  const char* differs = digests_.checksum != plan_.contents_checksum ? "checksum"
                        : digests_.crc32 != plan_.contents_crc32     ? "crc32"
                        : digests_.sha1 != plan_.contents_sha1       ? "sha1"
                                                                     : nullptr;
  if (differs != nullptr) {
    info_printf("\n[Error] Contents Invalid(%s)(%s)!\n", path_, differs);
    return INSTALL_CONTENTS_INVALID;
  }
  return signature_ != nullptr ? signature_digest_match(path_, *signature_, digests_) : 0;
}

int ImageSink::finish() {
  if (failed_ != 0) return failed_;
  if (position_ < plan_.file_size) {
    info_printf("\n[Error] Image File Short(%s)(0x%llx < 0x%llx)!\n", path_, ull(position_),
                ull(plan_.file_size));
    return failed_ = INSTALL_SHORT_READ;
  }
  if (inflater_ != nullptr) {
    if (const int r = inflater_->drain(*writer_); r != 0) return failed_ = r;
  }
  if (!plan_.raw) {
    if (const int r = check_digests(); r != 0) return failed_ = r;
  }
  switch (mode_) {
    case CopyMode::WRITE:
      if (plan_.compressed) {
        info_printf("\nInstalled Image(unziped) at (0x%llx/0x%llx)\n", ull(writer_->written()),
                    ull(plan_.copy_length));
      } else {
        info_printf("\nInstalled Image to (%s)/(0x%x:0x%llx)\n", writer_->last_locator(), 0,
                    ull(plan_.copy_length));
      }
      break;
    case CopyMode::COMPARE:
      info_printf("\n");
      break;
    case CopyMode::VERIFY:
      info_printf("\nVerified Image File(%s) before writing\n", path_);
      break;
  }
  if (mode_ != CopyMode::VERIFY) core::progress_stage(core::Stage::VERIFY, writer_->written());
  failed_ = writer_->verify(crc_from_digests() ? copy_crc32() : 0);
  if (failed_ == 0) core::progress_bytes(writer_->written());
  return failed_;
}

}  // namespace vorn::upgrade
