#pragma once
// One JSON value, the root, read and changed by path text ("data.url",
// "data.galleries[3].fileName", "[0].id"). Every operation composes script
// text and has the object's script engine evaluate it; the root lives in the
// engine's global variable "da".
//
// Paths are script code relative to the root and are inserted unchanged; an
// empty path is the root itself. A text stored by setValue in plain mode keeps
// U+2400 in place of each backslash, and every operation that hands out text
// (toText, getText, getItemText, getJsonText) turns U+2400 back into a
// backslash, so such a backslash comes out single, also in JSON text. The
// copies getObject and getItemObject make keep U+2400 as it is, so a copy
// reads exactly as its source.
//
// parse evaluates its text as script (service answers are read that way), in a
// fresh engine every time, under the engine's time and memory limits: a text
// that loops or grows without end is a failed parse, not a hung worker.
//
// Nothing fails loudly: a failed evaluation yields empty text, 0 or false.
//
// Thread contract: an object and its clones are used by one thread; objects
// are not shared between threads. clone() and engine() share the engine.

#include <memory>
#include <vector>

#include "base/text.h"
#include "data/script_engine.h"

namespace lumbrin {

// The codes kindOf returns. There is no code 3.
enum JsonKind : int {
  kJsonFailed = -1,   // anything else, or a failed evaluation
  kJsonNull = 0,      // null or undefined, also a missing member
  kJsonBoolean = 1,
  kJsonNumber = 2,
  kJsonObject = 4,
  kJsonArray = 5,
  kJsonString = 6,
};

class JsonObject {
public:
  JsonObject();  // rootName "da", then createEngine()
  virtual ~JsonObject();
  JsonObject(const JsonObject&) = delete;
  JsonObject& operator=(const JsonObject&) = delete;

  // A second object on the same engine (both see the same root until one of
  // them parses).
  [[nodiscard]] virtual std::unique_ptr<JsonObject> clone() const;
  // Makes a new engine holding the support script and an empty root. When no
  // engine can be made, the object stays without one: every operation then
  // yields the empty value and parse does not try again.
  virtual void createEngine();
  // Replaces the engine by a fresh one and evaluates `text` into the root
  // ("var da = eval(text)", or "var da = text" when literal). True when the
  // root is neither null nor undefined afterwards. `error`, when given,
  // receives the engine's last error.
  virtual bool parse(LocalView text, bool literal = false, ScriptError* error = nullptr);
  virtual bool reset();
  [[nodiscard]] virtual LocalText toText();
  virtual bool setValue(LocalView path, LocalView value, bool asJson = false);
  virtual bool setExpression(LocalView path, LocalView expression);
  // Turns `path` into a full expression starting with the root ("data.url" ->
  // "da.data.url", "[0]" -> "da[0]", "" -> "da"); a path that begins with the
  // bytes "da" and names an existing value is left as it is. True when the
  // member is neither null nor undefined.
  virtual bool resolvePath(LocalText& path);
  [[nodiscard]] virtual bool exists(LocalView path = {});
  [[nodiscard]] virtual int kindOf(LocalView path = {});
  [[nodiscard]] virtual LocalText getText(LocalView path = {}, bool asJson = false);
  // Names of an object's members (none for anything else); replaces `names`.
  virtual int memberNames(std::vector<LocalText>& names, LocalView path = {});
  [[nodiscard]] virtual int count(LocalView path = {});
  // A new object (own engine) holding a copy of the member; its root is
  // undefined when the member is missing.
  [[nodiscard]] virtual std::unique_ptr<JsonObject> getObject(LocalView path = {});
  virtual bool append(LocalView value, LocalView path = {}, bool raw = false, bool atFront = false);
  [[nodiscard]] virtual std::unique_ptr<JsonObject> getItemObject(int index, LocalView path = {});
  [[nodiscard]] virtual LocalText getItemText(int index, LocalView path = {}, bool asJson = false);
  virtual bool setItem(int index, LocalView path, LocalView value, bool raw = false);
  virtual bool removeItem(int index, LocalView path = {});
  virtual bool removeMember(LocalView path);
  virtual bool setNumber(LocalView path, double number);
  [[nodiscard]] virtual double getNumber(LocalView path = {});
  [[nodiscard]] virtual LocalText getJsonText(LocalView path = {});
  [[nodiscard]] virtual std::shared_ptr<ScriptEngine> engine() const;
  // The string, number and boolean values among the member's own members
  // (with recursive, also those of nested objects and arrays); replaces
  // `values`.
  virtual int leafValues(std::vector<LocalText>& values, LocalView path = {}, bool recursive = false);

private:
  struct Uninitialised {};
  explicit JsonObject(Uninitialised) {}  // for clone: no engine of its own

  // The engine, made on first use (see the constructor); null when none
  // could be made.
  [[nodiscard]] ScriptEngine* ready() const;
  bool isSet(const LocalText& expression);
  template <typename Text>
  bool parseText(const Text& text, bool literal, ScriptError* error);
  bool parseNative(const NativeText& text);
  [[nodiscard]] NativeText jsonCopy(const LocalText& expression);

  LocalText rootName_;
  mutable std::shared_ptr<ScriptEngine> engine_;
  mutable bool enginePending_ = false;
};

}  // namespace lumbrin
