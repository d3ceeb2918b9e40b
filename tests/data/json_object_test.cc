#include "data/json_object.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "http/charset.h"

namespace lumbrin {
namespace {

using namespace std::chrono_literals;

LocalText L(std::string_view utf8) { return LocalFromUtf8(utf8); }

// Short bounds, so the runaway cases end quickly.
ScriptLimits ShortLimits() {
  ScriptLimits limits;
  limits.time = 400ms;
  limits.memoryBytes = std::size_t{24} << 20;
  return limits;
}

TEST(JsonObjectTest, ResolvePathPrefixesTheRoot) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"data":{"url":"x"},"meta":"m","da":{"y":1}})"));
  struct Case {
    const char* path;
    const char* resolved;
    bool set;
  } cases[] = {
      {"", "da", true},
      {"data.url", "da.data.url", true},  // "data" begins with "da" but names no variable
      {"meta", "da.meta", true},
      {"[0]", "da[0]", false},
      {"da.y", "da.da.y", true},   // "da.y" is missing, so it gains a second prefix
      {"da.x", "da.da.x", false},
      {"da.data", "da.data", true},  // exists as it stands: left unchanged
      {"missing", "da.missing", false},
  };
  for (const Case& c : cases) {
    LocalText path = c.path;
    EXPECT_EQ(json.resolvePath(path), c.set) << c.path;
    EXPECT_EQ(path, c.resolved) << c.path;
  }
}

TEST(JsonObjectTest, ReadsTextsOfEveryKind) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"n":12,"b":true,"o":{"k":1},"a":[1,2],"s":"x\\y","big":12345678901234567890,)"
                         R"("list":[{"id":"p0"},{"id":"p1"}],"nul":null})"));
  struct Case {
    const char* path;
    bool asJson;
    const char* text;
  } cases[] = {
      {"n", false, "12"},
      {"b", false, "true"},
      {"o", false, "[object Object]"},
      {"a", false, "1,2"},
      {"s", false, "x\\y"},
      // A double keeps seventeen significant digits.
      {"big", false, "12345678901234567000"},
      {"list[1].id", false, "p1"},
      {"[0]", false, ""},
      {"missing", false, ""},
      {"missing.deeper", false, ""},
      {"nul", false, ""},
      {"n", true, "12"},
      {"o", true, R"({"k":1})"},
      {"a", true, "[1,2]"},
      {"s", true, R"("x\\y")"},  // a parsed backslash is doubled in JSON
      {"missing", true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(json.getText(c.path, c.asJson), c.text) << c.path << " " << c.asJson;
  EXPECT_EQ(json.getItemText(0, "list", true), R"({"id":"p0"})");
  EXPECT_EQ(json.getItemText(1, "a"), "");  // not a string: no toString on this path
  EXPECT_EQ(json.getNumber("n"), 12.0);
  EXPECT_EQ(json.getNumber("missing"), 0.0);
}

TEST(JsonObjectTest, NumbersKeepTheirValues) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"zero":0,"negZero":-0,"n15":123456789012345,"neg15":-999999999999999,)"
                         R"("n16":1234567890123456,"ms":1595246400000,"frac":30.27,"exp":1E3,"list":[7,-8],)"
                         R"("half":-0.5,"tiny":0.000001,"trail":1.50,"wide":123.456789012345,"long":0.12345678901234567})"));
  struct Case {
    const char* path;
    double value;
  } cases[] = {{"zero", 0.0},
               {"n15", 123456789012345.0},
               {"neg15", -999999999999999.0},
               {"n16", 1234567890123456.0},
               {"ms", 1595246400000.0},
               {"frac", 30.27},
               {"exp", 1000.0},
               {"list[1]", -8.0},
               {"half", -0.5},
               {"tiny", 0.000001},
               {"trail", 1.5},
               {"wide", 123.456789012345},
               {"long", 0.12345678901234567}};
  for (const Case& c : cases) EXPECT_EQ(json.getNumber(c.path), c.value) << c.path;
  EXPECT_EQ(json.engine()->evalNumber("1 / da.negZero"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(json.getText("ms"), "1595246400000");
  // Not JSON (a leading zero), so read as script, where it is an octal literal.
  ASSERT_TRUE(json.parse(R"({"octal":010})"));
  EXPECT_EQ(json.getNumber("octal"), 8.0);
}

TEST(JsonObjectTest, CountsMembersAndKinds) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"three":[1,2,3],"none":[],"obj":{"a":1,"b":{}},"s":"t","n":1,"t":false,"z":null})"));
  EXPECT_EQ(json.count("three"), 3);
  EXPECT_EQ(json.count("none"), 0);
  EXPECT_EQ(json.count("obj"), 0);
  EXPECT_EQ(json.count("missing"), 0);

  std::vector<LocalText> names{"stale"};
  EXPECT_EQ(json.memberNames(names, "obj"), 2);
  EXPECT_EQ(names, (std::vector<LocalText>{"a", "b"}));
  EXPECT_EQ(json.memberNames(names, "three"), 0);
  EXPECT_TRUE(names.empty());

  struct Case {
    const char* path;
    int kind;
  } kinds[] = {{"three", kJsonArray}, {"obj", kJsonObject}, {"s", kJsonString}, {"n", kJsonNumber},
               {"t", kJsonBoolean},   {"z", kJsonNull},     {"missing", kJsonNull},
               // The parent is missing: both evaluations fail.
               {"missing.child", kJsonFailed}};
  for (const Case& c : kinds) EXPECT_EQ(json.kindOf(c.path), c.kind) << c.path;
  EXPECT_TRUE(json.exists("obj.b"));
  EXPECT_FALSE(json.exists("obj.c"));
}

TEST(JsonObjectTest, LeafValuesFlatAndRecursive) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"a":"x","b":{"c":1,"d":[true,"",null]},"e":""})"));
  std::vector<LocalText> values;
  EXPECT_EQ(json.leafValues(values), 1);  // the trailing empty value is lost
  EXPECT_EQ(values, (std::vector<LocalText>{"x"}));
  EXPECT_EQ(json.leafValues(values, "", true), 4);
  EXPECT_EQ(values, (std::vector<LocalText>{"x", "1", "true", ""}));
  EXPECT_EQ(json.leafValues(values, "missing"), 0);
  EXPECT_TRUE(values.empty());
}

TEST(JsonObjectTest, BackslashesSetInPlainModeComeBackSingle) {
  JsonObject json;
  const LocalText value = L("C:\\照片\\a'b\"c\r\nd");
  ASSERT_TRUE(json.setValue("path", value));
  EXPECT_EQ(json.getText("path"), value);
  EXPECT_EQ(json.getJsonText("path"), L("\"C:\\照片\\a'b\\\"c\\r\\nd\""));
  EXPECT_EQ(json.toText(), L("{\"path\":\"C:\\照片\\a'b\\\"c\\r\\nd\"}"));
}

TEST(JsonObjectTest, ChangesMembers) {
  JsonObject json;
  EXPECT_EQ(json.toText(), "{}");
  EXPECT_TRUE(json.setValue("cfg", R"({"a":1,"list":[1]})", true));
  EXPECT_TRUE(json.setValue("cfg", R"({"b":"x","list":[2]})", true));  // merged into the existing object
  EXPECT_EQ(json.getJsonText("cfg"), R"({"a":1,"list":[1,2],"b":"x"})");

  EXPECT_TRUE(json.append("y", "cfg.b"));  // not an array: replaced by one
  EXPECT_EQ(json.getJsonText("cfg.b"), R"(["y"])");
  EXPECT_TRUE(json.append("0", "cfg.b", true, true));
  EXPECT_EQ(json.getJsonText("cfg.b"), R"([0,"y"])");
  EXPECT_TRUE(json.setItem(1, "cfg.b", "z"));
  EXPECT_TRUE(json.removeItem(0, "cfg.b"));
  EXPECT_EQ(json.getJsonText("cfg.b"), R"(["z"])");

  EXPECT_TRUE(json.setNumber("n", 0.1));
  EXPECT_EQ(json.getNumber("n"), 0.1);
  EXPECT_TRUE(json.setNumber("n", -1e300));
  EXPECT_EQ(json.getNumber("n"), -1e300);
  EXPECT_TRUE(json.setExpression("e", "'1+' + 2"));
  EXPECT_EQ(json.getNumber("e"), 3.0);
  EXPECT_TRUE(json.removeMember("cfg"));
  EXPECT_FALSE(json.exists("cfg"));
  EXPECT_TRUE(json.reset());
  EXPECT_EQ(json.toText(), "{}");
}

TEST(JsonObjectTest, GetObjectCopiesIntoItsOwnEngine) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"data":{"galleries":[{"id":"a"},{"id":"b"},{"id":"c"}]}})"));
  auto galleries = json.getObject("data.galleries");
  ASSERT_TRUE(galleries);
  EXPECT_EQ(galleries->count(), 3);
  EXPECT_NE(galleries->engine(), json.engine());
  EXPECT_EQ(galleries->getText("[2].id"), "c");

  auto item = json.getItemObject(1, "data.galleries");
  EXPECT_EQ(item->getText("id"), "b");

  auto missing = json.getObject("data.none");
  EXPECT_EQ(missing->kindOf(), kJsonNull);
  EXPECT_EQ(missing->count(), 0);
}

TEST(JsonObjectTest, CopiesReadExactlyAsTheirSource) {
  // A name with U+2400 from the service and a backslash path set in plain
  // mode once turned the copy into escapes ("\n") or an unreadable text.
  JsonObject json;
  ASSERT_TRUE(json.parse(L("{\"g\":[{\"name\":\"a\xE2\x90\x80n.jpg\",\"odd\":\"\\ud800x\",\"e\":\"\xF0\x9F\x98\x80\"}]}")));
  ASSERT_TRUE(json.setValue("g[0].dir", L("C:\\照片\\x")));
  auto list = json.getObject("g");
  auto item = json.getItemObject(0, "g");
  ASSERT_EQ(list->count(), 1);
  for (const char* path : {"name", "odd", "e", "dir"}) {
    const LocalText expected = json.getText(std::string("g[0].") + path);
    EXPECT_EQ(list->getText(std::string("[0].") + path), expected) << path;
    EXPECT_EQ(item->getText(path), expected) << path;
  }
  EXPECT_EQ(item->getText("dir"), L("C:\\照片\\x"));
  EXPECT_EQ(item->getJsonText(), json.getJsonText("g[0]"));
  // The lone surrogate is carried over as it is, not as the "?" local text shows.
  EXPECT_TRUE(item->engine()->evalTruth("da.odd.charCodeAt(0) == 0xD800"));
  EXPECT_EQ(item->getNumber("e.length"), 2.0);
}

TEST(JsonObjectTest, ClonesShareTheEngineUntilOneParses) {
  JsonObject json;
  ASSERT_TRUE(json.parse(R"({"v":1})"));
  auto copy = json.clone();
  EXPECT_EQ(copy->engine(), json.engine());
  ASSERT_TRUE(copy->setNumber("v", 2));
  EXPECT_EQ(json.getNumber("v"), 2.0);
  ASSERT_TRUE(copy->parse(R"({"v":3})"));
  EXPECT_NE(copy->engine(), json.engine());
  EXPECT_EQ(json.getNumber("v"), 2.0);
}

TEST(JsonObjectTest, ParsesWhatTheServiceSends) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    const char* path;
    std::string expected;
  } cases[] = {
      {"json", R"({"data":{"url":"x"}})", true, "data.url", "x"},
      {"wrapped answer cut to (...)", R"(({"url":"u","meta":"m"}))", true, "meta", "m"},
      {"callback left in front", R"(cb({"url":"u"}))", false, "url", ""},
      {"not script", R"({"a":)", false, "a", ""},
      {"empty", "", false, "", ""},
      {"null", "null", false, "", ""},
      {"trailing junk", R"({"a":1} 145sdas)", false, "a", ""},
      {"chinese and emoji", "{\"name\":\"中文\xF0\x9F\x98\x80.jpg\"}", true, "name", "中文\xF0\x9F\x98\x80.jpg"},
      {"escaped astral", R"({"e":"\ud83d\ude00"})", true, "e", "\xF0\x9F\x98\x80"},
      {"line separator in a string", "{\"s\":\"a\xE2\x80\xA8z\"}", true, "s", "a\xE2\x80\xA8z"},
  };
  for (const Case& c : cases) {
    JsonObject json;
    EXPECT_EQ(json.parse(L(c.text)), c.ok) << c.name;
    EXPECT_EQ(json.getText(c.path), L(c.expected)) << c.name;
  }
  JsonObject json;
  ASSERT_TRUE(json.parse(L("{\"e\":\"\xF0\x9F\x98\x80\"}")));
  EXPECT_EQ(json.getNumber("e.length"), 2.0);  // one astral character, two units
}

TEST(JsonObjectTest, ParseFillsTheErrorRecord) {
  JsonObject json;
  ScriptError error;
  EXPECT_FALSE(json.parse("{\"a\":1,\n\"b\":}", false, &error));
  EXPECT_EQ(error.number, kScriptErrorSyntax);
  EXPECT_EQ(error.line, 2);
  EXPECT_EQ(error.text, "\"b\":})");
  EXPECT_FALSE(error.description.empty());
  EXPECT_EQ(json.getText("a"), "");

  EXPECT_FALSE(json.parse("missingName.x", false, &error));
  EXPECT_EQ(error.number, kScriptErrorRuntime);
  EXPECT_TRUE(json.parse(R"({"a":1})", false, &error));
  EXPECT_EQ(error.number, 0);
  EXPECT_TRUE(error.description.empty());
}

TEST(JsonObjectTest, RunawayAnswersFailWithinTheLimits) {
  ScopedScriptLimits limits(ShortLimits());
  struct Case {
    const char* name;
    const char* text;
    bool literal;
    std::int32_t error;
  } cases[] = {
      {"endless loop", "(function(){ while (1) {} })()", false, kScriptErrorTimeLimit},
      {"loop that swallows the time-out", "(function(){ for (;;) { try { for (;;) {} } catch (e) {} } })()", false,
       kScriptErrorTimeLimit},
      {"endless loop as literal", "0; for (;;) {}", true, kScriptErrorTimeLimit},
      // One built-in call that runs for minutes without a bytecode instruction.
      {"join over a sparse array", "new Array(1e7).join('x')", false, kScriptErrorTimeLimit},
      {"array built-in over length 4e8", "Array.prototype.reverse.call({length: 4e8})", false,
       kScriptErrorTimeLimit},
      {"quadratic text search",
       "(function(){ var s = 'a'; while (s.length < 2e6) s += s; return s.indexOf(s.substring(1e6) + 'b') })()",
       false, kScriptErrorTimeLimit},
      {"built-in loop inside a loop that swallows the time-out",
       "(function(){ for (;;) { try { [].lastIndexOf.call({length: 4e8}, 1) } catch (e) {} } })()", false,
       kScriptErrorTimeLimit},
      {"string doubled without end", "(function(){ var s = 'x'; for (;;) s = s + s; })()", false,
       kScriptErrorMemoryLimit},
      {"array grown without end",
       "(function(){ var a = []; for (;;) { try { a.push(new Array(4096).join('y') + a.length) } catch (e) {} } })()",
       false, 0},
  };
  for (const Case& c : cases) {
    JsonObject json;
    ScriptError error;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(json.parse(c.text, c.literal, &error)) << c.name;
    // Generous: the point is that it ends, not how fast.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << c.name;
    if (c.error != 0) {
      EXPECT_EQ(error.number, c.error) << c.name << ": " << error.description;
    } else {
      EXPECT_TRUE(error.number == kScriptErrorTimeLimit || error.number == kScriptErrorMemoryLimit) << c.name;
    }
    EXPECT_EQ(json.getText("a"), "") << c.name;
    // The same object parses the next answer in a fresh engine.
    EXPECT_TRUE(json.parse(R"({"a":"ok"})")) << c.name;
    EXPECT_EQ(json.getText("a"), "ok") << c.name;
  }
  JsonObject fresh;
  EXPECT_TRUE(fresh.parse(R"({"a":"ok"})"));
}

TEST(JsonObjectTest, EngineHasNothingBeyondTheLanguage) {
  JsonObject json;
  auto engine = json.engine();
  for (const char* name : {"Duktape", "print", "alert", "require", "CBOR", "TextEncoder", "performance", "process"}) {
    EXPECT_EQ(engine->evalText(LocalText("typeof ") + name), "undefined") << name;
  }
  // The support script's members of Object.prototype are enumerable but skipped.
  EXPECT_EQ(engine->evalText("typeof Object.prototype.toJSONString"), "function");
}

}  // namespace
}  // namespace lumbrin
