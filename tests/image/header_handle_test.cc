#include "image/header_handle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/test_header.h"

namespace vorn::image {
namespace {

using test::binary_form;
using test::LoadedHeader;
using test::TestHeader;
using test::text_form;

std::string get_string(const HeaderHandle* h, const char* name, uint32_t capacity = 128) {
  std::vector<char> out(capacity + 1, '#');
  const char* got = header_get_string(h, name, out.data(), capacity);
  return got == nullptr ? "<null>" : std::string(got);
}

TEST(HeaderInit, NeedsAFullHeaderBufferAndClearsOnlyItsCapacity) {
  HeaderHandle handle;
  std::vector<uint8_t> buffer(2048, 0xEE);
  EXPECT_EQ(header_init(&handle, "x", buffer.data(), 1023), nullptr);
  EXPECT_EQ(header_init(nullptr, "x", buffer.data(), 1024), nullptr);
  EXPECT_EQ(header_init(&handle, nullptr, buffer.data(), 1024), nullptr);
  EXPECT_EQ(header_init(&handle, "x", nullptr, 1024), nullptr);
  EXPECT_EQ(buffer[0], 0xEE);  // failures touch nothing
  EXPECT_EQ(header_init(&handle, std::string(SOURCE_SIZE, 's').c_str(), buffer.data(), 1024),
            nullptr)
      << "a source is refused, never cut";
  const std::string long_source(SOURCE_SIZE - 1, 's');
  ASSERT_EQ(header_init(&handle, long_source.c_str(), buffer.data(), 1024), &handle);
  EXPECT_EQ(std::string(handle.source.data()), long_source);
  EXPECT_EQ(buffer[1023], 0);
  EXPECT_EQ(buffer[1024], 0xEE);
}

TEST(HeaderValidate, AcceptsVersionOneOfBothTypesAndTheMagicOnly) {
  const struct {
    uint32_t type, version, size, expected;
  } cases[] = {{0xA1, 1, 0x400, 0xA1}, {0xA2, 1, 0x400, 0xA2}, {0xA1, 2, 0x400, 0},
               {0xA3, 1, 0x400, 0},    {0xA1, 1, 1025, 0},     {0xA1, 1, 0, 0xA1}};
  for (const auto& c : cases) {
    TestHeader t;
    t.hdr_type = c.type;
    t.hdr_version = c.version;
    t.hdr_size = c.size;
    EXPECT_EQ(header_validate(LoadedHeader::binary(binary_form(t)).get()), c.expected)
        << std::hex << c.type << " " << c.version << " " << c.size;
    EXPECT_EQ(header_validate(LoadedHeader::text(text_form(t)).get()), c.expected);
  }
  TestHeader wrong_magic;
  wrong_magic.magic[7] = 'G';
  EXPECT_EQ(header_validate(LoadedHeader::binary(binary_form(wrong_magic)).get()), 0u);
  std::string text = text_form(TestHeader{});
  text.replace(text.find(".$magic$=8,"), 11, ".$magic$=7,");
  EXPECT_EQ(header_validate(LoadedHeader::text(text).get()), 0u);
  LoadedHeader empty = LoadedHeader::binary(binary_form({}));
  empty->data_len = 0;  // what the reader leaves for an empty image file
  EXPECT_EQ(header_validate(empty.get()), 0u);
  EXPECT_EQ(header_validate(nullptr), 0u);
}

TEST(BinaryForm, DecodesLittleEndianAndChecksTypesAndCapacities) {
  TestHeader t;
  t.timestamp = 0x11223344;
  t.hdr_sha1[0] = 0xAB;
  LoadedHeader h = LoadedHeader::binary(binary_form(t));
  EXPECT_EQ(header_field_type(h.get(), "alias"), FIELD_STRING);
  EXPECT_EQ(header_field_type(h.get(), "alais"), 0u);
  EXPECT_EQ(header_get_u32(h.get(), "timestamp"), 0x11223344u);
  uint32_t value = 0;
  uint32_t len = 3;
  EXPECT_EQ(header_get_field("timestamp", h.get(), FIELD_UINT32, &value, &len), 0);
  len = 4;
  EXPECT_EQ(header_get_field("timestamp", h.get(), FIELD_STRING, &value, &len), 0);
  for (const char* name : {"", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(header_get_field(name, h.get(), FIELD_UINT32, &value, &len), -1);
    EXPECT_EQ(header_field_type(h.get(), name), 0u);
  }
  EXPECT_EQ(header_get_field("hdr_type", nullptr, FIELD_UINT32, &value, &len), -1);
  EXPECT_EQ(header_get_field("hdr_type", h.get(), FIELD_UINT32, nullptr, &len), -1);
  EXPECT_EQ(header_get_field("hdr_type", h.get(), FIELD_UINT32, &value, nullptr), -1);
  EXPECT_EQ(header_get_binary(h.get(), "hdr_sha1", nullptr, 20), 0u);
  EXPECT_EQ(header_get_string(nullptr, "alias", nullptr, 20), nullptr);
  EXPECT_EQ(header_field_type(nullptr, "alias"), 0u);
  uint8_t sha1[20] = {};
  EXPECT_EQ(header_get_binary(h.get(), "hdr_sha1", sha1, 19), 0u);
  EXPECT_EQ(header_get_binary(h.get(), "hdr_sha1", sha1, 20), 20u);
  EXPECT_EQ(sha1[0], 0xAB);
  // A string needs room for its NUL in the binary form: "boot" needs 5.
  EXPECT_EQ(get_string(h.get(), "alias", 4), "<null>");
  EXPECT_EQ(get_string(h.get(), "alias", 5), "boot");
  EXPECT_EQ(get_string(h.get(), "req_sw1"), "");
  h->version = 0;  // a handle of version 0 sees no row at all
  EXPECT_EQ(header_field_type(h.get(), "alias"), 0u);
}

// A string slot without its NUL runs on into the following bytes, but ends at the end of the
// header data: never beyond the bytes read, the buffer, or the 1024 bytes of the header.
TEST(BinaryForm, ValuesEndAtTheEndOfTheHeaderData) {
  TestHeader t;
  t.timestamp = 0x5F5E1001;
  std::vector<uint8_t> bytes = binary_form(t);
  std::memset(bytes.data() + 0x40, 'A', 16);  // alias fills its slot; timestamp follows
  EXPECT_EQ(get_string(LoadedHeader::binary(bytes).get(), "alias", 1024),
            std::string(16, 'A') + "\x01\x10\x5E\x5F\x01");

  std::memset(bytes.data() + 0x40, 'A', 1024 - 0x40);
  LoadedHeader full = LoadedHeader::binary(bytes, 1024);
  EXPECT_EQ(get_string(full.get(), "alias", 2048), std::string(1024 - 0x40, 'A'));
  EXPECT_EQ(get_string(full.get(), "alias", 1024 - 0x40), "<null>");  // no room for the NUL
  std::vector<uint8_t> wide(2048, 'B');
  std::memcpy(wide.data(), bytes.data(), 1024);
  LoadedHeader big = LoadedHeader::binary(wide, 2048);
  std::memset(big.buffer.data() + 1024, 'B', 1024);
  big->data_len = 2048;
  EXPECT_EQ(get_string(big.get(), "alias", 2048), std::string(1024 - 0x40, 'A'));
  full->data_len = 0x48;
  EXPECT_EQ(get_string(full.get(), "alias", 64), std::string(8, 'A'));

  LoadedHeader cut = LoadedHeader::binary(binary_form({}));
  cut->data_len = 0x212;  // contents_checksum at 0x210 is cut
  EXPECT_EQ(header_validate(cut.get()), 0xA1u);
  EXPECT_EQ(get_string(cut.get(), "version"), "1.0.2");
  uint32_t value = 0;
  uint32_t len = 4;
  EXPECT_EQ(header_get_field("contents_checksum", cut.get(), FIELD_UINT32, &value, &len), 0);
  uint8_t sha1[20];
  EXPECT_EQ(header_get_binary(cut.get(), "contents_sha1", sha1, 20), 0u);
  cut->data_len = 0x200;
  EXPECT_EQ(get_string(cut.get(), "version"), "<null>");
}

// One field of a text form, as read: a string as is, a number in hex, bytes in hex, "<none>"
// when the read fails.
std::string text_value(const std::string& text, const char* field, uint32_t capacity = 128) {
  LoadedHeader h = LoadedHeader::text(text);
  std::vector<uint8_t> out(capacity + 1, '#');
  uint32_t len = capacity;
  const int type =
      header_get_field(field, h.get(), header_field_type(h.get(), field), out.data(), &len);
  if (type <= 0 || (type == FIELD_BINARY && len == 0)) return "<none>";
  if (type == FIELD_STRING) return reinterpret_cast<char*>(out.data());
  if (type == FIELD_UINT32)
    return test::format_digests(*reinterpret_cast<uint32_t*>(out.data()), 0, out.data())
        .substr(0, 8);
  return test::format_digests(0, 0, out.data()).substr(18);
}

TEST(TextForm, ValueSyntax) {
  const std::string upper = "00112233445566778899AABBCCDDEEFF01234567";
  const std::string lower = "00112233445566778899aabbccddeeff01234567";
  const std::string bad = upper.substr(0, 33) + "g" + upper.substr(34);
  const struct {
    std::string text;
    const char* field;
    std::string value;
    uint32_t capacity = 128;
  } cases[] = {
      // A binary value needs its exact count, then the first comma, then as many hex pairs.
      {".$hdr_sha1$=20," + upper, "hdr_sha1", lower},
      {".$hdr_sha1$=  20 is the count," + upper, "hdr_sha1", lower},
      {".$hdr_sha1$=19," + upper, "hdr_sha1", "<none>"},
      {".$hdr_sha1$=20" + upper, "hdr_sha1", "<none>"},
      {".$hdr_sha1$=20," + bad, "hdr_sha1", "<none>"},
      {".$hdr_sha1$=20," + upper.substr(0, 38), "hdr_sha1", "<none>"},
      // A number needs a lower-case "0x" right behind the tag; a missing one reads as 0.
      {".$hdr_type$=0xA1\n", "hdr_type", "000000a1"},
      {".$hdr_type$=0x123456789", "hdr_type", "ffffffff"},
      {".$hdr_type$=161", "hdr_type", "00000000"},
      {".$hdr_type$= 0xA1", "hdr_type", "00000000"},
      {"", "timestamp", "00000000"},
      // A string is quoted and ends at a quote or a line end; a missing one reads as empty.
      // Unlike the binary form, a text value is cut to fit.
      {".$alias$=\"boot\"\n", "alias", "boot"},
      {".$alias$=\"boot", "alias", "boot"},
      {".$alias$= \"boot\"\n", "alias", ""},
      {".$alias$=boot\n", "alias", ""},
      {".$alias$=\"bo\rot\"\n", "alias", "bo"},
      {"", "alias", ""},
      {".$alias$=\"recovery\"\n", "alias", "reco", 5},
      {".$alias$=\"recovery\"\n", "alias", "<none>", 0},
      // Tags are found anywhere, the first one wins.
      {"junk .$alias$=\"first\" .$version$=\"1.0\"\r\n.$alias$=\"second\"\n", "alias", "first"},
      {"junk .$alias$=\"first\" .$version$=\"1.0\"\r\n", "version", "1.0"}};
  for (const auto& c : cases) EXPECT_EQ(text_value(c.text, c.field, c.capacity), c.value) << c.text;
}

TEST(TextForm, TextIsBoundedByTheBytesReadAndTheBuffer) {
  // A text with no NUL that fills its buffer completely.
  std::vector<uint8_t> buffer(1024);
  HeaderHandle handle;
  ASSERT_NE(header_init(&handle, "bmap@app", buffer.data(), 1024), nullptr);
  std::memset(buffer.data(), ' ', 1024);
  const std::string tail = ".$alias$=\"app";
  std::memcpy(buffer.data() + 1024 - tail.size(), tail.data(), tail.size());
  handle.form = FORM_TEXT;
  handle.data_len = 1024;
  EXPECT_EQ(get_string(&handle, "alias"), "app");
  handle.data_len = 1020;  // the last bytes were not read
  EXPECT_EQ(get_string(&handle, "alias"), "");
  EXPECT_EQ(text_find_field(nullptr, ".$alias$=", FIELD_STRING, buffer.data(), 8), 0u);
  EXPECT_EQ(text_find_field(".$alias$=\"a\"", nullptr, FIELD_STRING, buffer.data(), 8), 0u);
  EXPECT_EQ(text_find_field(".$x$=4,0102ZZ04", ".$x$=", FIELD_BINARY, buffer.data(), 4), 2u);
}

}  // namespace
}  // namespace vorn::image
