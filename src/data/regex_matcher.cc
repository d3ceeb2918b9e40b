#include "data/regex_matcher.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "http/charset.h"

namespace lumbrin {
namespace {

struct CodeDeleter {
  void operator()(pcre2_code* p) const noexcept { pcre2_code_free(p); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* p) const noexcept { pcre2_match_data_free(p); }
};
struct MatchContextDeleter {
  void operator()(pcre2_match_context* p) const noexcept { pcre2_match_context_free(p); }
};
struct CompileContextDeleter {
  void operator()(pcre2_compile_context* p) const noexcept { pcre2_compile_context_free(p); }
};
struct JitStackDeleter {
  void operator()(pcre2_jit_stack* p) const noexcept { pcre2_jit_stack_free(p); }
};

// Bounds of one execute: per match attempt (backtracking steps and memory)
// and for the whole collection (matches kept and time spent). Past a bound the
// collection just ends, as if there were no more matches.
constexpr std::uint32_t kMatchLimit = 10'000'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
constexpr std::size_t kMaxMatches = std::size_t{1} << 20;
constexpr auto kCollectBudget = std::chrono::seconds(5);
constexpr std::uint32_t kUnset = std::numeric_limits<std::uint32_t>::max();

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

struct RegexMatcher::State {
  LocalText pattern;   // as compiled (quote markers already replaced)
  bool valid = false;  // the pattern compiled and the subject was searched
  bool global = true;
  int groups = 0;
  // Per match, (groups + 1) pairs of UTF-16 offsets [start, end); kUnset for
  // a group that took no part.
  std::vector<std::uint32_t> offsets;
  std::size_t matchCount = 0;

  [[nodiscard]] const std::uint32_t* match(std::size_t k) const {
    return offsets.data() + k * 2 * (static_cast<std::size_t>(groups) + 1);
  }
};

namespace {

void Collect(const pcre2_code* code, const std::u16string& subject, RegexMatcher::State& state) {
  std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(pcre2_match_data_create_from_pattern(code, nullptr));
  std::unique_ptr<pcre2_match_context, MatchContextDeleter> context(pcre2_match_context_create(nullptr));
  if (!data || !context) return;
  pcre2_set_match_limit(context.get(), kMatchLimit);
  pcre2_set_heap_limit(context.get(), kHeapLimitKiB);
  std::unique_ptr<pcre2_jit_stack, JitStackDeleter> jitStack(pcre2_jit_stack_create(32 * 1024, 1024 * 1024, nullptr));
  if (jitStack) pcre2_jit_stack_assign(context.get(), nullptr, jitStack.get());

  const auto* units = reinterpret_cast<PCRE2_SPTR>(subject.data());
  const std::size_t n = subject.size();
  const std::size_t pairs = static_cast<std::size_t>(state.groups) + 1;
  const auto deadline = std::chrono::steady_clock::now() + kCollectBudget;
  std::size_t start = 0;
  while (start <= n && state.matchCount < kMaxMatches) {
    const int rc = pcre2_match(code, units, n, start, 0, data.get(), context.get());
    // No match, a limit reached or any other failure: the collection ends.
    if (rc < 0) break;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data.get());
    if (ov[0] > ov[1] || ov[1] > n) break;  // \K tricks: nothing sound to keep
    for (std::size_t g = 0; g < pairs; ++g) {
      const bool set = static_cast<int>(g) < rc && ov[2 * g] != PCRE2_UNSET;
      state.offsets.push_back(set ? static_cast<std::uint32_t>(ov[2 * g]) : kUnset);
      state.offsets.push_back(set ? static_cast<std::uint32_t>(ov[2 * g + 1]) : kUnset);
    }
    ++state.matchCount;
    if (!state.global) break;
    // As a global search does: go on at the match's end, one character
    // further when it was empty.
    std::size_t next = ov[1];
    if (ov[1] == ov[0]) {
      if (next >= n) break;
      next += (IsHighSurrogate(subject[next]) && next + 1 < n && IsLowSurrogate(subject[next + 1])) ? 2 : 1;
    }
    if (next <= start && ov[1] == ov[0]) next = start + 1;
    start = next;
    if ((state.matchCount & 0x3FF) == 0 && std::chrono::steady_clock::now() > deadline) break;
  }
}

LocalText ReplaceQuoteMarkers(LocalView pattern) {
  static const LocalText marker = LocalFromUtf8("#引号");
  LocalText out;
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = FindLocal(pattern, marker, pos);
    if (hit == LocalView::npos) break;
    out.append(pattern.substr(pos, hit - pos));
    out.push_back('"');
    pos = hit + marker.size();
  }
  out.append(pattern.substr(pos));
  return out;
}

}  // namespace

RegexMatcher::RegexMatcher() = default;
RegexMatcher::~RegexMatcher() = default;

std::unique_ptr<RegexMatcher> RegexMatcher::clone() const {
  auto copy = std::make_unique<RegexMatcher>();
  copy->state_ = state_;
  copy->subject_ = subject_;
  return copy;
}

bool RegexMatcher::execute(LocalView pattern, LocalView subject, bool caseSensitive, bool multiline, bool global,
                           bool quoteMarker) {
  state_.reset();
  subject_.clear();
  offsetCache_ = {};
  auto state = std::make_shared<State>();
  state->pattern = quoteMarker ? ReplaceQuoteMarkers(pattern) : LocalText(pattern);
  state->global = global;
  subject_ = LocalToUtf16(subject);
  state_ = state;
  if (subject_.size() >= kUnset) return false;

  std::uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF |
                          PCRE2_DOLLAR_ENDONLY;
  if (!caseSensitive) options |= PCRE2_CASELESS;
  if (multiline) options |= PCRE2_MULTILINE;
  std::unique_ptr<pcre2_compile_context, CompileContextDeleter> compileContext(pcre2_compile_context_create(nullptr));
  if (!compileContext) return false;
  // "." stops at CR and LF alike, as in script regular expressions.
  pcre2_set_newline(compileContext.get(), PCRE2_NEWLINE_ANYCRLF);
  const std::u16string units = LocalToUtf16(state->pattern);
  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  std::unique_ptr<pcre2_code, CodeDeleter> code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(units.data()),
                                                              units.size(), options, &error, &errorOffset,
                                                              compileContext.get()));
  if (!code) return false;
  // JIT where the library has it; the interpreter otherwise.
  (void)pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
  std::uint32_t captures = 0;
  pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &captures);
  state->groups = static_cast<int>(captures);
  Collect(code.get(), subject_, *state);
  state->valid = true;
  return true;
}

void RegexMatcher::reserved() {}

LocalText RegexMatcher::pattern() const { return state_ ? state_->pattern : LocalText(); }

LocalText RegexMatcher::replace(LocalView replacement) const {
  if (!state_ || !state_->valid) return {};
  const std::u16string with = LocalToUtf16(replacement);
  const auto groups = static_cast<std::size_t>(state_->groups);
  std::u16string out;
  std::size_t copied = 0;
  for (std::size_t k = 0; k < state_->matchCount; ++k) {
    const std::uint32_t* m = state_->match(k);
    out.append(subject_, copied, m[0] - copied);
    auto group = [&](std::size_t g) {
      const std::uint32_t* pair = m + 2 * g;
      if (pair[0] != kUnset) out.append(subject_, pair[0], pair[1] - pair[0]);
    };
    for (std::size_t i = 0; i < with.size(); ++i) {
      const char16_t c = with[i];
      if (c != u'$' || i + 1 >= with.size()) {
        out.push_back(c);
        continue;
      }
      const char16_t d = with[i + 1];
      if (d == u'$') {
        out.push_back(u'$');
        ++i;
      } else if (d == u'&') {
        group(0);
        ++i;
      } else if (d == u'`') {
        out.append(subject_, 0, m[0]);
        ++i;
      } else if (d == u'\'') {
        out.append(subject_, m[1], std::u16string::npos);
        ++i;
      } else if (d >= u'0' && d <= u'9') {
        // $nn when that group exists, else $n followed by a digit; $0 and
        // groups that do not exist stay as written.
        const std::size_t one = static_cast<std::size_t>(d - u'0');
        const bool twoDigits = i + 2 < with.size() && with[i + 2] >= u'0' && with[i + 2] <= u'9';
        const std::size_t two = twoDigits ? one * 10 + static_cast<std::size_t>(with[i + 2] - u'0') : 0;
        if (twoDigits && two >= 1 && two <= groups) {
          group(two);
          i += 2;
        } else if (one >= 1 && one <= groups) {
          group(one);
          i += 1;
        } else {
          out.push_back(c);
        }
      } else {
        out.push_back(c);
      }
    }
    copied = m[1];
  }
  out.append(subject_, copied, std::u16string::npos);
  return Utf16ToLocal(out);
}

int RegexMatcher::matchCount() const { return state_ ? static_cast<int>(state_->matchCount) : 0; }

LocalText RegexMatcher::matchText(int index, int* position) const {
  return subMatchText(index, 0, position);
}

LocalText RegexMatcher::subMatchText(int matchIndex, int groupIndex, int* position) const {
  if (position != nullptr) *position = -2;
  if (!state_ || matchIndex < 1 || static_cast<std::size_t>(matchIndex) > state_->matchCount || groupIndex < 0 ||
      groupIndex > state_->groups) {
    return {};
  }
  const std::uint32_t* pair = state_->match(static_cast<std::size_t>(matchIndex) - 1) + 2 * groupIndex;
  if (pair[0] == kUnset) return {};
  if (position != nullptr) *position = byteOffsetOf(pair[0]);
  return Utf16ToLocal(std::u16string_view(subject_).substr(pair[0], pair[1] - pair[0]));
}

int RegexMatcher::subMatchCount() const { return state_ && state_->matchCount > 0 ? state_->groups : 0; }

int RegexMatcher::byteOffsetOf(std::size_t unit) const {
  // Offsets are asked for in order, mostly: extend the last one instead of
  // converting the whole prefix each time. Match boundaries lie between
  // characters and the local encoding has no shift state, so the pieces add up.
  if (unit < offsetCache_.unit) offsetCache_ = {};
  const std::u16string_view piece = std::u16string_view(subject_).substr(offsetCache_.unit, unit - offsetCache_.unit);
  offsetCache_.byte += Utf16ToLocal(piece).size();
  offsetCache_.unit = unit;
  if (offsetCache_.byte > static_cast<std::size_t>(std::numeric_limits<int>::max())) return -2;
  return static_cast<int>(offsetCache_.byte);
}

}  // namespace lumbrin
