#include "image/header_handle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/field_table.h"
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

TEST(FieldTable, RowsFollowTheLayoutAndTheIntegrityOrder) {
  EXPECT_STREQ(FIELD_TABLE.front().name, "magic");
  EXPECT_STREQ(FIELD_TABLE.back().name, "contents_sha1");
  // version lies behind the contents fields but comes before them in the table.
  const HeaderFieldDesc* version = field_find("version", 1);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->offset, 0x200u);
  EXPECT_EQ(version - FIELD_TABLE.data(), 17);
  EXPECT_STREQ(FIELD_TABLE[18].name, "contents_off");
  EXPECT_EQ(field_find("version", 0), nullptr);
}

TEST(FieldTable, TypeOfUnknownEmptyOrNullNameIsZero) {
  LoadedHeader h = LoadedHeader::binary(binary_form({}));
  EXPECT_EQ(header_field_type(h.get(), "alias"), FIELD_STRING);
  EXPECT_EQ(header_field_type(h.get(), "hdr_sha1"), FIELD_BINARY);
  EXPECT_EQ(header_field_type(h.get(), "alais"), 0u);
  EXPECT_EQ(header_field_type(h.get(), ""), 0u);
  EXPECT_EQ(header_field_type(h.get(), nullptr), 0u);
  EXPECT_EQ(header_field_type(nullptr, "alias"), 0u);
  EXPECT_EQ(get_string(h.get(), "alais"), "<null>");
  EXPECT_EQ(header_get_u32(h.get(), "hdr_typ"), 0u);
  h->version = 0;  // a handle of version 0 sees no row at all
  EXPECT_EQ(header_field_type(h.get(), "alias"), 0u);
}

TEST(HeaderInit, NeedsAFullHeaderBufferAndResetsEverything) {
  HeaderHandle handle;
  std::vector<uint8_t> buffer(2048, 0xEE);
  EXPECT_EQ(header_init(&handle, "x", buffer.data(), 1023), nullptr);
  EXPECT_EQ(header_init(&handle, "x", buffer.data(), 0), nullptr);
  EXPECT_EQ(header_init(nullptr, "x", buffer.data(), 1024), nullptr);
  EXPECT_EQ(header_init(&handle, nullptr, buffer.data(), 1024), nullptr);
  EXPECT_EQ(header_init(&handle, "x", nullptr, 1024), nullptr);
  EXPECT_EQ(buffer[0], 0xEE);  // failures touch nothing

  EXPECT_EQ(header_init(&handle, std::string(256, 's').c_str(), buffer.data(), 1024), nullptr)
      << "a source is refused, never cut";
  const std::string long_source(255, 's');
  ASSERT_EQ(header_init(&handle, long_source.c_str(), buffer.data(), 1024), &handle);
  EXPECT_EQ(handle.form, FORM_BINARY);
  EXPECT_EQ(handle.data_len, 1024u);
  EXPECT_EQ(handle.capacity, 1024u);
  EXPECT_EQ(handle.version, 1u);
  EXPECT_EQ(std::string(handle.source.data()), long_source);
  EXPECT_EQ(buffer[1023], 0);
  EXPECT_EQ(buffer[1024], 0xEE);  // only the given capacity is cleared
}

TEST(HeaderValidate, AcceptsVersionOneOfBothTypesOnly) {
  struct Case {
    uint32_t type, version, size;
    uint32_t expected;
  };
  const Case cases[] = {
      {0xA1, 1, 0x400, 0xA1}, {0xA2, 1, 0x400, 0xA2}, {0xA1, 2, 0x400, 0},
      {0xA1, 0, 0x400, 0},    {0xA0, 1, 0x400, 0},    {0xA3, 1, 0x400, 0},
      {0xA1, 1, 1025, 0},     {0xA1, 1, 0, 0xA1},     {0xA1, 1, 0xFFFFFFFF, 0},
  };
  for (const Case& c : cases) {
    TestHeader t;
    t.hdr_type = c.type;
    t.hdr_version = c.version;
    t.hdr_size = c.size;
    LoadedHeader bin = LoadedHeader::binary(binary_form(t));
    LoadedHeader txt = LoadedHeader::text(text_form(t));
    EXPECT_EQ(header_validate(bin.get()), c.expected) << std::hex << c.type << " " << c.version;
    EXPECT_EQ(header_validate(txt.get()), c.expected) << std::hex << c.type << " " << c.version;
    EXPECT_EQ(bin->version, 1u);
  }
}

TEST(HeaderValidate, RejectsAWrongOrShortMagic) {
  TestHeader t;
  t.magic[7] = 'G';
  EXPECT_EQ(header_validate(LoadedHeader::binary(binary_form(t)).get()), 0u);
  std::string text = text_form(TestHeader{});
  text.replace(text.find(".$magic$=8,"), 11, ".$magic$=7,");
  EXPECT_EQ(header_validate(LoadedHeader::text(text).get()), 0u);
  LoadedHeader empty = LoadedHeader::binary(binary_form({}));
  empty->data_len = 0;  // what the reader leaves for an empty image file
  EXPECT_EQ(header_validate(empty.get()), 0u);
  EXPECT_EQ(header_validate(nullptr), 0u);
}

TEST(BinaryForm, DecodesLittleEndianAndChecksCapacities) {
  TestHeader t;
  t.timestamp = 0x11223344;
  t.hdr_sha1[0] = 0xAB;
  LoadedHeader h = LoadedHeader::binary(binary_form(t));
  EXPECT_EQ(header_get_u32(h.get(), "timestamp"), 0x11223344u);

  uint32_t value = 0;
  uint32_t len = 3;
  EXPECT_EQ(header_get_field("timestamp", h.get(), FIELD_UINT32, &value, &len), 0);
  len = 4;
  EXPECT_EQ(header_get_field("timestamp", h.get(), FIELD_STRING, &value, &len), 0);  // wrong type
  EXPECT_EQ(header_get_field("timestamp", h.get(), FIELD_UINT32, &value, &len), FIELD_UINT32);
  EXPECT_EQ(len, 4u);

  uint8_t sha1[20] = {};
  EXPECT_EQ(header_get_binary(h.get(), "hdr_sha1", sha1, 19), 0u);
  EXPECT_EQ(header_get_binary(h.get(), "hdr_sha1", sha1, 20), 20u);
  EXPECT_EQ(sha1[0], 0xAB);

  // A string needs room for its NUL in the binary form: "boot" needs 5.
  EXPECT_EQ(get_string(h.get(), "alias", 4), "<null>");
  EXPECT_EQ(get_string(h.get(), "alias", 5), "boot");
  EXPECT_EQ(get_string(h.get(), "req_sw1"), "");
}

TEST(BinaryForm, BadArgumentsGiveMinusOne) {
  LoadedHeader h = LoadedHeader::binary(binary_form({}));
  uint32_t value = 0;
  uint32_t len = 4;
  EXPECT_EQ(header_get_field(nullptr, h.get(), FIELD_UINT32, &value, &len), -1);
  EXPECT_EQ(header_get_field("", h.get(), FIELD_UINT32, &value, &len), -1);
  EXPECT_EQ(header_get_field("hdr_type", nullptr, FIELD_UINT32, &value, &len), -1);
  EXPECT_EQ(header_get_field("hdr_type", h.get(), FIELD_UINT32, nullptr, &len), -1);
  EXPECT_EQ(header_get_field("hdr_type", h.get(), FIELD_UINT32, &value, nullptr), -1);
  h->data = nullptr;
  EXPECT_EQ(header_get_field("hdr_type", h.get(), FIELD_UINT32, &value, &len), -1);
  h->data = h.buffer.data();
  h->form = 7;  // neither form: no row matches
  EXPECT_EQ(header_get_field("hdr_type", h.get(), FIELD_UINT32, &value, &len), 0);
}

// A string slot without its NUL: the value runs on into the following bytes but ends at the
// end of the header data, never beyond the bytes read or the buffer.
TEST(BinaryForm, StringWithoutNulStopsAtTheEndOfTheHeaderData) {
  TestHeader t;
  t.timestamp = 0x5F5E1001;
  t.tag_setup = 1;
  std::vector<uint8_t> bytes = binary_form(t);
  std::memset(bytes.data() + 0x40, 'A', 16);  // alias fills its slot; timestamp follows
  LoadedHeader h = LoadedHeader::binary(bytes);
  // It runs on into timestamp and tag_setup up to the first zero byte.
  EXPECT_EQ(get_string(h.get(), "alias", 1024), std::string(16, 'A') + "\x01\x10\x5E\x5F\x01");

  // No NUL anywhere from the alias to the end of a buffer of exactly 1024 bytes.
  std::memset(bytes.data() + 0x40, 'A', 1024 - 0x40);
  LoadedHeader full = LoadedHeader::binary(bytes, 1024);
  EXPECT_EQ(get_string(full.get(), "alias", 2048), std::string(1024 - 0x40, 'A'));
  EXPECT_EQ(get_string(full.get(), "alias", 1024 - 0x40), "<null>");  // no room for the NUL

  // A larger buffer with more non-NUL bytes behind the header: they are not header data.
  std::vector<uint8_t> wide(2048, 'B');
  std::memcpy(wide.data(), bytes.data(), 1024);
  LoadedHeader big = LoadedHeader::binary(wide, 2048);
  std::memset(big.buffer.data() + 1024, 'B', 1024);
  big->data_len = 2048;
  EXPECT_EQ(get_string(big.get(), "alias", 2048), std::string(1024 - 0x40, 'A'));

  // Fewer bytes read than a full header: the value stops at data_len.
  full->data_len = 0x48;
  EXPECT_EQ(get_string(full.get(), "alias", 64), std::string(8, 'A'));
}

TEST(BinaryForm, FieldsBehindAShortReadAreAbsent) {
  LoadedHeader h = LoadedHeader::binary(binary_form({}));
  h->data_len = 0x212;  // contents_checksum at 0x210 is cut
  EXPECT_EQ(header_validate(h.get()), 0xA1u);
  EXPECT_EQ(get_string(h.get(), "version"), "1.0.2");
  uint32_t value = 0;
  uint32_t len = 4;
  EXPECT_EQ(header_get_field("contents_checksum", h.get(), FIELD_UINT32, &value, &len), 0);
  uint8_t sha1[20];
  EXPECT_EQ(header_get_binary(h.get(), "contents_sha1", sha1, 20), 0u);
  h->data_len = 0x200;
  EXPECT_EQ(get_string(h.get(), "version"), "<null>");
}

TEST(TextForm, MissingEntriesReadAsEmptyOrZero) {
  std::string text = text_form(TestHeader{});
  const size_t at = text.find(".$alias$=");
  text.erase(at, text.find('\n', at) + 1 - at);
  const size_t ts = text.find(".$timestamp$=");
  text.erase(ts, text.find('\n', ts) + 1 - ts);
  LoadedHeader h = LoadedHeader::text(text);
  char alias[16] = "xxxx";
  EXPECT_EQ(header_get_string(h.get(), "alias", alias, sizeof(alias)), alias);
  EXPECT_STREQ(alias, "");
  uint32_t value = 77;
  uint32_t len = 4;
  EXPECT_EQ(header_get_field("timestamp", h.get(), FIELD_UINT32, &value, &len), FIELD_UINT32);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(header_get_u32(h.get(), "hdr_type"), 0xA1u);
}

TEST(TextForm, BinaryValuesNeedTheExactCountAndHexDigits) {
  const std::string digits = "00112233445566778899AABBCCDDEEFF01234567";
  auto sha1_len = [](const std::string& entry) {
    LoadedHeader h = LoadedHeader::text(".$alias$=\"boot\"\n" + entry + "\n");
    uint8_t out[20] = {};
    return header_get_binary(h.get(), "hdr_sha1", out, sizeof(out));
  };
  EXPECT_EQ(sha1_len(".$hdr_sha1$=20," + digits), 20u);
  EXPECT_EQ(sha1_len(".$hdr_sha1$=19," + digits), 0u);
  EXPECT_EQ(sha1_len(".$hdr_sha1$=21," + digits + "00"), 0u);
  EXPECT_EQ(sha1_len(".$hdr_sha1$=  20," + digits), 20u);             // blanks before the count
  EXPECT_EQ(sha1_len(".$hdr_sha1$=20 is the count," + digits), 20u);  // the first comma after
  EXPECT_EQ(sha1_len(".$hdr_sha1$=20" + digits), 0u);                 // no comma
  std::string bad = digits;
  bad[33] = 'g';
  EXPECT_EQ(sha1_len(".$hdr_sha1$=20," + bad), 0u);
  EXPECT_EQ(sha1_len(".$hdr_sha1$=20," + digits.substr(0, 38)), 0u);  // text ends early
  EXPECT_EQ(sha1_len(""), 0u);                                        // absent

  // The lookup itself succeeds with length 0 for a malformed value.
  LoadedHeader h = LoadedHeader::text(".$hdr_sha1$=19," + digits + "\n");
  uint8_t out[20];
  uint32_t len = 20;
  EXPECT_EQ(header_get_field("hdr_sha1", h.get(), FIELD_BINARY, out, &len), FIELD_BINARY);
  EXPECT_EQ(len, 0u);
}

TEST(TextForm, LowerAndUpperCaseHexDecodeAlike) {
  TestHeader t;
  for (size_t i = 0; i < 20; ++i) t.hdr_sha1[i] = static_cast<uint8_t>(0xF1 - 7 * i);
  LoadedHeader upper = LoadedHeader::text(text_form(t, false));
  LoadedHeader lower = LoadedHeader::text(text_form(t, true));
  uint8_t a[20] = {};
  uint8_t b[20] = {};
  ASSERT_EQ(header_get_binary(upper.get(), "hdr_sha1", a, 20), 20u);
  ASSERT_EQ(header_get_binary(lower.get(), "hdr_sha1", b, 20), 20u);
  EXPECT_EQ(0, std::memcmp(a, b, 20));
  EXPECT_EQ(0, std::memcmp(a, t.hdr_sha1.data(), 20));
}

TEST(TextForm, NumbersNeedALowerCaseHexPrefixRightBehindTheTag) {
  auto u32 = [](const std::string& value) {
    LoadedHeader h = LoadedHeader::text(".$hdr_type$=" + value + "\n");
    return header_get_u32(h.get(), "hdr_type");
  };
  EXPECT_EQ(u32("0xA1"), 0xA1u);
  EXPECT_EQ(u32("0xa1"), 0xA1u);
  EXPECT_EQ(u32("161"), 0u);
  EXPECT_EQ(u32(" 0xA1"), 0u);
  EXPECT_EQ(u32("0XA1"), 0u);
  EXPECT_EQ(u32("0xA1zz"), 0xA1u);
  EXPECT_EQ(u32("0x123456789"), 0xFFFFFFFFu);
  EXPECT_EQ(u32("0x"), 0u);
}

TEST(TextForm, StringsEndAtQuoteOrLineEndAndAreCutToCapacity) {
  auto alias = [](const std::string& value, uint32_t capacity = 128) {
    LoadedHeader h = LoadedHeader::text(".$alias$=" + value);
    return get_string(h.get(), "alias", capacity);
  };
  EXPECT_EQ(alias("\"boot\"\n"), "boot");
  EXPECT_EQ(alias(" \"boot\"\n"), "");  // a blank before the quote
  EXPECT_EQ(alias("boot\n"), "");
  EXPECT_EQ(alias("\"bo\rot\"\n"), "bo");
  EXPECT_EQ(alias("\"bo\not\"\n"), "bo");
  EXPECT_EQ(alias("\"boot"), "boot");  // the end of the text
  // Unlike the binary form, a text value is cut rather than refused.
  EXPECT_EQ(alias("\"recovery\"\n", 5), "reco");
  EXPECT_EQ(alias("\"recovery\"\n", 1), "");
  EXPECT_EQ(alias("\"recovery\"\n", 0), "<null>");
}

TEST(TextForm, TagsAreFoundAnywhereAndTheFirstOneWins) {
  LoadedHeader h = LoadedHeader::text(
      "junk before .$alias$=\"first\" .$version$=\"1.0\"\r\n.$alias$=\"second\"\n");
  EXPECT_EQ(get_string(h.get(), "alias"), "first");
  EXPECT_EQ(get_string(h.get(), "version"), "1.0");
}

TEST(TextForm, TextIsBoundedByTheBytesReadAndTheBuffer) {
  // A text with no NUL that fills its buffer completely.
  std::vector<uint8_t> buffer(1024, ' ');
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
}

TEST(TextFindField, NullTextOrTagAndMissingTagGiveZero) {
  char out[8] = "x";
  EXPECT_EQ(text_find_field(nullptr, ".$alias$=", FIELD_STRING, out, 8), 0u);
  EXPECT_EQ(text_find_field(".$alias$=\"a\"", nullptr, FIELD_STRING, out, 8), 0u);
  EXPECT_EQ(text_find_field(".$alias$=\"a\"", ".$version$=", FIELD_STRING, out, 8), 0u);
  EXPECT_EQ(text_find_field(".$alias$=\"abc\"", ".$alias$=", FIELD_STRING, out, 8), 3u);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(text_find_field(".$tag_setup$=0x10", ".$tag_setup$=", FIELD_UINT32, nullptr, 0), 16u);
  uint8_t bytes[4] = {};
  EXPECT_EQ(text_find_field(".$x$=4,0102ZZ04", ".$x$=", FIELD_BINARY, bytes, 4), 2u);
  EXPECT_EQ(bytes[1], 0x02);  // the part decoded before the bad digit stays
}

}  // namespace
}  // namespace vorn::image
