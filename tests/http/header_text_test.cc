#include "http/header_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/charset.h"

namespace lumbrin {
namespace {

using Pieces = std::vector<LocalText>;

// A double-byte character whose trail byte is "|" (0x7C), one whose trail is
// "@", and a four-byte GB18030 character that holds the digits "0" and "1".
constexpr std::string_view kTrailBar = "\xB2\x7C";
constexpr std::string_view kTrailAt = "\xB0\x40";
constexpr std::string_view kFourByte01 = "\x81\x30\x81\x31";

LocalText Cat(std::initializer_list<std::string_view> parts) {
  LocalText out;
  for (auto p : parts) out.append(p);
  return out;
}

TEST(TrimBlanks, RemovesSpacesAndFullWidthSpacesAtTheEndsOnly) {
  struct Case {
    LocalText in, out;
  } cases[] = {
      {"", ""},
      {"   ", ""},
      {"  a b  ", "a b"},
      {"\xA1\xA1 a\xA1\xA1|b \xA1\xA1", "a\xA1\xA1|b"},
      {"\ta\r\n", "\ta\r\n"},  // tabs and line breaks are not blanks
      // The trail byte 0xA1 of a character followed by a lone 0xA1 is no
      // full-width space: nothing is cut off the character.
      {"x\xD6\xA1\xA1", "x\xD6\xA1\xA1"},
      {"\xD6\xA1\xA1\xA1", "\xD6\xA1"},
      {"a \xA1", "a \xA1"},  // a lead byte as the last byte stays
  };
  for (const auto& c : cases) EXPECT_EQ(TrimBlanks(c.in), c.out) << c.in;
}

TEST(SplitLocal, KeepsInnerEmptyPiecesButNoneAfterAFinalSeparator) {
  EXPECT_EQ(SplitLocal("", ";"), Pieces{});
  EXPECT_EQ(SplitLocal(";", ";"), Pieces{""});
  EXPECT_EQ(SplitLocal(";a;;b;", ";"), (Pieces{"", "a", "", "b"}));
  EXPECT_EQ(SplitLocal("a\r\nb", "\r\n"), (Pieces{"a", "b"}));
  EXPECT_EQ(SplitLocal("aXb", "x"), Pieces{"aXb"});  // letter case matters
  EXPECT_EQ(SplitLocal("abc", ""), Pieces{"abc"});
  EXPECT_EQ(SplitLocal(Cat({"a", kTrailBar, "b|c"}), "|"), (Pieces{Cat({"a", kTrailBar, "b"}), "c"}));
}

// No delimiter search may match on the trail byte of a double-byte character
// or inside a four-byte GB18030 character.
TEST(HeaderText, DelimitersNeverMatchInsideACharacter) {
  EXPECT_EQ(TextBetween(Cat({kTrailBar, "|x|"}), "|", "|"), "x");
  EXPECT_EQ(TextBetween(Cat({"|", kTrailBar, "|"}), "|", "|"), kTrailBar);
  EXPECT_EQ(TextBefore(Cat({"me", kTrailAt, "x@host"}), "@"), Cat({"me", kTrailAt, "x"}));
  EXPECT_EQ(TextBefore(Cat({"a", kTrailBar}), "|"), "");
  // A plain byte search would find "145" across the end of a four-byte
  // character whose last byte is "1", and "14" inside one.
  EXPECT_EQ(TextBefore(Cat({kFourByte01, "45sdas"}), "145"), "");
  EXPECT_EQ(TextBefore(Cat({kFourByte01, "45sdas145"}), "145"), Cat({kFourByte01, "45sdas"}));
  EXPECT_EQ(TextBetween(Cat({"\x81\x31\x81\x34", "145sdas"}), "14", "s"), "5");
  EXPECT_EQ(SplitLocal(Cat({"a", kTrailAt, "@b"}), "@"), (Pieces{Cat({"a", kTrailAt}), "b"}));
}

TEST(HeaderText, NameAndValueOfALine) {
  struct Case {
    LocalText line, name, value;
  } cases[] = {
      {"Referer: https://a.b/c", "Referer", "https://a.b/c"},  // the value keeps the second colon
      {"no colon here", "", ""},
      {"  X-A \xA1\xA1:\xA1\xA1  v w  ", "X-A", "v w"},
      {":", "", ""},
      {"k:", "k", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HeaderNameOf(c.line), c.name) << c.line;
    EXPECT_EQ(HeaderValueOf(c.line), c.value) << c.line;
  }
}

TEST(HeaderText, CapitaliseFirstTouchesOnlyAnAsciiLowerCaseFirstByte) {
  EXPECT_EQ(CapitaliseFirst("abc"), "Abc");
  EXPECT_EQ(CapitaliseFirst("Abc"), "Abc");
  EXPECT_EQ(CapitaliseFirst("1bc"), "1bc");
  EXPECT_EQ(CapitaliseFirst(""), "");
  EXPECT_EQ(CapitaliseFirst("\xD6\xD0"), "\xD6\xD0");
}

TEST(HeaderText, NormaliseHeaderText) {
  struct Case {
    LocalText in, out;
  } cases[] = {
      {"referer: http://x/Y\r\nuser-agent: Mozilla/5.0 (abc)",
       "Referer: http://x/Y\r\nUser-Agent: Mozilla/5.0 (abc)"},
      {"\r\norigin: o\r\n", "Origin: o"},
      {"a: 1\r\njunk line\r\n\r\nb-c-d:x-y", "A: 1\r\nB-C-D:x-y"},
      {"no colon", ""},
      {"", ""},
      {"x-: v", "X-: v"},            // a trailing "-" of the name stays
      {" accept: v", " accept: v"},  // the name is not trimmed: its first byte is a blank
      {Cat({"\xD6\xD0-ab: v"}), Cat({"\xD6\xD0-Ab: v"})},
  };
  for (const auto& c : cases) EXPECT_EQ(NormaliseHeaderText(c.in), c.out) << c.in;
}

TEST(HeaderText, TextBeforeAndBetween) {
  EXPECT_EQ(TextBefore("a=b=c", "="), "a");
  EXPECT_EQ(TextBefore("abc", "x"), "");  // absent: empty, not the whole text
  EXPECT_EQ(TextBefore(" a : b", ":"), " a ");
  EXPECT_EQ(TextBetween("x[1]y[2]", "[", "]"), "1");
  EXPECT_EQ(TextBetween("]x[", "[", "]"), "");  // right only before left
  EXPECT_EQ(TextBetween("abc", "x", "c"), "");
  EXPECT_EQ(TextBetween("[]", "[", "]"), "");
  EXPECT_EQ(TextBetween("aXa", "a", "a"), "X");  // the right search starts after the left one
}

TEST(HeaderText, TextBetweenReadsTheQuoteMarker) {
  const LocalText quote = LocalFromUtf8("#引号");
  const LocalText json = R"({"url":"http://h/p?x=1","meta":"m"})";
  EXPECT_EQ(TextBetween(json, quote + "url" + quote + ":" + quote, quote), "http://h/p?x=1");
  EXPECT_EQ(TextBetween(json, "meta" + quote + ":" + quote, quote + "}"), "m");
  // Without the marker the text is taken literally.
  EXPECT_EQ(TextBetween("a#b", "a", "b"), "#");
}

TEST(CollectSetCookies, TakesThePairOfEverySetCookieLine) {
  struct Case {
    LocalText headers, cookies;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/; HttpOnly\r\nContent-Type: x\r\nSet-Cookie: b=2; "
       "Max-Age=5\r\n",
       "a=1; b=2"},
      {"Set-Cookie: tok=xyz", "tok=xyz"},  // no attributes
      {"Set-Cookie: a=1 ;\r\nSet-Cookie: SET-COOKIE:b=2", "a=1; b=2"},
      {"set-cookie: a=1\r\nSET-COOKIE: b=2; path=/", ""},  // the name's letter case matters
      {"Set-Cookie:a=1", ""},                              // the name must be followed by ": "
      {"HTTP/1.1 200 OK\r\nContent-Length: 3", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CollectSetCookies(c.headers), c.cookies) << c.headers;
}

TEST(CookieNameOf, IsTheTrimmedTextBeforeTheFirstEquals) {
  EXPECT_EQ(CookieNameOf(" sid = 1=2"), "sid");
  EXPECT_EQ(CookieNameOf(" flag "), "flag");
  EXPECT_EQ(CookieNameOf("=v"), "");
}

TEST(MergeCookieText, NewPairsFirstThenTheOldOnesNotSetAnew) {
  struct Case {
    LocalText old, fresh, merged;
  } cases[] = {
      {"a=1; b=2", "b=3; c=4", "b=3; c=4; a=1"},
      {"a=1; b=2", "b=deleted", "a=1"},
      {"a=1; b=2", "c=deleted; d=4", "d=4; a=1; b=2"},
      {"a=1;b=2", "b=3", "b=3; a=1;b=2"},  // a bare semicolon: one old pair named "a"
      {"a=1;b=2", "a=9", "a=9"},
      {"x=1; x=2", "", "x=1"},          // old duplicates collapse to the first
      {"", "x=1; x=2", "x=1; x=2"},     // new pairs of one name are all kept
      {"a=1; a=1", "a=1; a=1", "a=1"},  // identical pieces appear once
      {"  a=1; \xA1\xA1", " b=2;", "b=2; a=1"},
      {"a=1", "", "a=1"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    LocalText old = c.old;
    EXPECT_EQ(MergeCookieText(old, c.fresh), c.merged) << c.old << " + " << c.fresh;
    EXPECT_EQ(old, c.merged);
  }
}

TEST(MergeCookieText, AcceptsTheCollectedCookiesOfAResponse) {
  LocalText jar = "sid=old; theme=dark";
  MergeCookieText(jar,
                  CollectSetCookies("Set-Cookie: sid=new; Path=/\r\nSet-Cookie: theme=deleted; Expires=x"));
  EXPECT_EQ(jar, "sid=new");
}

TEST(RemoveDuplicatePieces, KeepsTheFirstOfEachPieceInOrder) {
  EXPECT_EQ(RemoveDuplicatePieces("a; b; a; c; b", "; "), "a; b; c");
  EXPECT_EQ(RemoveDuplicatePieces("a;;b;;", ";"), "a;;b");
  EXPECT_EQ(RemoveDuplicatePieces("A|a", "|"), "A|a");
  EXPECT_EQ(RemoveDuplicatePieces("", "; "), "");
}

}  // namespace
}  // namespace lumbrin
