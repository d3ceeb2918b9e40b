#include "cli/service_calls.h"

#include <memory>
#include <set>

#include "data/json_object.h"
#include "data/regex_matcher.h"
#include "gallery/link_resolution.h"
#include "gallery/listing.h"
#include "gallery/part_file.h"
#include "gallery/picture_download.h"
#include "gallery/service.h"
#include "gallery/timestamp.h"
#include "http/charset.h"
#include "http/header_text.h"

namespace lumbrin::cli {
namespace {

LocalText PageHeaders(Host& host) {
  return ServiceHeaderText({{"referer", ServicePageAddress(host)}, {"user-agent", LocalText(kServiceUserAgent)}});
}

LocalText Stamp(Host& host) { return MakeTimestamp(host.clock(), NowOleDate(host.clock())); }

struct Answer {
  LocalText text;
  WebResponseInfo info;
};

// A GET with the cookie and the gallery page's headers, as every request of
// the listing and the storage request send it.
Answer GetWithCookie(Host& host, LocalText url) {
  Answer answer;
  LocalText cookie = host.cookieText();
  WebRequestParams params = ServiceRequestParams(host, std::move(url));
  params.method = 0;
  params.cookie = &cookie;
  params.headerText = PageHeaders(host);
  params.info = &answer.info;
  answer.text = AnswerText(WebRequest(params));
  return answer;
}

Judged Transient(std::string reason) { return {Verdict::Transient, std::move(reason)}; }
Judged Permanent(std::string reason) { return {Verdict::Permanent, std::move(reason)}; }

// Counts body bytes for the progress line on their way to the part file.
class CountingSink final : public BodySink {
public:
  CountingSink(PartFile& file, std::atomic<std::uint64_t>* received) : file_(file), received_(received) {}
  bool begin(int status, const LocalText& headers) override { return file_.begin(status, headers); }
  bool write(const std::uint8_t* data, std::size_t size) override {
    if (received_ != nullptr) received_->fetch_add(size, std::memory_order_relaxed);
    return file_.write(data, size);
  }

private:
  PartFile& file_;
  std::atomic<std::uint64_t>* received_;
};

}  // namespace

Judged JudgeTransfer(const WebResponseInfo& info) {
  if (info.cancelled) return {Verdict::Cancelled, "cancelled"};
  if (info.status == 0 || !info.completed) {
    if (info.timedOut) return Transient("timed out");
    // An untrusted certificate must say so: "connection failed" alone sends
    // the user looking at the network instead of at --ca-file.
    if (info.status == 0 && FindIgnoringAsciiCase(info.error, "certificate") != LocalView::npos) {
      return Transient("the service's certificate is not trusted (" + info.error + "); see --ca-file");
    }
    return Transient(info.status == 0 ? "connection failed" : "connection broke off");
  }
  const std::string http = "HTTP " + std::to_string(info.status);
  if (info.status >= 500 || info.status == 408 || info.status == 429) return Transient(http);
  if (info.status != 200) return Permanent(http);
  return {};
}

TimelineResult FetchTimelineDays(Host& host) {
  TimelineResult result;
  const Answer answer = GetWithCookie(host, ServiceBase(host) + "/gallery/user/timeline?ts=" + Stamp(host));
  result.judged = JudgeTransfer(answer.info);
  if (result.judged.verdict == Verdict::Cancelled || result.judged.verdict == Verdict::Transient) return result;
  RegexMatcher matcher;
  (void)matcher.execute("20[\\d]{6}", answer.text);
  std::set<std::string> seen;
  for (int k = 1; k <= matcher.matchCount(); ++k) {
    std::string day = matcher.matchText(k);
    if (seen.insert(day).second) result.dayKeys.push_back(std::move(day));
  }
  if (result.dayKeys.empty()) {
    result.judged = Permanent(answer.info.status == 200 ? "the timeline holds no day" : "HTTP " + std::to_string(answer.info.status));
  } else {
    result.judged = {};
  }
  return result;
}

PageResult FetchDayPage(Host& host, const std::string& dayKey, int pageNum) {
  PageResult result;
  const Answer answer = GetWithCookie(host, ServiceBase(host) + "/gallery/user/galleries?ts=" + Stamp(host) +
                                                "&startDate=" + dayKey + "&endDate=" + dayKey +
                                                "&pageNum=" + std::to_string(pageNum) +
                                                "&pageSize=" + std::to_string(kGalleryPageSize));
  result.judged = JudgeTransfer(answer.info);
  if (result.judged.verdict != Verdict::Ok) return result;
  JsonObject page;
  // A day answer without its list is no empty day: it is a garbled or
  // refused answer, and the day's pictures would silently go missing.
  if (!page.parse(answer.text) || page.kindOf("data.galleries") != kJsonArray) {
    result.judged = Transient("the day's answer holds no picture list");
    return result;
  }
  const int n = page.count("data.galleries");
  result.pictures.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
  for (int i = 0; i < n; ++i) {
    const LocalText item = "data.galleries[" + std::to_string(i) + "]";
    ListedPicture picture;
    picture.thumbnail = page.getText(item + ".bigThumbnailInfo.data");
    picture.fileName = page.getText(item + ".fileName");
    picture.id = page.getText(item + ".id");
    picture.day = dayKey;
    result.pictures.push_back(std::move(picture));
  }
  return result;
}

PictureAttempt FetchPicture(Host& host, LocalView id, const std::filesystem::path& folder, const std::string& name,
                            std::atomic<std::uint64_t>* received) {
  PictureAttempt attempt;
  const auto fail = [](Judged judged) {
    PictureAttempt failed;
    failed.judged = std::move(judged);
    return failed;
  };

  // The storage request as RequestStorageLink makes it, judged on the way.
  const LocalText ts = Stamp(host);
  const Answer storage = GetWithCookie(host, ServiceBase(host) + "/gallery/storage?ts=" + ts + "&id=" +
                                                 QueryValue(id) + "&callBack=dl_img_cb_" + ts + "_1");
  if (Judged judged = JudgeTransfer(storage.info); judged.verdict != Verdict::Ok) return fail(std::move(judged));
  LocalText link;
  {
    JsonObject object;
    if (!object.parse(storage.text)) return fail(Transient("garbled storage answer"));
    link = object.getText("data.url");
  }
  const LocalText callback = CallbackNameOf(link);
  if (callback == LocalFromUtf8("无") || !IsWebAddress(link)) return fail(Permanent("no download link"));

  WebResponseInfo linkInfo;
  const LocalText wrapped = FetchWrappedAnswer(host, link, &linkInfo);
  if (Judged judged = JudgeTransfer(linkInfo); judged.verdict != Verdict::Ok) {
    judged.reason = "link: " + judged.reason;
    return fail(std::move(judged));
  }
  LocalText url;
  LocalText meta;
  {
    JsonObject object;
    if (object.parse(TextBetween(wrapped, callback, kWrappedAnswerEnd))) {
      url = object.getText("url");
      meta = object.getText("meta");
    }
  }
  if (!IsWebAddress(url)) return fail(Transient("the link's answer names no file"));

  auto owned = std::make_unique<PartFile>(folder, name, kMaxPictureBytes);
  PartFile& file = *owned;
  if (!file.isOpen()) return fail(Permanent("cannot create a file in the folder"));
  CountingSink sink(file, received);
  WebResponseInfo info;
  (void)PostForFullSize(host, url, meta, &sink, &info);
  if (file.status() != 0 && info.status == 0) info.status = file.status();
  if (Judged judged = JudgeTransfer(info); judged.verdict != Verdict::Ok) {
    // A refused begin() (status not 200) shows as a broken-off transfer.
    if (file.status() != 0 && file.status() != 200) {
      WebResponseInfo refused;
      refused.status = file.status();
      refused.completed = true;
      judged = JudgeTransfer(refused);
    }
    if (file.tooLarge()) judged = Permanent("file too large");
    if (file.writeFailed()) judged = Permanent("cannot write the file");
    return fail(std::move(judged));
  }
  if (file.tooLarge()) return fail(Permanent("file too large"));
  if (file.writeFailed()) return fail(Permanent("cannot write the file"));
  const LocalText& type = info.contentType.empty() ? file.contentType() : info.contentType;
  if (FindIgnoringAsciiCase(type, "json") != LocalView::npos || FindIgnoringAsciiCase(type, "html") != LocalView::npos) {
    return fail(Transient("the service answered an error page"));
  }
  if (file.written() == 0) return fail(Transient("empty answer"));
  if (info.contentLength && *info.contentLength != file.written()) return fail(Transient("file cut short"));
  attempt.bytes = file.written();
  attempt.file = std::move(owned);
  return attempt;
}

}  // namespace lumbrin::cli
