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
  stop();
  for (evp_md_ctx_st* ctx : whole_) EVP_MD_CTX_free(ctx);
}

bool StreamDigests::start() {
  contents_ok_ = sha1_.begin();
  whole_ok_ = true;
  for (size_t i = 0; i < WHOLE_KINDS && whole_ok_; ++i) {
    if ((whole_kinds_ & (1u << i)) == 0) continue;
    whole_[i] = EVP_MD_CTX_new();
    whole_ok_ = whole_[i] != nullptr && EVP_DigestInit_ex(whole_[i], whole_md(i), nullptr) == 1;
  }
  if (!contents_ok_ || !whole_ok_) return false;
  // Shared so that both take about as long (SHA-1 and SHA-256 cost about the same, CRC-32 about
  // half of either, the sum little), both beside the install's reads and writes.
  workers_[0].jobs = JOB_SHA1 | (whole_kinds_ != 0 ? JOB_CRC : 0);
  workers_[1].jobs = whole_kinds_ != 0 ? JOB_WHOLE | JOB_SUM : JOB_CRC | JOB_SUM;
  inline_.jobs = JOB_SUM | JOB_CRC | JOB_SHA1 | JOB_WHOLE;
  for (Slot& slot : slots_) {
    slot.bytes.reset(new (std::nothrow) uint8_t[SLOT_SIZE]);
    if (slot.bytes == nullptr) return true;
  }
  for (Worker& worker : workers_) {
    worker.owner = this;
    worker.running = ::pthread_create(&worker.thread, nullptr, worker_main, &worker) == 0;
    if (worker.running) inline_.jobs &= ~worker.jobs;
  }
  // Jobs without a thread of their own go to one that runs, if any (before any slot is queued:
  // a worker reads its jobs only after the lock passed it a slot).
  const std::lock_guard lock(mutex_);
  for (Worker& worker : workers_) {
    if (worker.running) worker.jobs |= std::exchange(inline_.jobs, 0);
  }
  return true;
}

void StreamDigests::hash(Worker& worker, std::span<const uint8_t> bytes) {
  if ((worker.jobs & JOB_WHOLE) != 0) {
    for (size_t i = 0; i < WHOLE_KINDS; ++i) {
      if (whole_[i] != nullptr && EVP_DigestUpdate(whole_[i], bytes.data(), bytes.size()) != 1) {
        whole_ok_ = false;
      }
    }
  }
  // The contents values start at contents_off, wherever the chunks happen to be cut.
  const uint64_t skip = worker.position < contents_off_ ? contents_off_ - worker.position : 0;
  worker.position += bytes.size();
  if (skip >= bytes.size()) return;
  const std::span<const uint8_t> contents = bytes.subspan(static_cast<size_t>(skip));
  if ((worker.jobs & JOB_SUM) != 0) {
    checksum_ = byte_sum(checksum_, contents.data(), contents.size());
  }
  if ((worker.jobs & JOB_CRC) != 0) {
    crc32_ = static_cast<uint32_t>(::crc32_z(crc32_, contents.data(), contents.size()));
  }
  if ((worker.jobs & JOB_SHA1) != 0) sha1_.add(contents);
}

void* StreamDigests::worker_main(void* arg) {
  Worker& worker = *static_cast<Worker*>(arg);
  StreamDigests& digests = *worker.owner;
  std::unique_lock lock(digests.mutex_);
  for (;;) {
    digests.changed_.wait(lock, [&] { return worker.queued > 0 || digests.closing_; });
    if (worker.queued == 0) return nullptr;
    const Slot& slot = digests.slots_[worker.next];
    lock.unlock();
    digests.hash(worker, {slot.bytes.get(), slot.size});
    lock.lock();
    worker.next = (worker.next + 1) % SLOTS;
    --worker.queued;
    digests.changed_.notify_all();
  }
}

void StreamDigests::submit() {
  std::unique_lock lock(mutex_);
  for (Worker& worker : workers_) worker.queued += worker.running ? 1 : 0;
  filling_ = (filling_ + 1) % SLOTS;
  changed_.notify_all();
  // The slot to fill next is free once every worker is done with it (they take them in order).
  changed_.wait(lock, [&] {
    return std::ranges::all_of(workers_, [](const Worker& w) { return w.queued < SLOTS; });
  });
  slots_[filling_].size = 0;
}

void StreamDigests::add(std::span<const uint8_t> bytes) {
  total_ += bytes.size();
  if (inline_.jobs != 0) hash(inline_, bytes);
  if (std::ranges::none_of(workers_, [](const Worker& w) { return w.running; })) return;
  while (!bytes.empty()) {
    Slot& slot = slots_[filling_];
    const size_t n = std::min(bytes.size(), SLOT_SIZE - slot.size);
    std::memcpy(slot.bytes.get() + slot.size, bytes.data(), n);
    slot.size += n;
    bytes = bytes.subspan(n);
    if (slot.size == SLOT_SIZE) submit();
  }
}

void StreamDigests::stop() {
  {
    const std::lock_guard lock(mutex_);
    if (slots_[filling_].size > 0 && !closing_) {
      for (Worker& worker : workers_) worker.queued += worker.running ? 1 : 0;
    }
    closing_ = true;
  }
  changed_.notify_all();
  for (Worker& worker : workers_) {
    if (worker.running) ::pthread_join(worker.thread, nullptr);
    worker.running = false;
  }
}

bool StreamDigests::finish(StreamDigestValues& out) {
  stop();
  out = StreamDigestValues{};
  out.total = total_;
  out.checksum = checksum_;
  out.crc32 = crc32_;
  if (!contents_ok_ || !whole_ok_ || !sha1_.finish(out.sha1)) return false;
  for (size_t i = 0; i < WHOLE_KINDS; ++i) {
    if (whole_[i] != nullptr && EVP_DigestFinal_ex(whole_[i], out.whole[i].data(), nullptr) != 1) {
      return false;
    }
  }
  return true;
}

}  // namespace vorn::image
