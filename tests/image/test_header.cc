#include "image/test_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace vorn::image::test {

namespace {

// One field of the header, in the order of the text form: where the binary form has it, whether
// the integrity stream covers it, and its bytes in both forms.
struct Field {
  const char* name;
  size_t at;
  bool integrity;
  std::string binary;
  std::string text;
};

std::string hex(const uint8_t* bytes, size_t n, bool lower) {
  std::string out;
  char pair[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof(pair), lower ? "%02x" : "%02X", bytes[i]);
    out += pair;
  }
  return out;
}

Field number(const char* name, size_t at, bool integrity, uint32_t v) {
  std::string le;
  for (int i = 0; i < 4; ++i) le.push_back(static_cast<char>(v >> (8 * i)));
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", v);
  return {name, at, integrity, le, text};
}

Field text(const char* name, size_t at, const std::string& v) {
  return {name, at, true, v, "\"" + v + "\""};
}

template <size_t N>
Field bytes(const char* name, size_t at, bool integrity, const std::array<uint8_t, N>& v) {
  return {
      name, at, integrity, {v.begin(), v.end()}, std::to_string(N) + "," + hex(v.data(), N, false)};
}

std::vector<Field> fields(const TestHeader& h) {
  return {bytes("magic", 0x000, true, h.magic),
          number("hdr_type", 0x008, true, h.hdr_type),
          number("hdr_version", 0x00C, true, h.hdr_version),
          number("hdr_cap", 0x010, true, h.hdr_cap),
          number("hdr_size", 0x014, true, h.hdr_size),
          number("hdr_checksum", 0x018, false, h.hdr_checksum),
          number("hdr_crc32", 0x01C, false, h.hdr_crc32),
          bytes("hdr_sha1", 0x020, false, h.hdr_sha1),
          text("alias", 0x040, h.alias),
          number("timestamp", 0x050, true, h.timestamp),
          number("tag_setup", 0x054, true, h.tag_setup),
          text("req_hw", 0x074, h.req_hw),
          text("req_sw0", 0x0B4, h.req_sw[0]),
          text("req_sw1", 0x0F4, h.req_sw[1]),
          text("req_sw2", 0x134, h.req_sw[2]),
          text("req_sw3", 0x174, h.req_sw[3]),
          text("req_sw4", 0x1B4, h.req_sw[4]),
          text("version", 0x200, h.version),
          number("contents_off", 0x1F4, true, h.contents_off),
          number("contents_size", 0x1F8, true, h.contents_size),
          number("contents_type", 0x1FC, true, h.contents_type),
          number("contents_checksum", 0x210, false, h.contents_checksum),
          number("contents_crc32", 0x214, false, h.contents_crc32),
          bytes("contents_sha1", 0x218, false, h.contents_sha1)};
}

}  // namespace

std::vector<uint8_t> binary_form(const TestHeader& h) {
  std::vector<uint8_t> b(1024, 0);
  for (const Field& f : fields(h)) std::memcpy(b.data() + f.at, f.binary.data(), f.binary.size());
  return b;
}

std::string text_form(const TestHeader& h) {
  std::string t;
  for (const Field& f : fields(h)) t.append(".$").append(f.name).append("$=").append(f.text + "\n");
  return t;
}

std::vector<uint8_t> integrity_stream(const TestHeader& h) {
  std::vector<uint8_t> s;
  for (const Field& f : fields(h)) {
    if (f.integrity) s.insert(s.end(), f.binary.begin(), f.binary.end());
  }
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
