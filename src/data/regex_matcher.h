#pragma once
// Runs an ECMAScript-style regular expression over a subject text and keeps
// the matches (PCRE2, 16-bit code units, JavaScript-compatible options).
//
// Indexes of matches and groups are 1-based. Positions handed out are byte
// offsets into the local text of the subject. A subject that is not valid
// text still matches what it can. Matching is bounded: a pattern that would
// backtrack without end, more than about a million matches or more than a few
// seconds of searching just end the collection early.
//
// Thread contract: an object is used by one thread; clones share the compiled
// pattern and the matches, which are never changed after execute.

#include <cstddef>
#include <memory>
#include <string>

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
  // `position` receives the match's zero-based byte offset in the subject, or
  // -2 when there is no such match (or group, or the group took no part).
  [[nodiscard]] virtual LocalText matchText(int index, int* position = nullptr) const;
  [[nodiscard]] virtual LocalText subMatchText(int matchIndex, int groupIndex, int* position = nullptr) const;
  // Number of capturing groups of the pattern; 0 when nothing matched.
  [[nodiscard]] virtual int subMatchCount() const;

  struct State;  // compiled pattern and matches, shared by clones

private:
  [[nodiscard]] int byteOffsetOf(std::size_t unit) const;

  std::shared_ptr<const State> state_;
  std::u16string subject_;
  struct OffsetCache {
    std::size_t unit = 0;
    std::size_t byte = 0;
  };
  mutable OffsetCache offsetCache_;  // last unit index turned into a byte offset
};

}  // namespace lumbrin
