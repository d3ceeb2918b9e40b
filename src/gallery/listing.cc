#include "gallery/listing.h"

#include <exception>
#include <string>
#include <vector>

#include "base/cancel.h"
#include "data/json_object.h"
#include "data/regex_matcher.h"
#include "gallery/service.h"
#include "gallery/timestamp.h"
#include "http/charset.h"

namespace lumbrin {
namespace {

// Sends a GET with the listing's headers and the cookie box's text of this moment.
LocalText FetchListingAnswer(Host& host, LocalText address) {
  LocalText cookie = host.cookieText();
  WebRequestParams params = ServiceRequestParams(host, std::move(address));
  params.method = 0;
  params.cookie = &cookie;
  params.headerText = ServiceHeaderText(
      {{"referer", ServicePageAddress(host)}, {"user-agent", LocalText(kServiceUserAgent)}});
  return AnswerText(WebRequest(params));
}

LocalText FreshStamp(Host& host) { return MakeTimestamp(host.clock(), NowOleDate(host.clock())); }

bool Ended() {
  const CancelToken* token = CurrentCancelToken();
  return token != nullptr && token->cancelled();
}

bool StopRequested(Host& host) { return host.state().runState.load() == 2 || Ended(); }

struct PictureCells {
  LocalText id;
  LocalText thumbnail;
  LocalText fileName;
};

}  // namespace

LocalText FetchTimeline(Host& host) {
  if (host.cookieText().empty()) {
    host.showMessage(LocalFromUtf8("必须要有cookie才能获取"));
    return LocalFromUtf8("无");
  }
  return FetchListingAnswer(host, ServiceBase(host) + "/gallery/user/timeline?ts=" + FreshStamp(host));
}

LocalText FetchDayGallery(Host& host, LocalView dayKey, int pageNum) {
  const LocalText day(dayKey);
  LocalText address = ServiceBase(host) + "/gallery/user/galleries?ts=" + FreshStamp(host) +
                      "&startDate=" + day + "&endDate=" + day + "&pageNum=" + std::to_string(pageNum) +
                      "&pageSize=" + std::to_string(kGalleryPageSize);
  return FetchListingAnswer(host, std::move(address));
}

namespace {

void ListEveryDay(Host& host) {
  RegexMatcher matcher;
  JsonObject json;

  const LocalText timeline = FetchTimeline(host);
  if (timeline == LocalFromUtf8("无")) return;

  // The timeline is searched as text, not parsed: every day key anywhere in
  // it counts, repeats included.
  std::vector<LocalText> days;
  if (matcher.execute("20[\\d]{6}", timeline)) {
    for (int k = 1; k <= matcher.matchCount(); ++k) days.push_back(matcher.matchText(k));
  }
  if (days.empty()) {
    host.showMessage(LocalFromUtf8("获取失败,请重新抓包获取cookie"));
    return;
  }

  for (const LocalText& day : days) {
    std::vector<LocalText> previousIds;
    for (int page = 0; page < kMaxGalleryPages; ++page) {
      if (Ended()) return;
      if (!json.parse(FetchDayGallery(host, day, page))) break;
      const auto galleries = json.getObject("data.galleries");
      const int n = galleries ? galleries->count() : 0;

      std::vector<PictureCells> pictures;
      pictures.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
      std::vector<LocalText> ids;
      for (int i = 0; i < n; ++i) {
        const std::string at = "data.galleries[" + std::to_string(i) + "].";
        PictureCells cells;
        cells.thumbnail = json.getText(at + "bigThumbnailInfo.data");
        cells.fileName = json.getText(at + "fileName");
        cells.id = json.getText(at + "id");
        ids.push_back(cells.id);
        pictures.push_back(std::move(cells));
      }
      // A service that ignores pageNum answers the same full page again.
      if (n > 0 && ids == previousIds) break;

      for (PictureCells& cells : pictures) {
        if (StopRequested(host)) return;
        if (host.appendRow({std::move(cells.id), std::move(cells.thumbnail), std::move(cells.fileName)}) < 0) {
          return;  // refused: the listing has been ended
        }
      }
      if (n < kGalleryPageSize) break;
      previousIds = std::move(ids);
    }
  }
}

}  // namespace

void ListAllPictures(Host& host) {
  try {
    ListEveryDay(host);
  } catch (const std::exception&) {
    // Nothing escapes a worker; the rows appended so far stay.
  }
}

}  // namespace lumbrin
