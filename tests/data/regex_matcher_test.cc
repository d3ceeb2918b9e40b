#include "data/regex_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/charset.h"

namespace lumbrin {
namespace {

LocalText L(std::string_view utf8) { return LocalFromUtf8(utf8); }

std::vector<LocalText> AllMatches(const RegexMatcher& regex) {
  std::vector<LocalText> out;
  for (int i = 1; i <= regex.matchCount(); ++i) out.push_back(regex.matchText(i));
  return out;
}

TEST(RegexMatcherTest, FindsDayKeys) {
  const LocalText dayPattern = "20[\\d]{6}";
  struct Case {
    const char* name;
    std::string subject;
    std::vector<LocalText> days;
  } cases[] = {
      {"seven digits", "x2020072y", {}},
      {"eight digits", "x20200720y", {"20200720"}},
      {"nine digits: the first eight", "x202007201y", {"20200720"}},
      {"two days, in order", R"({"a":"20200720","b":[20211231]})", {"20200720", "20211231"}},
      {"no overlap", "2020072020200721", {"20200720", "20200721"}},
      {"after Chinese text", "日期：20200720，共3张", {"20200720"}},
      {"nothing", "", {}},
  };
  for (const Case& c : cases) {
    RegexMatcher regex;
    EXPECT_TRUE(regex.execute(dayPattern, L(c.subject))) << c.name;
    EXPECT_EQ(AllMatches(regex), c.days) << c.name;
  }
}

TEST(RegexMatcherTest, OptionsAndPatternForms) {
  struct Case {
    const char* name;
    std::string pattern;
    std::string subject;
    bool caseSensitive, multiline, global, quoteMarker;
    int count;
  } cases[] = {
      {"case ignored by default", "abc", "ABC abc", false, true, true, false, 2},
      {"case sensitive", "abc", "ABC abc", true, true, true, false, 1},
      {"global false: one match", "\\d", "1 2 3", false, true, false, false, 1},
      {"multi-line ^", "^x", "a\nx\r\nx", false, true, true, false, 2},
      {"single-line ^", "^x", "a\nx", false, false, true, false, 0},
      {"$ only at the very end without multi-line", "x$", "x\n", false, false, true, false, 0},
      {"dot stops at LF", "a.b", "a\nb", false, true, true, false, 0},
      {"dot stops at CR", "a.b", "a\rb", false, true, true, false, 0},
      {"quote marker", "a#引号b", "a\"b", false, true, true, true, 1},
      {"quote marker left alone", "a#引号b", "a\"b", false, true, true, false, 0},
      {"\\u escapes", "\\u4e2d", "中", false, true, true, false, 1},
      {"unset back-reference matches empty", "(a)?\\1b", "b", false, true, true, false, 1},
      {"empty matches advance", "x*", "ab", false, true, true, false, 3},
      {"astral character is one", "^.$", "\xF0\x9F\x98\x80", false, true, true, false, 1},
  };
  for (const Case& c : cases) {
    RegexMatcher regex;
    EXPECT_TRUE(regex.execute(L(c.pattern), L(c.subject), c.caseSensitive, c.multiline, c.global, c.quoteMarker))
        << c.name;
    EXPECT_EQ(regex.matchCount(), c.count) << c.name;
  }
  RegexMatcher regex;
  regex.execute(L("a#引号b"), "", false, true, true, true);
  EXPECT_EQ(regex.pattern(), "a\"b");
}

TEST(RegexMatcherTest, InvalidPatternAndEmptyObject) {
  RegexMatcher fresh;
  EXPECT_EQ(fresh.matchCount(), 0);
  EXPECT_EQ(fresh.matchText(1), "");
  EXPECT_EQ(fresh.pattern(), "");
  EXPECT_EQ(fresh.replace("x"), "");

  RegexMatcher regex;
  ASSERT_TRUE(regex.execute("a", "a"));
  EXPECT_FALSE(regex.execute("(a", "a"));
  EXPECT_EQ(regex.matchCount(), 0);
  EXPECT_EQ(regex.pattern(), "(a");
  EXPECT_EQ(regex.replace("x"), "");
}

TEST(RegexMatcherTest, MatchTextIndexesAndPositions) {
  RegexMatcher regex;
  // GB18030 bytes: 中 and 文 take two each, the emoji four.
  ASSERT_TRUE(regex.execute("ab", L("中文\xF0\x9F\x98\x80" "ab-ab")));
  ASSERT_EQ(regex.matchCount(), 2);
  int position = 99;
  EXPECT_EQ(regex.matchText(0, &position), "");
  EXPECT_EQ(position, -2);
  EXPECT_EQ(regex.matchText(3, &position), "");
  EXPECT_EQ(position, -2);
  EXPECT_EQ(regex.matchText(1, &position), "ab");
  EXPECT_EQ(position, 8);  // bytes, not characters (4) or UTF-16 units (5)
  // The second of two equal texts is reported at its own offset.
  EXPECT_EQ(regex.matchText(2, &position), "ab");
  EXPECT_EQ(position, 11);
  EXPECT_EQ(regex.matchText(1, &position), "ab");
  EXPECT_EQ(position, 8);
}

TEST(RegexMatcherTest, Groups) {
  RegexMatcher regex;
  ASSERT_TRUE(regex.execute("(\\d)(\\d)", L("号12 34")));
  EXPECT_EQ(regex.subMatchCount(), 2);
  int position = 0;
  EXPECT_EQ(regex.subMatchText(2, 2, &position), "4");
  EXPECT_EQ(position, 6);
  EXPECT_EQ(regex.subMatchText(1, 1, &position), "1");
  EXPECT_EQ(position, 2);
  EXPECT_EQ(regex.subMatchText(1, 3, &position), "");
  EXPECT_EQ(position, -2);
  EXPECT_EQ(regex.subMatchText(3, 1), "");

  ASSERT_TRUE(regex.execute("(a)|(b)", "b"));
  EXPECT_EQ(regex.subMatchText(1, 1, &position), "");  // took no part
  EXPECT_EQ(position, -2);
  EXPECT_EQ(regex.subMatchText(1, 2), "b");

  ASSERT_TRUE(regex.execute("(\\d)(\\d)", "none"));
  EXPECT_EQ(regex.subMatchCount(), 0);
}

TEST(RegexMatcherTest, ReplaceFollowsScriptConventions) {
  struct Case {
    const char* pattern;
    const char* subject;
    bool global;
    const char* replacement;
    const char* result;
  } cases[] = {
      {"(\\d)(\\d)", "12 34", true, "$2$1", "21 43"},
      {"(\\d)(\\d)", "12 34", false, "$2$1", "21 34"},
      {"\\d+", "a1b22", true, "<$&>", "a<1>b<22>"},
      {"b", "abc", true, "[$`|$']", "a[a|c]c"},
      {"b", "abc", true, "$$", "a$c"},
      {"(b)", "abc", true, "$0$2$10", "a$0$2b0c"},  // no group 0, 2 or 10
      {"(a)|(b)", "b", true, "[$1]", "[]"},
      {"x", "abc", true, "y", "abc"},
      {"", "ab", true, "-", "-a-b-"},
  };
  for (const Case& c : cases) {
    RegexMatcher regex;
    ASSERT_TRUE(regex.execute(c.pattern, c.subject, false, true, c.global)) << c.pattern;
    EXPECT_EQ(regex.replace(c.replacement), c.result) << c.pattern << " " << c.replacement;
  }
  RegexMatcher regex;
  ASSERT_TRUE(regex.execute(L("文"), L("中文字")));
  EXPECT_EQ(regex.replace(L("\xF0\x9F\x98\x80")), L("中\xF0\x9F\x98\x80字"));
}

TEST(RegexMatcherTest, ClonesKeepTheirResults) {
  RegexMatcher regex;
  ASSERT_TRUE(regex.execute("\\d", "1 2"));
  auto copy = regex.clone();
  ASSERT_TRUE(regex.execute("x", "y"));
  EXPECT_EQ(copy->matchCount(), 2);
  EXPECT_EQ(copy->matchText(2), "2");
  EXPECT_EQ(copy->replace("#"), "# #");
  EXPECT_EQ(regex.matchCount(), 0);
}

TEST(RegexMatcherTest, HostileInputEndsEarlyInsteadOfHanging) {
  RegexMatcher regex;
  // Exponential backtracking: the match limit ends the collection.
  EXPECT_TRUE(regex.execute("(a+)+b", std::string(50000, 'a')));
  EXPECT_EQ(regex.matchCount(), 0);
  // Bytes that are not text still let the rest match.
  EXPECT_TRUE(regex.execute("20[\\d]{6}", "\x81\xFF" "20200720\x80"));
  EXPECT_EQ(AllMatches(regex), (std::vector<LocalText>{"20200720"}));
}

}  // namespace
}  // namespace lumbrin
