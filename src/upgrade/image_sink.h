#pragma once

// The install's core, fed by its source: an image file pushed in as chunks of any size, in file
// order from its first byte. The bytes the copy receives go to the copy (through the inflater
// when compressed); every byte goes to the digests, computed on a second thread while the copy
// is written. At the end the digests must match the header (and the signature, when one is
// required) before the install counts, and the copy is flushed and read back.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "image/header_handle.h"
#include "image/image_signature.h"
#include "image/sha1_context.h"
#include "image/stream_digests.h"

namespace vorn::upgrade {

// What a pass does with the bytes the copy receives: write them; compare them with what the
// copy holds (nothing written); or only count them, proving that they inflate completely and
// fit the copy (nothing written: the check before a copy the board boots is written).
enum class CopyMode { WRITE, COMPARE, VERIFY };

// What the install learned from the header before the first byte is streamed.
struct ImagePlan {
  bool raw = false;  // a raw source: written as it is, no header, no digests
  std::array<uint8_t, image::HEADER_SIZE> header{};  // the header as read and checked
  uint64_t file_size = 0;  // contents_off + contents_size (raw: the source's size)
  uint64_t contents_off = 0;
  uint64_t copy_offset = 0;  // the bytes of the file the copy receives
  uint64_t copy_length = 0;
  bool compressed = false;
  bool setup = false;
  uint32_t contents_checksum = 0;
  uint32_t contents_crc32 = 0;
  image::Sha1Digest contents_sha1{};
};

class TargetWriter;
class Inflater;

class ImageSink {
 public:
  // For the copy that region_id selects; path names the image in messages. signature: the
  // verified signature the file's digest must match (null when none is required). earlier: the
  // digests of an earlier pass over the same file, which this one must reproduce (else the file
  // changed between the passes).
  ImageSink(const char* path, const char* region_id, const ImagePlan& plan, CopyMode mode,
            image::ImageSignature* signature, const image::StreamDigestValues* earlier);
  ImageSink(const ImageSink&) = delete;
  ImageSink& operator=(const ImageSink&) = delete;
  ~ImageSink();

  // Allocates and starts the digests: 0, INSTALL_NO_INFLATE_BUFFER or INSTALL_NO_BUFFER.
  [[nodiscard]] int start();
  // The next bytes of the file. 0, or the INSTALL_* failure that ends the install (the same
  // failure for every later call): the first 1024 bytes differ from the header
  // (INSTALL_SOURCE_CHANGED), the file runs past its contents (INSTALL_CONTENTS_INVALID), a
  // write or the inflater failed.
  [[nodiscard]] int consume(std::span<const uint8_t> bytes);
  // After the last byte: INSTALL_DONE, or INSTALL_SHORT_READ, INSTALL_INFLATE_FAILED,
  // INSTALL_SOURCE_CHANGED (digests differ from the earlier pass'), INSTALL_CONTENTS_INVALID,
  // INSTALL_SIGNATURE_MISMATCH, or the writer's read-back failure. A message is printed for each.
  [[nodiscard]] int finish();
  // The digests of this pass (after finish).
  [[nodiscard]] const image::StreamDigestValues& digests() const { return digests_; }
  // Bytes written into the copy so far (0 when the pass writes nothing).
  [[nodiscard]] int64_t written() const;

 private:
  int check_digests();
  // Whether the CRC-32 of the bytes the copy receives follows from the digests (a plain image
  // whose contents, or header and contents, go to the copy), and that CRC-32.
  [[nodiscard]] bool crc_from_digests() const;
  [[nodiscard]] uint32_t copy_crc32() const;

  const char* path_;
  const ImagePlan& plan_;
  CopyMode mode_;
  image::ImageSignature* signature_;
  const image::StreamDigestValues* earlier_;
  std::unique_ptr<TargetWriter> writer_;
  std::unique_ptr<Inflater> inflater_;
  image::StreamDigests hashes_;
  image::StreamDigestValues digests_;
  uint64_t position_ = 0;
  int failed_ = 0;
};

}  // namespace vorn::upgrade
