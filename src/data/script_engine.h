#pragma once
// An ECMAScript engine instance (Duktape) that runs code and evaluates
// expressions whose texts are local text.
//
// Strings cross as UTF-16: local text is converted to UTF-16 and handed to the
// engine unit by unit, so astral characters keep their surrogate pairs both
// ways and a lone surrogate survives until it is turned back into local text
// (where it becomes "?").
//
// Every run and evaluation is bounded: it fails once it has run longer than
// the engine's time limit, and an allocation that would take the heap past the
// memory limit fails. A failed run or evaluation yields the empty value and
// leaves the engine usable (a heap filled up by the script stays full, though).
// The engine offers the language and nothing else: no print, no modules, no
// file, network or process access.
//
// Thread contract: an instance is used by one thread at a time (it is not
// locked); different instances may run on different threads at once.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/text.h"

namespace lumbrin {

// A text in the engine's own string form (CESU-8: each UTF-16 unit written as
// UTF-8), as one engine hands it to another. It skips the conversion to local
// text and back, which costs time on large texts and would turn a lone
// surrogate into "?".
class NativeText {
public:
  NativeText() = default;
  // `ascii` must hold ASCII characters only (they are the same in both forms).
  [[nodiscard]] static NativeText FromAscii(std::string_view ascii);
  // May throw std::bad_alloc.
  [[nodiscard]] static NativeText FromLocal(LocalView text);

  NativeText& operator+=(const NativeText& more) {
    bytes_ += more.bytes_;
    return *this;
  }
  [[nodiscard]] LocalText toLocal() const;

private:
  friend class ScriptEngine;
  std::string bytes_;
};

// The fields of the engine's last error. number is 0 after a call that
// succeeded; otherwise one of the ScriptErrorCode values.
struct ScriptError {
  std::int32_t number = 0;
  LocalText source, description, helpFile;
  std::int32_t helpContext = 0;
  LocalText text;
  std::int32_t line = 0, column = 0;
};

enum ScriptErrorCode : std::int32_t {
  kScriptErrorNone = 0,
  kScriptErrorSyntax = 1,      // the code did not compile; text holds its line
  kScriptErrorRuntime = 2,     // the code threw
  kScriptErrorTimeLimit = 3,   // ran past the time limit
  kScriptErrorMemoryLimit = 4, // an allocation hit the memory limit
};

struct ScriptLimits {
  std::chrono::milliseconds time{3000};      // per run or evaluation
  std::size_t memoryBytes = std::size_t{256} << 20;  // whole heap
};

class ScriptEngine {
public:
  // A new instance, or null when no heap could be made.
  [[nodiscard]] static std::shared_ptr<ScriptEngine> create();
  [[nodiscard]] static std::shared_ptr<ScriptEngine> create(const ScriptLimits& limits);

  // The limits create() uses. Process-wide; meant for tests and tools that
  // want shorter bounds. Safe to call from any thread.
  [[nodiscard]] static ScriptLimits defaultLimits();
  static void setDefaultLimits(const ScriptLimits& limits);

  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // Runs `code` as a global program (function and var declarations become
  // globals). True when it compiled and ran without throwing.
  bool run(LocalView code);
  bool run(const NativeText& code);

  // Evaluates `code`, a statement sequence, like the global eval function:
  // its var declarations become globals and its value is the value of the
  // last expression statement.
  // Result discarded; true when the evaluation succeeded.
  bool eval(LocalView code);
  // Result as text: a string as it stands, undefined and null as empty text,
  // anything else through ToString. Empty text when the evaluation failed.
  [[nodiscard]] LocalText evalText(LocalView code);
  // Result as number: undefined and null as 0, anything else through
  // ToNumber. 0 when the evaluation failed.
  [[nodiscard]] double evalNumber(LocalView code);
  // Result through ToBoolean; false when the evaluation failed.
  [[nodiscard]] bool evalTruth(LocalView code);
  // Like evalText, with the result in the engine's own string form, for
  // handing it to another engine; nullopt when the evaluation failed.
  [[nodiscard]] std::optional<NativeText> evalNative(LocalView code);

  // Like run, for code that many engines run (a support script of our own,
  // never untrusted text): compiled once per process, then loaded as
  // bytecode, which is several times cheaper.
  bool runShared(LocalView code);

  // Fast forms of the hottest evaluations. A member chain is a global name
  // followed by ".name" and "[index]" steps, such as da.data.galleries[3].id
  // (ASCII names, plain decimal indexes, no blanks). For such a chain these
  // give exactly what evaluating the equivalent text gives, without compiling
  // it; for any other text they give nullopt and the caller evaluates.
  // evalTruth(chain + " != null")
  [[nodiscard]] std::optional<bool> chainIsSet(LocalView chain);
  // evalText(chain + ".toString().replace(" + replaceGlobal + ", '" +
  // replacement + "')"), replacement taken as the string's value.
  [[nodiscard]] std::optional<LocalText> chainToText(LocalView chain, const char* replaceGlobal,
                                                     const char* replacement);
  // Sets the global `name` to the value of `json` when it is a JSON text whose
  // outermost value is an object or an array: the value evaluating that text
  // as script would give, read without compiling it. False, and nothing set,
  // for any other text (the caller then evaluates it).
  bool assignJson(const char* name, LocalView json);
  bool assignJson(const char* name, const NativeText& json);

  // The error of the last run or evaluation (number 0 when it succeeded).
  [[nodiscard]] const ScriptError& lastError() const noexcept { return lastError_; }

  [[nodiscard]] const ScriptLimits& limits() const noexcept { return limits_; }

  struct Heap;  // heap bookkeeping shared with the allocator and the time check
  struct Call;  // one protected call into the heap

private:
  explicit ScriptEngine(const ScriptLimits& limits);
  struct Outcome;
  // Leaves the line of a syntax error in lastError_.line; the caller, who
  // has the code's text, fills lastError_.text.
  bool execute(Call& call, Outcome& out);
  bool executeSource(LocalView code, bool asEval, int want, Outcome& out);
  bool executeNative(const std::string& source, bool asEval, int want, Outcome& out);

  ScriptLimits limits_;
  std::unique_ptr<Heap> heap_;
  ScriptError lastError_;
};

// Changes the process-wide default limits for the lifetime of the object and
// puts the earlier ones back afterwards. For tests.
class ScopedScriptLimits {
public:
  explicit ScopedScriptLimits(const ScriptLimits& limits) : previous_(ScriptEngine::defaultLimits()) {
    ScriptEngine::setDefaultLimits(limits);
  }
  ~ScopedScriptLimits() { ScriptEngine::setDefaultLimits(previous_); }
  ScopedScriptLimits(const ScopedScriptLimits&) = delete;
  ScopedScriptLimits& operator=(const ScopedScriptLimits&) = delete;

private:
  ScriptLimits previous_;
};

}  // namespace lumbrin
