#include "image/stream_digests.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "image/integrity.h"

namespace vorn::image {

namespace {

const EVP_MD* whole_md(size_t i) {
  switch (i) {
    case 0:
      return EVP_sha256();
    case 1:
      return EVP_sha384();
    default:
      return EVP_sha512();
  }
}

}  // namespace

StreamDigests::StreamDigests(uint64_t contents_off, unsigned whole_kinds)
    : contents_off_(contents_off), whole_kinds_(whole_kinds) {}

StreamDigests::~StreamDigests() {
  if (threaded_) {
    {
      const std::lock_guard lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    ::pthread_join(thread_, nullptr);
  }
  for (evp_md_ctx_st* ctx : whole_) EVP_MD_CTX_free(ctx);
}

bool StreamDigests::start() {
  hashes_ok_ = sha1_.begin();
  for (size_t i = 0; i < WHOLE_KINDS && hashes_ok_; ++i) {
    if ((whole_kinds_ & (1u << i)) == 0) continue;
    whole_[i] = EVP_MD_CTX_new();
    hashes_ok_ = whole_[i] != nullptr && EVP_DigestInit_ex(whole_[i], whole_md(i), nullptr) == 1;
  }
  if (!hashes_ok_) return false;
  for (Slot& slot : slots_) {
    slot.bytes.reset(new (std::nothrow) uint8_t[SLOT_SIZE]);
    if (slot.bytes == nullptr) return true;
  }
  threaded_ = ::pthread_create(&thread_, nullptr, worker_main, this) == 0;
  return true;
}

void StreamDigests::hash(std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < WHOLE_KINDS; ++i) {
    if (whole_[i] != nullptr && EVP_DigestUpdate(whole_[i], bytes.data(), bytes.size()) != 1) {
      hashes_ok_ = false;
    }
  }
  // The contents values start at contents_off, wherever the chunks happen to be cut.
  const uint64_t skip = position_ < contents_off_ ? contents_off_ - position_ : 0;
  position_ += bytes.size();
  if (skip >= bytes.size()) return;
  const std::span<const uint8_t> contents = bytes.subspan(static_cast<size_t>(skip));
  checksum_ = byte_sum(checksum_, contents.data(), contents.size());
  crc32_ = static_cast<uint32_t>(::crc32_z(crc32_, contents.data(), contents.size()));
  sha1_.add(contents);
}

void* StreamDigests::worker_main(void* self) {
  auto& digests = *static_cast<StreamDigests*>(self);
  std::unique_lock lock(digests.mutex_);
  for (;;) {
    digests.changed_.wait(lock, [&] { return digests.queued_ > 0 || digests.closing_; });
    if (digests.queued_ == 0) return nullptr;
    Slot& slot = digests.slots_[digests.next_];
    lock.unlock();
    digests.hash({slot.bytes.get(), slot.size});
    lock.lock();
    slot.size = 0;
    digests.next_ = (digests.next_ + 1) % SLOTS;
    --digests.queued_;
    digests.changed_.notify_all();
  }
}

void StreamDigests::submit() {
  std::unique_lock lock(mutex_);
  ++queued_;
  filling_ = (filling_ + 1) % SLOTS;
  changed_.notify_all();
  // The slot to fill next is free once the worker is done with it (it takes them in order).
  changed_.wait(lock, [&] { return queued_ < SLOTS; });
}

void StreamDigests::add(std::span<const uint8_t> bytes) {
  if (!threaded_) {
    hash(bytes);
    return;
  }
  while (!bytes.empty()) {
    Slot& slot = slots_[filling_];
    const size_t n = std::min(bytes.size(), SLOT_SIZE - slot.size);
    std::memcpy(slot.bytes.get() + slot.size, bytes.data(), n);
    slot.size += n;
    bytes = bytes.subspan(n);
    if (slot.size == SLOT_SIZE) submit();
  }
}

bool StreamDigests::finish(StreamDigestValues& out) {
  if (threaded_) {
    {
      const std::lock_guard lock(mutex_);
      if (slots_[filling_].size > 0) ++queued_;
      closing_ = true;
    }
    changed_.notify_all();
    ::pthread_join(thread_, nullptr);
    threaded_ = false;
  }
  out = StreamDigestValues{};
  out.total = position_;
  out.checksum = checksum_;
  out.crc32 = crc32_;
  if (!hashes_ok_ || !sha1_.finish(out.sha1)) return false;
  for (size_t i = 0; i < WHOLE_KINDS; ++i) {
    if (whole_[i] != nullptr && EVP_DigestFinal_ex(whole_[i], out.whole[i].data(), nullptr) != 1) {
      return false;
    }
  }
  return true;
}

}  // namespace vorn::image
