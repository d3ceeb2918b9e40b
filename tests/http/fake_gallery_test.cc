// The fake service answers what the gallery client sends; these tests pin the
// answers other suites rely on, and its fault knobs.

#include "fake_gallery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "http/web_request.h"

namespace lumbrin {
namespace {

using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::Fault;
using fake::RequestKind;
using Clock = std::chrono::steady_clock;

struct Answer {
  std::string body;
  int status = 0;
  WebResponseInfo info;
};

Answer Fetch(const std::string& url, std::optional<std::string> cookie = std::nullopt, int method = 0,
             const std::string& body = {}) {
  WebRequestParams p;
  p.url = url;
  p.method = method;
  p.bodyText = body;
  LocalText c = cookie.value_or("");
  if (cookie) p.cookie = &c;
  Answer a;
  p.status = &a.status;
  p.info = &a.info;
  const ByteBuffer bytes = WebRequest(p);
  a.body.assign(bytes.begin(), bytes.end());
  return a;
}

std::string Between(const std::string& text, const std::string& left, const std::string& right) {
  const std::size_t a = text.find(left);
  if (a == std::string::npos) return {};
  const std::size_t b = text.find(right, a + left.size());
  return b == std::string::npos ? std::string() : text.substr(a + left.size(), b - a - left.size());
}

std::vector<std::string> Ids(const std::string& galleries) {
  std::vector<std::string> ids;
  const std::string key = "\"id\":\"";
  for (std::size_t at = galleries.find(key); at != std::string::npos; at = galleries.find(key, at + 1)) {
    const std::size_t end = galleries.find('"', at + key.size());
    if (end == std::string::npos) break;
    ids.push_back(galleries.substr(at + key.size(), end - at - key.size()));
  }
  return ids;
}

// Whether the text holds what the listing takes for a day key: "20" and six digits.
bool HasDayKey(const std::string& text) {
  for (std::size_t i = 0; i + 8 <= text.size(); ++i) {
    if (text.compare(i, 2, "20") != 0) continue;
    if (std::all_of(text.begin() + static_cast<long>(i) + 2, text.begin() + static_cast<long>(i) + 8,
                    [](char c) { return c >= '0' && c <= '9'; }))
      return true;
  }
  return false;
}

class FakeGalleryTest : public ::testing::Test {
protected:
  void SetUp() override {
    options_.picturesOfDay = {95, 2};
    gallery_.emplace(options_);
    ASSERT_TRUE(gallery_->start());
  }
  std::string page(const std::string& day, int num, int size, std::optional<std::string> cookie) {
    return Fetch(gallery_->baseUrl() + "/gallery/user/galleries?ts=1614567890123&startDate=" + day +
                     "&endDate=" + day + "&pageNum=" + std::to_string(num) + "&pageSize=" + std::to_string(size),
                 cookie)
        .body;
  }
  std::string storage(const std::string& id, std::optional<std::string> cookie) {
    return Fetch(gallery_->baseUrl() + "/gallery/storage?ts=1614567890123&id=" + id +
                     "&callBack=dl_img_cb_1614567890123_1",
                 cookie)
        .body;
  }
  std::string cookie() const { return gallery_->validCookie(); }

  FakeGalleryOptions options_;
  std::optional<FakeGallery> gallery_;
};

TEST_F(FakeGalleryTest, TimelineHoldsDayKeysOnlyForTheValidCookie) {
  const std::string url = gallery_->baseUrl() + "/gallery/user/timeline?ts=1614567890123";
  const std::string good = Fetch(url, "other=1; " + cookie() + "; x=y").body;
  EXPECT_NE(good.find("\"20210301\""), std::string::npos);
  EXPECT_NE(good.find("\"20210302\""), std::string::npos);
  EXPECT_TRUE(HasDayKey(good));
  EXPECT_EQ(gallery_->dayKeys(), (std::vector<std::string>{"20210301", "20210302"}));
  for (const std::optional<std::string>& bad : {std::optional<std::string>{}, std::optional<std::string>{""},
                                               std::optional<std::string>{"session=wrong"}}) {
    const std::string answer = Fetch(url, bad).body;
    EXPECT_FALSE(answer.empty());
    EXPECT_FALSE(HasDayKey(answer)) << answer;
  }
  gallery_->setTimelineOverride("stray 2099123456789 digits");
  EXPECT_EQ(Fetch(url, cookie()).body, "stray 2099123456789 digits");
}

TEST_F(FakeGalleryTest, GalleriesArePagedPerDay) {
  std::vector<std::string> all;
  for (int num = 0; num < 5; ++num) {
    const auto ids = Ids(page("20210301", num, 30, cookie()));
    EXPECT_EQ(ids.size(), (std::vector<std::size_t>{30, 30, 30, 5, 0})[static_cast<std::size_t>(num)]);
    all.insert(all.end(), ids.begin(), ids.end());
  }
  std::vector<std::string> expected;
  for (const auto& p : gallery_->pictures())
    if (p.day == "20210301") expected.push_back(p.id);
  EXPECT_EQ(all, expected);
  EXPECT_EQ(Ids(page("20210302", 0, 30, cookie())).size(), 2u);
  EXPECT_TRUE(Ids(page("20991231", 0, 30, cookie())).empty());
  EXPECT_TRUE(Ids(page("20210301", 0, 30, "session=wrong")).empty());
  const std::string one = page("20210302", 0, 1, cookie());
  EXPECT_NE(one.find("\"bigThumbnailInfo\":{\"data\":\"" + gallery_->pictures()[95].thumbnail + "\"}"),
            std::string::npos);
}

TEST_F(FakeGalleryTest, LinkChainYieldsTheFileBytes) {
  const auto& pic = gallery_->pictures()[7];
  const std::string s = storage(pic.id, cookie());
  const std::string link = Between(s, "\"url\":\"", "\"");
  ASSERT_FALSE(link.empty()) << s;
  // The fourth "&"-separated field names the callback the request asked for.
  std::vector<std::string> fields;
  for (std::size_t a = 0, b; a <= link.size(); a = b + 1) {
    b = link.find('&', a);
    if (b == std::string::npos) b = link.size();
    fields.push_back(link.substr(a, b - a));
  }
  ASSERT_GE(fields.size(), 4u);
  EXPECT_EQ(fields[3], "callback=dl_img_cb_1614567890123_1");

  const Answer wrapped = Fetch(link);  // no cookie needed
  ASSERT_EQ(wrapped.body.rfind("dl_img_cb_1614567890123_1({", 0), 0u) << wrapped.body;
  EXPECT_EQ(wrapped.body.back(), ')');
  const std::string fileUrl = Between(wrapped.body, "\"url\":\"", "\"");
  const std::string meta = Between(wrapped.body, "\"meta\":\"", "\"");

  const Answer file = Fetch(fileUrl, "", 1, "meta=" + meta);
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(ByteBuffer(file.body.begin(), file.body.end()), gallery_->contentOf(pic.id));
  EXPECT_EQ(file.body.size(), pic.size);
  EXPECT_EQ(file.info.contentType, pic.contentType);
  EXPECT_EQ(Fetch(fileUrl, "", 1, "meta=wrong").status, 403);

  EXPECT_TRUE(Between(storage(pic.id, "session=wrong"), "\"url\":\"", "\"").empty());
  EXPECT_TRUE(Between(storage("nope", cookie()), "\"url\":\"", "\"").empty());

  // Everything sent was recorded, cookie and body included.
  const auto records = gallery_->requests();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[0].kind, RequestKind::Storage);
  EXPECT_EQ(records[0].header("cookie"), cookie());
  EXPECT_EQ(records[0].query, "ts=1614567890123&id=" + pic.id + "&callBack=dl_img_cb_1614567890123_1");
  EXPECT_EQ(records[1].kind, RequestKind::Wrapped);
  EXPECT_EQ(records[2].kind, RequestKind::File);
  EXPECT_EQ(records[2].method, "POST");
  EXPECT_EQ(records[2].body, "meta=" + meta);
  gallery_->clearRequests();
  EXPECT_TRUE(gallery_->requests().empty());
}

TEST_F(FakeGalleryTest, FaultsHitTheChosenRequests) {
  const auto& a = gallery_->pictures()[0];
  const auto& b = gallery_->pictures()[1];
  // Only one id, only twice.
  Fault status;
  status.status = 503;
  status.htmlPage = true;
  status.onlyId = a.id;
  status.remaining = 2;
  gallery_->setFault(RequestKind::Storage, status);
  const auto url = [&](const std::string& id) {
    return gallery_->baseUrl() + "/gallery/storage?ts=1&id=" + id + "&callBack=cb";
  };
  EXPECT_EQ(Fetch(url(b.id), cookie()).status, 200);
  const Answer hit = Fetch(url(a.id), cookie());
  EXPECT_EQ(hit.status, 503);
  EXPECT_NE(hit.body.find("<html>"), std::string::npos);
  EXPECT_EQ(Fetch(url(a.id), cookie()).status, 503);
  EXPECT_EQ(Fetch(url(a.id), cookie()).status, 200);

  Fault noUrl;
  noUrl.noUrl = true;
  gallery_->setFault(RequestKind::Storage, noUrl);
  EXPECT_EQ(Fetch(url(a.id), cookie()).body.find("\"url\""), std::string::npos);

  Fault malformed;
  malformed.malformed = true;
  gallery_->setFault(RequestKind::Wrapped, malformed);
  const Answer w = Fetch(gallery_->baseUrl() + "/dl?a=1&b=2&c=3&callback=mine&id=" + a.id);
  EXPECT_EQ(w.body.find("mine("), std::string::npos);

  // A seeded draw: some requests hit, some not, the same way every run.
  gallery_->clearFaults();
  Fault sometimes;
  sometimes.status = 500;
  sometimes.probability = 0.5;
  gallery_->setFault(RequestKind::Timeline, sometimes);
  int hits = 0;
  for (int i = 0; i < 40; ++i)
    hits += Fetch(gallery_->baseUrl() + "/gallery/user/timeline?ts=1", cookie()).status == 500;
  EXPECT_GT(hits, 5);
  EXPECT_LT(hits, 35);
}

TEST(FakeGalleryData, UnsafeNamesAreEscapedAndDuplicated) {
  FakeGalleryOptions o;
  o.days = 1;
  o.picturesPerDay = 30;
  o.unsafeNames = true;
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  std::vector<std::string> names;
  for (const auto& p : gallery.pictures()) names.push_back(p.fileName);
  for (const char* unsafe : {"../x.jpg", "a/b.jpg", "..\\y.jpg", ""})
    EXPECT_NE(std::find(names.begin(), names.end(), unsafe), names.end()) << unsafe;
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_NE(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "two ids share a name";

  const std::string answer = Fetch(gallery.baseUrl() + "/gallery/user/galleries?ts=1&startDate=20210301&endDate="
                                   "20210301&pageNum=0&pageSize=30",
                                   gallery.validCookie())
                                 .body;
  EXPECT_EQ(Ids(answer).size(), 30u);
  for (unsigned char c : answer) EXPECT_GE(c, 0x20) << "control characters travel escaped";
  EXPECT_NE(answer.find("\\u0001"), std::string::npos);
  EXPECT_NE(answer.find("\"..\\\\y.jpg\""), std::string::npos);
}

TEST(FakeGalleryTransport, ConnectDelayOnlyOnNewConnectionsAndStopIsPrompt) {
  FakeGallery gallery;
  ASSERT_TRUE(gallery.start());
  gallery.setConnectDelayMs(300);
  const std::string url = gallery.baseUrl() + "/gallery/user/timeline?ts=1";
  auto timed = [&] {
    const auto start = Clock::now();
    EXPECT_EQ(Fetch(url).status, 200);  // the default session keeps the connection
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  const auto first = timed();
  const auto second = timed();
  EXPECT_GE(first, 290);
  EXPECT_LT(second, first);
  EXPECT_EQ(gallery.connectionsAccepted(), 1u);
  // The idle kept connection must not hold stop() up until its time-out.
  const auto start = Clock::now();
  gallery.stop();
  const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LT(stopMs, 1000);
  EXPECT_TRUE(gallery.baseUrl().empty());
}

TEST(FakeGalleryData, BigFileIsStreamedExactly) {
  FakeGalleryOptions o;
  o.explicitPictures = {{"20210301", "big-one", "big.mp4", "", std::uint64_t{40} << 20, ""}};
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  const auto& pic = gallery.pictures().front();
  EXPECT_EQ(pic.contentType, "video/mp4");
  const Answer wrapped = Fetch(gallery.baseUrl() + "/dl?a=1&b=2&c=3&callback=cb&id=big-one");
  class Check : public BodySink {
  public:
    Check(const FakeGallery& g) : gallery_(g) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
      for (std::size_t i = 0; i < size; i += 4093)
        if (data[i] != gallery_.contentByte("big-one", at + i)) ++mismatches;
      at += size;
      return true;
    }
    const FakeGallery& gallery_;
    std::uint64_t at = 0;
    int mismatches = 0;
  } check(gallery);
  WebRequestParams p;
  p.url = Between(wrapped.body, "\"url\":\"", "\"");
  p.method = 1;
  p.bodyText = "meta=" + Between(wrapped.body, "\"meta\":\"", "\"");
  p.sink = &check;
  WebResponseInfo info;
  p.info = &info;
  (void)WebRequest(p);
  EXPECT_TRUE(info.completed) << info.error;
  EXPECT_EQ(check.at, pic.size);
  EXPECT_EQ(check.mismatches, 0);
}

}  // namespace
}  // namespace lumbrin
