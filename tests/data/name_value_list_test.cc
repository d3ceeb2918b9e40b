#include "data/name_value_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumbrin {
namespace {

using Texts = std::vector<LocalText>;

// "中文" in GBK / GB18030 and in UTF-8.
constexpr std::string_view kGbkChinese = "\xD6\xD0\xCE\xC4";
constexpr std::string_view kUtf8Chinese = "\xE4\xB8\xAD\xE6\x96\x87";

NameValueList ListOf(std::initializer_list<std::pair<LocalView, LocalView>> entries) {
  NameValueList list;
  for (const auto& [name, value] : entries) list.add(name, value);
  return list;
}

TEST(NameValueList, WritesHeaderAndFormText) {
  const NameValueList empty;
  EXPECT_EQ(empty.toHeaderText(), "");
  EXPECT_EQ(empty.toFormText(), "");
  EXPECT_EQ(empty.toJsonText(), "{}");

  EXPECT_EQ(ListOf({{"user-agent", "X"}}).toHeaderText(), "user-agent: X");
  const auto list = ListOf({{"referer", "A"}, {"user-agent", "B"}});
  EXPECT_EQ(list.toHeaderText(), "referer: A\r\nuser-agent: B");
  EXPECT_EQ(list.toFormText(), "referer=A&user-agent=B");
  EXPECT_EQ(ListOf({{"a", "1"}, {"b", "2"}}).toFormText(), "a=1&b=2");
  EXPECT_EQ(ListOf({{"", ""}}).toFormText(), "=");
}

TEST(NameValueList, EncodedFormsEncodeWhatTheyShould) {
  const auto list = ListOf({{"q", "a b"}, {"k!", kGbkChinese.substr(0, 2)}});
  EXPECT_EQ(list.toFormText(true), "q=a+b&k%21=%D6%D0");
  // Header text encodes values only, never names.
  EXPECT_EQ(list.toHeaderText(true), "q: a+b\r\nk!: %D6%D0");
  EXPECT_EQ(list.toHeaderText(), "q: a b\r\nk!: \xD6\xD0");
}

TEST(NameValueList, AddFromFormTextSplitsAtAmpersands) {
  NameValueList list;
  list.addFromFormText("a=1&&b=x=y");
  EXPECT_EQ(list.names(), (Texts{"a", "", "b"}));
  EXPECT_EQ(list.values(), (Texts{"1", "", "y"}));

  struct Case {
    LocalText form;
    Texts names, values;
  } cases[] = {
      {"", {}, {}},
      {"&a=1&", {"", "a"}, {"", "1"}},
      {"noequals&k=", {"", "k"}, {"", ""}},
      {"=v&%41=%20", {"", "%41"}, {"v", "%20"}},  // no URL decoding
      // Double-byte characters pass through whole.
      {"n\xB2\x7C=1&m=\xB0\x40", {"n\xB2\x7C", "m"}, {"1", "\xB0\x40"}},
  };
  for (const auto& c : cases) {
    NameValueList l;
    l.addFromFormText(c.form);
    EXPECT_EQ(l.names(), c.names) << c.form;
    EXPECT_EQ(l.values(), c.values) << c.form;
  }
}

TEST(NameValueList, Utf8OptionStoresUtf8Bytes) {
  NameValueList list;
  list.add(kGbkChinese, kGbkChinese, true);
  list.addFromFormText(LocalText(kGbkChinese) + "=" + LocalText(kGbkChinese), true);
  list.add(kGbkChinese, "x");
  list.add("", "", true);
  EXPECT_EQ(list.names(),
            (Texts{LocalText(kUtf8Chinese), LocalText(kUtf8Chinese), LocalText(kGbkChinese), ""}));
  EXPECT_EQ(list.get(kUtf8Chinese), kUtf8Chinese);
}

TEST(NameValueList, LookupsTakeTheFirstExactMatch) {
  auto list = ListOf({{"k", "1"}, {"k", "2"}, {"K", "3"}});
  EXPECT_EQ(list.get("k"), "1");
  EXPECT_EQ(list.get("K"), "3");
  EXPECT_EQ(ListOf({{"Referer", "x"}}).get("referer"), "");
  EXPECT_EQ(list.get("missing"), "");

  list.set("k", "9");
  EXPECT_EQ(list.values(), (Texts{"9", "2", "3"}));
  list.set("new", "n");  // absent: appended
  EXPECT_EQ(list.names(), (Texts{"k", "k", "K", "new"}));

  list.remove("k");
  EXPECT_EQ(list.names(), (Texts{"k", "K", "new"}));
  EXPECT_EQ(list.values(), (Texts{"2", "3", "n"}));
  list.remove("absent");
  EXPECT_EQ(list.names().size(), 3u);
  list.clear();
  EXPECT_TRUE(list.names().empty());
  EXPECT_TRUE(list.values().empty());
  EXPECT_EQ(list.toHeaderText(), "");
}

TEST(NameValueList, CloneIsIndependent) {
  auto list = ListOf({{"a", "1"}, {"b", "2"}});
  const auto copy = list.clone();
  list.set("a", "changed");
  list.add("c", "3");
  EXPECT_EQ(copy->toFormText(), "a=1&b=2");
  EXPECT_EQ(list.toFormText(), "a=changed&b=2&c=3");
}

TEST(NameValueList, JsonTextEscapesOnlyQuotesInValues) {
  EXPECT_EQ(ListOf({{"a", "1"}, {"b", "2"}}).toJsonText(), R"({"a":"1","b":"2"})");
  EXPECT_EQ(ListOf({{"q", R"(say "hi" \n)"}}).toJsonText(), R"({"q":"say \"hi\" \n"})");
  EXPECT_EQ(ListOf({{"n\"", ","}}).toJsonText(), R"({"n"":","})");  // names unchanged
  const NameValueList list;
  EXPECT_EQ(list.escapeQuotes(R"("\")"), R"(\"\\")");
}

TEST(NameValueList, TrimAffixRemovesOnceFromEachEnd) {
  const NameValueList list;
  struct Case {
    LocalText text, affix, out;
  } cases[] = {
      {",", ",", ""},   {",a,", ",", "a"},  {",,a,,", ",", ",a,"}, {"a,", ",", "a"},
      {",a", ",", "a"}, {"abc", "", "abc"}, {"xyx", "x", "y"},     {"", ",", ""},
  };
  for (const auto& c : cases) {
    LocalText text = c.text;
    EXPECT_EQ(list.trimAffix(text, c.affix), c.out) << c.text;
    EXPECT_EQ(text, c.out);
  }
}

TEST(UrlEncode, BothModes) {
  struct Case {
    LocalText in;
    bool keep, utf8;
    LocalText out;
  } cases[] = {
      {"", true, false, ""},
      {"", true, true, ""},
      {"ab", false, false, "%61%62"},
      {"a b", false, false, "%61+%62"},
      {"a b", true, false, "a+b"},
      {"!~", true, false, "%21%7E"},
      {"!~", false, false, "%21%7E"},
      {"AZaz09-._'()*", true, false, "AZaz09-._'()*"},
      {"/?&=%+", true, false, "%2F%3F%26%3D%25%2B"},
      {LocalText(kGbkChinese), true, false, "%D6%D0%CE%C4"},
      {LocalText(kGbkChinese), true, true, "%E4%B8%AD%E6%96%87"},
      {LocalText("a\0b", 3), true, false, "ab"},  // zero bytes are dropped
      {"\xFF", true, false, "%FF"},
  };
  for (const auto& c : cases) EXPECT_EQ(urlEncode(c.in, c.keep, c.utf8), c.out) << c.in;
}

}  // namespace
}  // namespace lumbrin
