#pragma once
// The listing of every picture of the account into the host's picture list.
//
// Thread contract: runs on a worker thread (the host's calls block until the
// front end has carried them out). Ending the thread's cancel token, or
// runState 2, ends the listing before its next picture; rows already appended
// stay, and no row is ever half written (each is appended in one step).

#include "base/text.h"
#include "gallery/host.h"

namespace lumbrin {

// Pictures per day gallery page; a page holding fewer ends the day.
inline constexpr int kGalleryPageSize = 30;
// Bound on the pages asked for per day, so a service that always answers a
// full page cannot keep the listing going for ever.
inline constexpr int kMaxGalleryPages = 1000;

// The timeline answer as local text; "无" (after the message box "必须要有
// cookie才能获取") when the cookie box is empty; empty when the request failed.
[[nodiscard]] LocalText FetchTimeline(Host& host);

// One page (0-based) of the pictures of `dayKey`, as local text; empty when
// the request failed.
[[nodiscard]] LocalText FetchDayGallery(Host& host, LocalView dayKey, int pageNum = 0);

// Appends one row {id, thumbnail, file name} per picture of every day key
// found in the timeline, paging through each day.
void ListAllPictures(Host& host);

}  // namespace lumbrin
