#pragma once
// From a picture's id to its full-size file, in three requests: the storage
// request (with the cookie) gives a link, the link answers a script call
// wrapping {url, meta}, and a form post of meta to url answers with the file.
//
// Thread contract: every routine may run on any number of threads at once;
// each builds its own header list, JSON object and request. The cookie box is
// read at each storage request, so a cookie pasted during a run is used from
// the next picture on.

#include "base/text.h"
#include "gallery/host.h"
#include "http/web_request.h"

namespace lumbrin {

// Appended to the link's answer, so that the cut after the callback name
// always finds an end.
inline constexpr LocalView kWrappedAnswerEnd = "145sdas";

// The "data.url" text of the storage answer for picture `id`; empty when the
// answer has none.
[[nodiscard]] LocalText RequestStorageLink(Host& host, LocalView id);

// The value of the fourth non-empty "&" field of `link`; "无" when the link
// has no such field or the field no value.
[[nodiscard]] LocalText CallbackNameOf(LocalView link);

// The link's answer as local text followed by kWrappedAnswerEnd. Sent
// without a Cookie header; a link that is not an http(s) address is not
// fetched (the result is then kWrappedAnswerEnd alone).
[[nodiscard]] LocalText FetchWrappedAnswer(Host& host, LocalView link, WebResponseInfo* info = nullptr);

// Parses `json` (the wrapped answer after the callback name) and posts its
// meta to its url; the answer body, empty when any step failed.
[[nodiscard]] ByteBuffer FetchFullSize(Host& host, LocalView json);

// The form post "meta=" + meta to `url`, with an empty Cookie header. With a
// sink the body is streamed into it and the result is empty. A url that is
// not an http(s) address is not contacted (info, if given, stays default).
[[nodiscard]] ByteBuffer PostForFullSize(Host& host, LocalView url, LocalView meta, BodySink* sink = nullptr,
                                         WebResponseInfo* info = nullptr);

// Where a picture's full-size file is fetched from, or why it cannot be.
enum class ResolveFailure {
  None,
  NoLink,      // the storage answer held no usable link
  NoAnswer,    // the link gave no answer
  NoTarget,    // the link's answer named no http(s) url
};

struct FullSizeTarget {
  LocalText url;
  LocalText meta;
  ResolveFailure failure = ResolveFailure::None;
  [[nodiscard]] bool ok() const { return failure == ResolveFailure::None; }
};

// The first two requests of the chain; the caller makes the post (for
// instance PostForFullSize with its own sink), on its own schedule.
[[nodiscard]] FullSizeTarget ResolveFullSize(Host& host, LocalView id);

}  // namespace lumbrin
