#pragma once

// The digests of an image file streamed from its first byte: the three contents values (byte
// sum, CRC-32, SHA-1 over the bytes from contents_off to the end, as contents_digest computes
// them) and the whole-file digests a signature may ask for. They are computed on two threads of
// their own, so that hashing overlaps the install's reads and writes; memory use is constant.

#include <pthread.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "image/sha1_context.h"

struct evp_md_ctx_st;

namespace vorn::image {

// The whole-file digests a signer may use, as bits of a set; index i of the values holds the
// digest of bit 1 << i.
inline constexpr unsigned WHOLE_SHA256 = 1;
inline constexpr unsigned WHOLE_SHA384 = 2;
inline constexpr unsigned WHOLE_SHA512 = 4;
inline constexpr size_t WHOLE_KINDS = 3;
inline constexpr size_t WHOLE_DIGEST_MAX = 64;

struct StreamDigestValues {
  uint64_t total = 0;  // bytes added
  uint32_t checksum = 0;
  uint32_t crc32 = 0;
  Sha1Digest sha1{};
  std::array<std::array<uint8_t, WHOLE_DIGEST_MAX>, WHOLE_KINDS> whole{};  // zero when not asked

  bool operator==(const StreamDigestValues&) const = default;
};

class StreamDigests {
 public:
  // contents_off: the first byte of the contents; whole_kinds: the WHOLE_* digests wanted.
  StreamDigests(uint64_t contents_off, unsigned whole_kinds);
  StreamDigests(const StreamDigests&) = delete;
  StreamDigests& operator=(const StreamDigests&) = delete;
  ~StreamDigests();  // waits for the workers

  // Sets the hashes up and starts two workers that share the digests between them. False when a
  // hash cannot be set up (no memory); nothing may be added then. Without memory for the
  // buffers or a thread, the digests are computed by the worker that started, or in add()
  // itself: slower, never failing.
  [[nodiscard]] bool start();
  // Takes the next bytes of the file (copied: the span may go away on return). Waits while
  // a worker is 2 MiB behind.
  void add(std::span<const uint8_t> bytes);
  // Waits for the workers and stores the values. False when a hash failed; may be called once.
  [[nodiscard]] bool finish(StreamDigestValues& out);

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };
  // The digests a worker computes, as bits.
  static constexpr unsigned JOB_SUM = 1, JOB_CRC = 2, JOB_SHA1 = 4, JOB_WHOLE = 8;
  // A thread hashing the queued slots in order, with the digests it computes.
  struct Worker {
    StreamDigests* owner = nullptr;
    unsigned jobs = 0;
    uint64_t position = 0;  // in the file, of the bytes it hashed
    bool running = false;
    pthread_t thread{};
    size_t next = 0;    // the slot it hashes next
    size_t queued = 0;  // slots queued for it
  };
  static constexpr size_t SLOTS = 16;
  static constexpr size_t SLOT_SIZE = size_t{128} * 1024;
  static constexpr size_t WORKERS = 2;

  static void* worker_main(void* worker);
  void hash(Worker& worker, std::span<const uint8_t> bytes);
  void submit();  // queues the slot being filled for every running worker
  void stop();    // lets the workers finish what is queued and joins them

  uint64_t contents_off_;
  unsigned whole_kinds_;
  uint64_t total_ = 0;
  uint32_t checksum_ = 0;
  uint32_t crc32_ = 0;
  Sha1Context sha1_;
  std::array<evp_md_ctx_st*, WHOLE_KINDS> whole_{};
  bool contents_ok_ = false;
  bool whole_ok_ = false;

  std::array<Slot, SLOTS> slots_;
  std::array<Worker, WORKERS> workers_;
  Worker inline_;       // the part no worker runs, computed in add()
  size_t filling_ = 0;  // the slot add() copies into
  bool closing_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace vorn::image
