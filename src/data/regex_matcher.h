#pragma once
// Runs an ECMAScript-style regular expression over a subject text and keeps
// the matches (PCRE2, 16-bit code units, JavaScript-compatible options).
//
// Indexes of matches and groups are 1-based. Positions handed out are byte
// offsets into the local text of the subject. A subject that is not valid
// text (a lone surrogate) still matches what it can. Matching is bounded: a
// pattern that would backtrack without end just yields fewer matches.
//
// Thread contract: an object is used by one thread; clones share the compiled
// pattern and the matches, which are never changed after execute.

#include <memory>

#include "base/text.h"

namespace lumbrin {

class RegexMatcher {
public:
  RegexMatcher();
  virtual ~RegexMatcher();
  RegexMatcher(const RegexMatcher&) = delete;
  RegexMatcher& operator=(const RegexMatcher&) = delete;

  [[nodiscard]] virtual std::unique_ptr<RegexMatcher> clone() const;
  // Compiles `pattern` ("#引号" stands for a double quote when quoteMarker)
  // and collects its matches in `subject` (only the first when !global).
  // "." never matches a line break. False for an invalid pattern.
  virtual bool execute(LocalView pattern, LocalView subject, bool caseSensitive = false, bool multiline = true,
                       bool global = true, bool quoteMarker = false);
  virtual void reserved();
  // The pattern of the last execute, as compiled.
  [[nodiscard]] virtual LocalText pattern() const;
  // The subject with the matches (all, or the first when !global) replaced by
  // `replacement`, which may refer to $1..$99, $& (the match), $` and $' (the
  // text before and after it) and $$ (a dollar sign).
  [[nodiscard]] virtual LocalText replace(LocalView replacement) const;
  [[nodiscard]] virtual int matchCount() const;
  // `position` receives the match's byte offset in the subject, or -2.
  [[nodiscard]] virtual LocalText matchText(int index, int* position = nullptr) const;
  [[nodiscard]] virtual LocalText subMatchText(int matchIndex, int groupIndex, int* position = nullptr) const;
  // Number of capturing groups of the pattern; 0 when nothing matched.
  [[nodiscard]] virtual int subMatchCount() const;

  struct State;  // compiled pattern and matches, shared by clones

private:
  [[nodiscard]] int positionOf(const LocalText& found, int matchIndex) const;

  std::shared_ptr<const State> state_;
  std::u16string subject_;
  LocalText localSubject_;
};

}  // namespace lumbrin
