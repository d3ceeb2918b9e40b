#include "data/json_object.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "http/charset.h"
#include "http/header_text.h"

namespace lumbrin {
namespace {

// Given to every new engine. The engine has JSON.stringify and JSON.parse of
// its own, so only the two Object.prototype members are added; they are
// enumerable on purpose (plain assignment), and the functions above skip them
// by their typeof / class tests.
constexpr const char* kSupportScript = R"js(
function get__nodeValue(node, recursion) {
  for (var i in node) {
    var a = Object.prototype.toString.call(node[i]);
    if (a == '[object Object]' || a == '[object Array]') {
      if (recursion) get__nodeValue(node[i], recursion);
    } else if (a == '[object String]' || a == '[object Number]' || a == '[object Boolean]') {
      str_all.push(node[i]);
    }
  }
  return str_all;
}
function get__count(c) {
  if (Object.prototype.toString.call(c) == '[object Array]') return c.length;
  return 0;
}
function get__name_All(a) {
  if (Object.prototype.toString.call(a) == '[object Object]') {
    var names = new Array();
    for (var k in a) {
      if (typeof a[k] != 'function') names.push(k);
    }
    return names.join('\r\n');
  }
  return '';
}
function get__extend(target, source) {
  if (Object.prototype.toString.call(target) == '[object Array]') {
    for (var i = 0; i < source.length; i++) target.push(source[i]);
    return target;
  }
  for (var k in source) {
    var t = typeof target[k];
    if (t == 'string' || t == 'boolean' || t == 'undefined') {
      target[k] = source[k];
    } else if (t == 'number') {
      target = target.concat(source);
    } else if (t == 'object') {
      target[k] = get__extend(target[k], source[k]);
    }
  }
  return target;
}
if (typeof Object.prototype.toJSONString != 'function') {
  Object.prototype.toJSONString = function (filter) { return JSON.stringify(this, filter); };
  Object.prototype.parseJSON = function (filter) { return JSON.parse(this, filter); };
}
)js";

LocalText Decimal(int value) { return std::to_string(value); }

// Shortest text the engine reads back as the same double.
LocalText NumberLiteral(double number) {
  if (std::isnan(number)) return "NaN";
  if (std::isinf(number)) return number > 0 ? "Infinity" : "-Infinity";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  return LocalText(buffer, result.ptr);
}

int ToInt(double value) {
  if (!(value == value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

// Makes a text a script string literal body in single quotes.
LocalText EscapeForLiteral(LocalView value) {
  LocalText out;
  out.reserve(value.size() + 8);
  for (std::size_t pos = 0; pos < value.size();) {
    const std::size_t len = LocalCharLength(value, pos);
    if (len == 1) {
      const char c = value[pos];
      switch (c) {
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\'"; break;
        case '"': out += "\\\""; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out.push_back(c); break;
      }
    } else {
      out.append(value.substr(pos, len));
    }
    pos += len;
  }
  return out;
}

constexpr LocalView kRestoreBackslash = ".replace(str_reg, '\\\\')";

}  // namespace

// The engine is made on first use: a fresh engine that nothing has used yet
// is indistinguishable from none made so far, and the listing's objects are
// mostly parsed (a new engine again) right after construction.
JsonObject::JsonObject() : rootName_("da"), enginePending_(true) {}

ScriptEngine* JsonObject::ready() const {
  if (enginePending_) const_cast<JsonObject*>(this)->createEngine();
  return engine_.get();
}

JsonObject::~JsonObject() = default;

std::unique_ptr<JsonObject> JsonObject::clone() const {
  auto copy = std::unique_ptr<JsonObject>(new JsonObject(Uninitialised{}));
  copy->rootName_ = rootName_;
  (void)ready();
  copy->engine_ = engine_;
  return copy;
}

void JsonObject::createEngine() {
  enginePending_ = false;
  engine_ = ScriptEngine::create();
  if (!ready()) return;
  engine_->runShared(kSupportScript);
  engine_->eval("var " + rootName_ +
                " = {}, str_Code = String.fromCharCode(9216), str_reg = new RegExp(str_Code, 'g')");
}

namespace {

// prefix + text + suffix, with ASCII prefix and suffix.
LocalText Wrapped(std::string_view prefix, LocalView text, std::string_view suffix) {
  LocalText code;
  code.reserve(prefix.size() + text.size() + suffix.size());
  code.append(prefix).append(text).append(suffix);
  return code;
}

NativeText Wrapped(std::string_view prefix, const NativeText& text, std::string_view suffix) {
  NativeText code = NativeText::FromAscii(prefix);
  code += text;
  code += NativeText::FromAscii(suffix);
  return code;
}

}  // namespace

bool JsonObject::parse(LocalView text, bool literal, ScriptError* error) {
  return parseText(text, literal, error);
}

// The copy getObject and getItemObject hand out: read as parse reads text,
// without a round trip through local text.
bool JsonObject::parseNative(const NativeText& text) { return parseText(text, false, nullptr); }

template <typename Text>
bool JsonObject::parseText(const Text& text, bool literal, ScriptError* error) {
  if (!enginePending_ && !engine_) return false;
  engine_.reset();
  createEngine();
  if (!ready()) return false;
  engine_->eval("var " + rootName_ + " = null");
  // A JSON object or array (what the service answers) is read directly; it
  // has the value its evaluation as script would give.
  if (!engine_->assignJson(rootName_.c_str(), text)) {
    const std::string prefix = "var " + rootName_ + " = ";
    try {
      engine_->run(literal ? Wrapped(prefix, text, "") : Wrapped(prefix + "eval(", text, ")"));
    } catch (const std::bad_alloc&) {
      if (error != nullptr) {
        *error = ScriptError{};
        error->number = kScriptErrorMemoryLimit;
      }
      return false;
    }
  }
  if (error != nullptr) *error = engine_->lastError();
  const std::int32_t failure = engine_->lastError().number;
  if (failure == kScriptErrorTimeLimit || failure == kScriptErrorMemoryLimit) {
    // Whatever the runaway text left behind (a root set before it looped, a
    // full heap) is dropped: the object ends as after an unreadable text.
    engine_.reset();
    createEngine();
    if (engine_) engine_->eval("var " + rootName_ + " = null");
    return false;
  }
  return engine_->evalTruth(rootName_ + " != null");
}

bool JsonObject::reset() { return ready() != nullptr && engine_->eval(rootName_ + " = {}"); }

LocalText JsonObject::toText() {
  if (!ready()) return {};
  return engine_->evalText("JSON.stringify(" + rootName_ + ")" + LocalText(kRestoreBackslash));
}

bool JsonObject::setValue(LocalView path, LocalView value, bool asJson) {
  if (!ready()) return false;
  LocalText p(path);
  const bool existed = resolvePath(p);
  if (!asJson) {
    return engine_->eval(p + " = '" + EscapeForLiteral(value) + "'.replace(/\\\\/g, str_Code)");
  }
  const LocalText w = value.empty() ? LocalText("{}") : LocalText(value);
  const LocalText kind = engine_->evalText("Object.prototype.toString.call(" + p + ")");
  if (existed && kind == "[object Object]") return engine_->eval(p + " = get__extend(" + p + ", " + w + ")");
  return engine_->eval(p + " = eval(" + LocalText(value) + ")");
}

bool JsonObject::setExpression(LocalView path, LocalView expression) {
  if (!ready()) return false;
  LocalText p(path);
  resolvePath(p);
  return engine_->eval(p + " = eval(" + LocalText(expression) + ")");
}

bool JsonObject::isSet(const LocalText& expression) {
  if (const auto fast = engine_->chainIsSet(expression)) return *fast;
  return engine_->evalTruth(expression + " != null");
}

bool JsonObject::resolvePath(LocalText& path) {
  if (!ready()) return false;
  if (path.starts_with(rootName_) && isSet(path)) return true;
  if (path.empty()) {
    path = rootName_;
  } else if (path.front() == '[') {
    path = rootName_ + path;
  } else {
    path = rootName_ + "." + path;
  }
  return isSet(path);
}

bool JsonObject::exists(LocalView path) {
  LocalText p(path);
  return resolvePath(p);
}

int JsonObject::kindOf(LocalView path) {
  if (!ready()) return kJsonFailed;
  LocalText p(path);
  resolvePath(p);
  if (engine_->evalTruth(p + " == null")) return kJsonNull;
  const LocalText kind = engine_->evalText("Object.prototype.toString.call(" + p + ")");
  if (kind == "[object String]") return kJsonString;
  if (kind == "[object Array]") return kJsonArray;
  if (kind == "[object Object]") return kJsonObject;
  if (kind == "[object Number]") return kJsonNumber;
  if (kind == "[object Boolean]") return kJsonBoolean;
  return kJsonFailed;
}

LocalText JsonObject::getText(LocalView path, bool asJson) {
  if (!ready()) return {};
  LocalText p(path);
  resolvePath(p);
  if (asJson) return engine_->evalText("JSON.stringify(" + p + ")" + LocalText(kRestoreBackslash));
  if (auto fast = engine_->chainToText(p, "str_reg", "\\")) return std::move(*fast);
  return engine_->evalText(p + ".toString()" + LocalText(kRestoreBackslash));
}

int JsonObject::memberNames(std::vector<LocalText>& names, LocalView path) {
  names.clear();
  if (!ready()) return 0;
  LocalText p(path);
  resolvePath(p);
  names = SplitLocal(engine_->evalText("get__name_All(" + p + ")"), "\r\n");
  return static_cast<int>(names.size());
}

int JsonObject::count(LocalView path) {
  if (!ready()) return 0;
  LocalText p(path);
  resolvePath(p);
  return ToInt(engine_->evalNumber("get__count(" + p + ")"));
}

// The member's JSON text for a copy; empty when the evaluation fails. The
// stand-ins for backslashes stay in it, so the copy reads exactly as the
// member does: turned into backslashes here, they would be read back as
// escapes ("a\n") or make the whole text unreadable ("C:\x").
NativeText JsonObject::jsonCopy(const LocalText& expression) {
  std::optional<NativeText> text = engine_->evalNative("JSON.stringify(" + expression + ")");
  return text ? std::move(*text) : NativeText();
}

std::unique_ptr<JsonObject> JsonObject::getObject(LocalView path) {
  NativeText text;
  if (ready() != nullptr) {
    LocalText p(path);
    resolvePath(p);
    text = jsonCopy(p);
  }
  auto object = std::make_unique<JsonObject>();
  object->parseNative(text);
  return object;
}

bool JsonObject::append(LocalView value, LocalView path, bool raw, bool atFront) {
  if (!ready()) return false;
  LocalText p(path);
  resolvePath(p);
  const LocalText w = raw ? LocalText(value) : "'" + LocalText(value) + "'";
  return engine_->eval("if (Object.prototype.toString.call(" + p + ") != '[object Array]') { " + p +
                       " = new Array() } " + p + (atFront ? ".unshift(" : ".push(") + w + ")");
}

std::unique_ptr<JsonObject> JsonObject::getItemObject(int index, LocalView path) {
  NativeText text;
  if (ready() != nullptr) {
    LocalText p(path);
    resolvePath(p);
    text = jsonCopy(p + "[" + Decimal(index) + "]");
  }
  auto object = std::make_unique<JsonObject>();
  object->parseNative(text);
  return object;
}

LocalText JsonObject::getItemText(int index, LocalView path, bool asJson) {
  if (!ready()) return {};
  LocalText p(path);
  resolvePath(p);
  const LocalText item = p + "[" + Decimal(index) + "]";
  if (asJson) return engine_->evalText("JSON.stringify(" + item + ")" + LocalText(kRestoreBackslash));
  return engine_->evalText(item + LocalText(kRestoreBackslash));
}

bool JsonObject::setItem(int index, LocalView path, LocalView value, bool raw) {
  if (!ready()) return false;
  LocalText p(path);
  resolvePath(p);
  const LocalText w = raw ? LocalText(value) : "'" + LocalText(value) + "'";
  return engine_->eval(p + "[" + Decimal(index) + "] = " + w);
}

bool JsonObject::removeItem(int index, LocalView path) {
  if (!ready()) return false;
  LocalText p(path);
  resolvePath(p);
  return engine_->eval(p + ".splice(" + Decimal(index) + ", 1)");
}

bool JsonObject::removeMember(LocalView path) {
  if (!ready()) return false;
  LocalText p(path);
  resolvePath(p);
  return engine_->eval("delete " + p);
}

bool JsonObject::setNumber(LocalView path, double number) {
  if (!ready()) return false;
  LocalText p(path);
  resolvePath(p);
  return engine_->eval(p + " = " + NumberLiteral(number));
}

double JsonObject::getNumber(LocalView path) {
  if (!ready()) return 0.0;
  LocalText p(path);
  resolvePath(p);
  return engine_->evalNumber(p);
}

LocalText JsonObject::getJsonText(LocalView path) {
  if (!ready()) return {};
  LocalText p(path);
  resolvePath(p);
  return engine_->evalText("JSON.stringify(" + p + ")" + LocalText(kRestoreBackslash));
}

std::shared_ptr<ScriptEngine> JsonObject::engine() const {
  (void)ready();
  return engine_;
}

int JsonObject::leafValues(std::vector<LocalText>& values, LocalView path, bool recursive) {
  values.clear();
  if (!ready()) return 0;
  LocalText p(path);
  resolvePath(p);
  engine_->eval("var str_all = new Array()");
  engine_->eval("get__nodeValue(" + p + ", " + (recursive ? "true" : "false") + ")");
  static const LocalText separator = LocalFromUtf8("[2020年7月20日20时0分0秒]");
  values = SplitLocal(engine_->evalText("str_all.join('" + separator + "')"), separator);
  return static_cast<int>(values.size());
}

}  // namespace lumbrin
