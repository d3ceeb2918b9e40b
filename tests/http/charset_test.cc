#include "http/charset.h"

#include <gtest/gtest.h>

#include <string>

namespace lumbrin {
namespace {

ByteBuffer Bytes(std::string_view s) { return ByteBuffer(s.begin(), s.end()); }
std::string Str(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }

// "中文" in GBK (and GB18030).
constexpr std::string_view kGbkChinese = "\xD6\xD0\xCE\xC4";
constexpr std::string_view kUtf8Chinese = "\xE4\xB8\xAD\xE6\x96\x87";

TEST(RecodeBytes, DefaultsTurnUtf8IntoLocal) {
  EXPECT_TRUE(RecodeBytes({}).empty());
  EXPECT_EQ(Str(RecodeBytes(Bytes("plain ascii"))), "plain ascii");
  EXPECT_EQ(Str(RecodeBytes(Bytes(kUtf8Chinese))), kGbkChinese);
  EXPECT_EQ(Str(RecodeBytes(Bytes(kGbkChinese), "GBK", "UTF-8")), kUtf8Chinese);
  // The empty names take the defaults.
  EXPECT_EQ(Str(RecodeBytes(Bytes(kUtf8Chinese), "", "")), kGbkChinese);
}

TEST(RecodeBytes, StartOffsetSkipsLeadingBytesOfTheResult) {
  EXPECT_EQ(Str(RecodeBytes(Bytes("abcdef"), {}, {}, 3)), "def");
  EXPECT_EQ(Str(RecodeBytes(Bytes(std::string("xyz") + std::string(kUtf8Chinese)), {}, {}, 3)), kGbkChinese);
  EXPECT_TRUE(RecodeBytes(Bytes("ab"), {}, {}, 3).empty());
}

TEST(RecodeBytes, UnknownCharsetAndInvalidInput) {
  EXPECT_TRUE(RecodeBytes(Bytes("abc"), "NO-SUCH-CHARSET").empty());
  // A stray continuation byte and a truncated sequence become U+FFFD, which
  // GB18030 holds; the rest survives.
  const auto out = Str(RecodeBytes(Bytes("a\x80z\xE4\xB8"), {}, "UTF-8"));
  EXPECT_EQ(out, "a\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(Str(RecodeBytes(Bytes("\xEF\xBB\xBFok"))), "ok");
}

// Characters outside GBK survive the round trip UTF-8 -> local -> UTF-8.
TEST(Charset, CharactersOutsideGbkSurvive) {
  for (std::string_view utf8 : {"\xF0\x9F\x98\x80" /* emoji */, "\xED\x95\x9C" /* hangul */,
                                "\xC2\xA5" /* yen */, "IMG_\xF0\x9F\x93\xB7 \xE4\xB8\xAD.jpg"}) {
    const LocalText local = Utf8ToLocal(utf8);
    EXPECT_EQ(local.find('?'), std::string::npos) << utf8;
    EXPECT_EQ(LocalToUtf8(local), utf8);
    EXPECT_EQ(LocalTextToUtf8(local), utf8);
    EXPECT_EQ(Str(RecodeBytes(RecodeBytes(Bytes(utf8)), "GBK", "UTF-8")), utf8);
  }
}

TEST(CodePageConversions, TerminatorsAndZeroBytes) {
  EXPECT_TRUE(LocalTextToUtf16("").empty());
  EXPECT_EQ(LocalTextToUtf16("A"), (ByteBuffer{'A', 0, 0, 0}));
  EXPECT_EQ(LocalTextToUtf8(std::string(kGbkChinese)).size(), 6u);
  EXPECT_EQ(LocalTextToUtf8("ascii"), "ascii");
  EXPECT_EQ(Str(LocalTextToUtf8Bytes(std::string(kGbkChinese))), kUtf8Chinese);
  // Conversion stops at the first zero byte / unit.
  EXPECT_EQ(MultiByteToUtf16(ByteBuffer{'a', 0, 'b'}, kLocalCodePage), (ByteBuffer{'a', 0, 0, 0}));
  EXPECT_TRUE(MultiByteToUtf16(ByteBuffer{0, 'b'}, kLocalCodePage).empty());
  EXPECT_EQ(Str(Utf16ToMultiByte(ByteBuffer{'x', 0, 0, 0, 'y', 0}, kUtf8CodePage)), "x");
  EXPECT_TRUE(Utf16ToMultiByte(ByteBuffer{'x'}, kUtf8CodePage).empty());  // odd byte: no whole unit
  EXPECT_TRUE(MultiByteToUtf16(Bytes("a"), 12345).empty());
}

TEST(CodePageConversions, LoneSurrogateAndTruncatedLocalText) {
  const std::u16string lone = u"a\xD800z";
  EXPECT_EQ(Utf16ToLocal(lone), "a?z");
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBDz");
  // A lead byte as the last byte of a text decodes to U+FFFD, in bounds.
  EXPECT_EQ(LocalToUtf16("ab\xD6"), u"ab\xFFFD");
}

TEST(Cesu8, EveryUnitOnItsOwnBothWays) {
  const std::u16string units = u"a\xD800z\xD83D\xDE00\x2400";  // lone surrogate, a pair, U+2400
  const std::string cesu = Utf16ToCesu8(units);
  EXPECT_EQ(cesu, "a\xED\xA0\x80z\xED\xA0\xBD\xED\xB8\x80\xE2\x90\x80");
  EXPECT_EQ(Cesu8ToUtf16(cesu), units);
  // An astral character in one piece, and bytes that are no sequence at all.
  EXPECT_EQ(Cesu8ToUtf16("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
  EXPECT_EQ(Cesu8ToUtf16("x\xFF\xE2\x90"), u"x\xFFFD\xFFFD");
}

TEST(LocalCharLength, NeverReachesPastTheEnd) {
  struct Case { std::string_view text; std::size_t pos; std::size_t len; };
  const Case cases[] = {
      {"a", 0, 1}, {"a", 1, 0}, {"\xD6\xD0", 0, 2}, {"\xD6", 0, 1}, {"\xD6\xD0", 1, 1},
      {"\x81\x30\x81\x30", 0, 4}, {"\x81\x30\x81", 0, 1}, {"\xFF\x41", 0, 1}, {"\x81\x7F", 0, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(LocalCharLength(c.text, c.pos), c.len) << c.text << " @" << c.pos;
}

TEST(FindLocal, NeverMatchesOnATrailByte) {
  // 0xB2 0x7C is one character whose trail byte is "|".
  const std::string text = "\xB2\x7C|x";
  EXPECT_EQ(FindLocal(text, "|"), 2u);
  EXPECT_EQ(FindLocal(text, "x"), 3u);
  EXPECT_EQ(FindLocal(text, "|", 1), 2u);  // a start inside a character moves to the next one
  EXPECT_EQ(FindLocal(text, "y"), std::string::npos);
  EXPECT_EQ(FindLocal(text, "", 4), 4u);
  EXPECT_EQ(FindLocal(text, "x", 9), std::string::npos);
}

}  // namespace
}  // namespace lumbrin
