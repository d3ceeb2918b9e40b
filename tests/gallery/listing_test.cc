// The listing against the fake service over real HTTP on loopback.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fake_gallery.h"
#include "gallery/listing.h"
#include "gallery/service.h"
#include "http/charset.h"
#include "test_host.h"
#include "text_checks.h"

namespace lumbrin {
namespace {

using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::RequestKind;
using test::QueryValueOf;

struct Listing {
  explicit Listing(FakeGalleryOptions options) : fake(std::move(options)) {
    EXPECT_TRUE(fake.start());
    host = std::make_unique<test::TestHost>(fake.baseUrl());
    host->setCookie(Utf8ToLocal(fake.validCookie()));
  }
  std::vector<fake::RecordedRequest> requestsOf(RequestKind kind) {
    std::vector<fake::RecordedRequest> out;
    for (auto& r : fake.requests()) {
      if (r.kind == kind) out.push_back(r);
    }
    return out;
  }
  // Rows as UTF-8 {id, thumbnail, fileName}.
  std::vector<std::vector<std::string>> rows() {
    std::vector<std::vector<std::string>> out;
    for (const auto& row : host->rows()) out.push_back({LocalToUtf8(row[0]), LocalToUtf8(row[1]), LocalToUtf8(row[2])});
    return out;
  }
  std::vector<std::vector<std::string>> picturesOfDays(const std::vector<std::string>& days) {
    std::vector<std::vector<std::string>> out;
    for (const auto& day : days) {
      for (const auto& p : fake.pictures()) {
        if (p.day == day) out.push_back({p.id, p.thumbnail, p.fileName});
      }
    }
    return out;
  }

  FakeGallery fake;
  std::unique_ptr<test::TestHost> host;
};

TEST(Listing, ListsEveryPictureOfEveryDayPagingThroughFullDays) {
  FakeGalleryOptions options;
  options.picturesOfDay = {3, 95, 1, 30};
  Listing t(options);

  ListAllPictures(*t.host);

  EXPECT_EQ(t.rows(), t.picturesOfDays(t.fake.dayKeys()));
  EXPECT_EQ(t.host->rows().size(), 129u);
  EXPECT_TRUE(t.host->messages().empty());

  // Pages asked per day: a page short of 30 ends the day.
  std::map<std::string, std::vector<std::string>> pages;
  for (const auto& r : t.requestsOf(RequestKind::Galleries)) {
    EXPECT_EQ(QueryValueOf(r.query, "startDate"), QueryValueOf(r.query, "endDate"));
    EXPECT_EQ(QueryValueOf(r.query, "pageSize"), "30");
    pages[QueryValueOf(r.query, "startDate")].push_back(QueryValueOf(r.query, "pageNum"));
  }
  const auto days = t.fake.dayKeys();
  ASSERT_EQ(days.size(), 4u);
  EXPECT_EQ(pages[days[0]], (std::vector<std::string>{"0"}));
  EXPECT_EQ(pages[days[1]], (std::vector<std::string>{"0", "1", "2", "3"}));
  EXPECT_EQ(pages[days[2]], (std::vector<std::string>{"0"}));
  EXPECT_EQ(pages[days[3]], (std::vector<std::string>{"0", "1"}));

  // Every request: the cookie box's text, the page as referer, the browser's
  // user agent and a fresh 13-digit stamp.
  const auto timeline = t.requestsOf(RequestKind::Timeline);
  ASSERT_EQ(timeline.size(), 1u);
  auto all = t.requestsOf(RequestKind::Galleries);
  all.insert(all.begin(), timeline[0]);
  for (const auto& r : all) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.header("Cookie"), t.fake.validCookie());
    EXPECT_EQ(r.header("Referer"), t.fake.baseUrl() + "/gallery/h5");
    EXPECT_EQ(r.header("User-Agent"), kServiceUserAgent);
    EXPECT_TRUE(test::IsDigits(QueryValueOf(r.query, "ts"), 13)) << r.query;
  }
}

TEST(Listing, EveryDayKeyInTheTimelineTextCountsRepeatsIncluded) {
  FakeGalleryOptions options;
  options.picturesOfDay = {2, 3};
  Listing t(options);
  const auto days = t.fake.dayKeys();
  // The second day only appears inside a longer number; a day key of a day
  // without pictures adds nothing.
  t.fake.setTimelineOverride("{\"data\":[\"" + days[0] + "\",\"" + days[0] + "\"],\"n\":7" + days[1] +
                             "99,\"x\":\"20991231\"}");

  ListAllPictures(*t.host);

  EXPECT_EQ(t.rows(), t.picturesOfDays({days[0], days[0], days[1]}));
  EXPECT_EQ(t.requestsOf(RequestKind::Galleries).size(), 4u);
  EXPECT_TRUE(t.host->messages().empty());
}

TEST(Listing, CookieProblemsEndWithTheirMessage) {
  FakeGalleryOptions options;
  options.picturesOfDay = {2};
  {
    Listing t(options);
    t.host->setCookie("");
    ListAllPictures(*t.host);
    EXPECT_EQ(t.host->messages(), std::vector<std::string>{"必须要有cookie才能获取"});
    EXPECT_TRUE(t.fake.requests().empty());
    EXPECT_TRUE(t.host->rows().empty());
  }
  {
    Listing t(options);
    t.host->setCookie("session=stale");
    ListAllPictures(*t.host);
    EXPECT_EQ(t.host->messages(), std::vector<std::string>{"获取失败,请重新抓包获取cookie"});
    EXPECT_EQ(t.requestsOf(RequestKind::Timeline).size(), 1u);
    EXPECT_TRUE(t.requestsOf(RequestKind::Galleries).empty());
    EXPECT_TRUE(t.host->rows().empty());
  }
  {
    // A cookie of blanks is not empty: it is sent as it is.
    Listing t(options);
    t.host->setCookie("  ");
    ListAllPictures(*t.host);
    EXPECT_EQ(t.host->messages(), std::vector<std::string>{"获取失败,请重新抓包获取cookie"});
    EXPECT_EQ(t.requestsOf(RequestKind::Timeline).size(), 1u);
  }
}

TEST(Listing, AFailingDayIsSkippedSilently) {
  FakeGalleryOptions options;
  options.picturesOfDay = {4, 5, 6};
  Listing t(options);
  fake::Fault fault;
  fault.status = 500;
  fault.remaining = 1;
  t.fake.setFault(RequestKind::Galleries, fault);

  ListAllPictures(*t.host);

  const auto days = t.fake.dayKeys();
  EXPECT_EQ(t.rows(), t.picturesOfDays({days[1], days[2]}));
  EXPECT_TRUE(t.host->messages().empty());
}

TEST(Listing, AStopRequestEndsTheListingBeforeItsNextPicture) {
  FakeGalleryOptions options;
  options.picturesOfDay = {3, 4};
  Listing t(options);
  t.host->state().runState = 2;

  ListAllPictures(*t.host);

  EXPECT_TRUE(t.host->rows().empty());
  EXPECT_TRUE(t.host->messages().empty());
  // It asked for the first day, found a picture there, and asked no further.
  EXPECT_EQ(t.requestsOf(RequestKind::Galleries).size(), 1u);
}

}  // namespace
}  // namespace lumbrin
