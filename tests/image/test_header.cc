#include "image/test_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace vorn::image::test {

namespace {

void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
  b[at + 2] = static_cast<uint8_t>(v >> 16);
  b[at + 3] = static_cast<uint8_t>(v >> 24);
}

void put_bytes(std::vector<uint8_t>& b, size_t at, const void* src, size_t n) {
  std::memcpy(b.data() + at, src, n);
}

void append_le32(std::vector<uint8_t>& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void append_text(std::vector<uint8_t>& s, const std::string& t) {
  s.insert(s.end(), t.begin(), t.end());
}

std::string hex(const uint8_t* bytes, size_t n, bool lower) {
  std::string out;
  char pair[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof(pair), lower ? "%02x" : "%02X", bytes[i]);
    out += pair;
  }
  return out;
}

}  // namespace

std::vector<uint8_t> binary_form(const TestHeader& h) {
  std::vector<uint8_t> b(1024, 0);
  put_bytes(b, 0x000, h.magic.data(), 8);
  put_le32(b, 0x008, h.hdr_type);
  put_le32(b, 0x00C, h.hdr_version);
  put_le32(b, 0x010, h.hdr_cap);
  put_le32(b, 0x014, h.hdr_size);
  put_le32(b, 0x018, h.hdr_checksum);
  put_le32(b, 0x01C, h.hdr_crc32);
  put_bytes(b, 0x020, h.hdr_sha1.data(), 20);
  put_bytes(b, 0x040, h.alias.data(), h.alias.size());
  put_le32(b, 0x050, h.timestamp);
  put_le32(b, 0x054, h.tag_setup);
  put_bytes(b, 0x074, h.req_hw.data(), h.req_hw.size());
  for (size_t i = 0; i < 5; ++i)
    put_bytes(b, 0x0B4 + 0x40 * i, h.req_sw[i].data(), h.req_sw[i].size());
  put_le32(b, 0x1F4, h.contents_off);
  put_le32(b, 0x1F8, h.contents_size);
  put_le32(b, 0x1FC, h.contents_type);
  put_bytes(b, 0x200, h.version.data(), h.version.size());
  put_le32(b, 0x210, h.contents_checksum);
  put_le32(b, 0x214, h.contents_crc32);
  put_bytes(b, 0x218, h.contents_sha1.data(), 20);
  return b;
}

std::string text_form(const TestHeader& h, bool lower_hex) {
  char line[128];
  std::string t;
  auto u32 = [&](const char* name, uint32_t v) {
    std::snprintf(line, sizeof(line), ".$%s$=0x%X\n", name, v);
    t += line;
  };
  auto str = [&](const char* name, const std::string& v) {
    t += std::string(".$") + name + "$=\"" + v + "\"\n";
  };
  auto bin = [&](const char* name, const uint8_t* v, size_t n) {
    t += std::string(".$") + name + "$=" + std::to_string(n) + "," + hex(v, n, lower_hex) + "\n";
  };
  bin("magic", h.magic.data(), 8);
  u32("hdr_type", h.hdr_type);
  u32("hdr_version", h.hdr_version);
  u32("hdr_cap", h.hdr_cap);
  u32("hdr_size", h.hdr_size);
  u32("hdr_checksum", h.hdr_checksum);
  u32("hdr_crc32", h.hdr_crc32);
  bin("hdr_sha1", h.hdr_sha1.data(), 20);
  str("alias", h.alias);
  u32("timestamp", h.timestamp);
  u32("tag_setup", h.tag_setup);
  str("req_hw", h.req_hw);
  for (size_t i = 0; i < 5; ++i) str(("req_sw" + std::to_string(i)).c_str(), h.req_sw[i]);
  str("version", h.version);
  u32("contents_off", h.contents_off);
  u32("contents_size", h.contents_size);
  u32("contents_type", h.contents_type);
  u32("contents_checksum", h.contents_checksum);
  u32("contents_crc32", h.contents_crc32);
  bin("contents_sha1", h.contents_sha1.data(), 20);
  return t;
}

std::vector<uint8_t> integrity_stream(const TestHeader& h) {
  std::vector<uint8_t> s(h.magic.begin(), h.magic.end());
  append_le32(s, h.hdr_type);
  append_le32(s, h.hdr_version);
  append_le32(s, h.hdr_cap);
  append_le32(s, h.hdr_size);
  append_text(s, h.alias);
  append_le32(s, h.timestamp);
  append_le32(s, h.tag_setup);
  append_text(s, h.req_hw);
  for (const std::string& sw : h.req_sw) append_text(s, sw);
  append_text(s, h.version);
  append_le32(s, h.contents_off);
  append_le32(s, h.contents_size);
  append_le32(s, h.contents_type);
  return s;
}

LoadedHeader LoadedHeader::binary(const std::vector<uint8_t>& bytes, uint32_t capacity) {
  LoadedHeader l;
  l.buffer.resize(capacity);
  EXPECT_NE(header_init(&l.handle, "file@!,/test.vif", l.buffer.data(), capacity), nullptr);
  std::memcpy(l.buffer.data(), bytes.data(), std::min<size_t>(bytes.size(), capacity));
  return l;
}

LoadedHeader LoadedHeader::text(const std::string& text, uint32_t capacity) {
  LoadedHeader l;
  l.buffer.resize(capacity);
  EXPECT_NE(header_init(&l.handle, "bmap@system", l.buffer.data(), capacity), nullptr);
  EXPECT_LT(text.size(), capacity);
  std::memcpy(l.buffer.data(), text.data(), std::min<size_t>(text.size(), capacity - 1));
  l.handle.form = FORM_TEXT;
  l.handle.data_len = static_cast<uint32_t>(text.size());
  return l;
}

std::string shell_output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[256];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
  ::pclose(pipe);
  return out;
}

std::string python_digests(const std::string& path) {
  const std::string script =
      "import zlib,hashlib,sys; d=open(sys.argv[1],'rb').read(); "
      "print('%08x %08x %s' % (sum(d) & 0xffffffff, zlib.crc32(d) & 0xffffffff, "
      "hashlib.sha1(d).hexdigest()))";
  std::string out = shell_output("python3 -c \"" + script + "\" '" + path + "'");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string format_digests(uint32_t sum, uint32_t crc, const uint8_t* sha1) {
  char numbers[32];
  std::snprintf(numbers, sizeof(numbers), "%08x %08x ", sum, crc);
  return numbers + hex(sha1, 20, true);
}

}  // namespace vorn::image::test
