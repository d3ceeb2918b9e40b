#include "http/web_request.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_gallery.h"
#include "http/charset.h"
#include "http/web_request_internal.h"
#include "raw_server.h"

namespace lumbrin {
namespace {

using fake::FakeGallery;
using fake::FakeGalleryOptions;
using fake::Fault;
using fake::RequestKind;
using test::RawRequest;
using test::RawServer;
using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

std::string Text(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }

// Header names as sent, without the ones libcurl adds for the transport.
std::vector<std::string> SentNames(const RawRequest& r) {
  std::vector<std::string> names;
  for (const auto& n : r.headerNames())
    if (n != "Host" && n != "Content-Length") names.push_back(n);
  return names;
}

RawRequest Only(const RawServer& server) {
  const auto all = server.requests();
  EXPECT_EQ(all.size(), 1u);
  return all.empty() ? RawRequest{} : all.front();
}

// ---------------------------------------------------------------- wire format

TEST(WebRequestWire, DefaultHeadersInOrderPerVerb) {
  struct Case {
    int method;
    const char* verb;
    bool contentType;
  };
  const Case cases[] = {{0, "GET", false}, {1, "POST", true},  {2, "HEAD", false},
                        {3, "PUT", false}, {8, "GET", false},  {-1, "GET", false}};
  for (const Case& c : cases) {
    RawServer server;
    WebRequestParams p;
    p.url = server.url("/path?q=1");
    p.method = c.method;
    if (c.method == 3) p.bodyText = "x=1";
    int status = 0;
    p.status = &status;
    const ByteBuffer body = WebRequest(p);
    const RawRequest r = Only(server);
    SCOPED_TRACE(c.method);
    EXPECT_EQ(r.requestLine(), std::string(c.verb) + " /path?q=1 HTTP/1.1");
    std::vector<std::string> expected = {"Accept", "Referer", "Accept-Language", "User-Agent"};
    if (c.contentType) expected.push_back("Content-Type");
    EXPECT_EQ(SentNames(r), expected);
    EXPECT_EQ(r.values("Accept"), std::vector<std::string>{"*/*"});
    EXPECT_EQ(r.values("Referer"), std::vector<std::string>{p.url});
    EXPECT_EQ(r.values("Accept-Language"), std::vector<std::string>{"zh-cn"});
    EXPECT_EQ(r.values("User-Agent"), std::vector<std::string>{kDefaultAgent});
    if (c.contentType) {
      EXPECT_EQ(r.values("Content-Type"), std::vector<std::string>{"application/x-www-form-urlencoded"});
    }
    if (c.method == 3) {
      EXPECT_EQ(r.body(), "x=1");
    }
    EXPECT_EQ(status, 200);
    EXPECT_EQ(Text(body), c.method == 2 ? "" : "ok");
  }
}

TEST(WebRequestWire, HeaderTextIsNormalisedAndSuppressesDefaults) {
  struct Case {
    const char* headerText;
    std::optional<bool> normalise;
    std::optional<bool> defaults;
    std::vector<std::pair<std::string, std::string>> expected;
  };
  const Case cases[] = {
      // Lower-case names replace the defaults and go out capitalised.
      {"referer: http://a/gallery/h5\r\nuser-agent: UA", {}, {},
       {{"Referer", "http://a/gallery/h5"}, {"User-Agent", "UA"}, {"Accept", "*/*"}, {"Accept-Language", "zh-cn"}}},
      // A probe inside another header's value suppresses that default too.
      {"X-Note: says user-agent: here", {}, {},
       {{"X-Note", "says user-agent: here"}, {"Accept", "*/*"}, {"Referer", "URL"}, {"Accept-Language", "zh-cn"}}},
      // Only "Connection: keep-alive" exactly is skipped.
      {"Connection: keep-alive\r\nX-A: 1", {}, false, {{"X-A", "1"}}},
      {"Connection: Keep-Alive\r\nX-A: 1", {}, false, {{"Connection", "Keep-Alive"}, {"X-A", "1"}}},
      {"connection: keep-alive\r\nX-A: 1", false, false, {{"connection", "keep-alive"}, {"X-A", "1"}}},
      // A single line is set as it stands, keep-alive or not.
      {"Connection: keep-alive", {}, false, {{"Connection", "keep-alive"}}},
      // Lines without a colon and empty lines disappear; values keep their case.
      {"\r\nno colon here\r\nx-my-header: MiXeD", {}, false, {{"X-My-Header", "MiXeD"}}},
      // Without defaults, libcurl adds none of its own either.
      {"", {}, false, {}},
  };
  for (const Case& c : cases) {
    RawServer server;
    WebRequestParams p;
    p.url = server.url("/");
    p.headerText = c.headerText;
    p.normaliseHeaderNames = c.normalise;
    p.addDefaultHeaders = c.defaults;
    (void)WebRequest(p);
    SCOPED_TRACE(c.headerText);
    auto sent = Only(server).headers();
    std::erase_if(sent, [](const auto& h) { return h.first == "Host"; });
    auto expected = c.expected;
    for (auto& [n, v] : expected)
      if (v == "URL") v = p.url;
    EXPECT_EQ(sent, expected);
  }
}

TEST(WebRequestWire, CookieHeader) {
  struct Case {
    std::optional<std::string> cookie;
    std::optional<bool> merge;
    std::vector<std::string> sent;  // values of the Cookie header
    std::string after;              // the caller's cookie afterwards
  };
  const Case cases[] = {
      {std::nullopt, {}, {}, ""},
      {"", {}, {""}, ""},
      {"a=1; b=2", {}, {"a=1; b=2"}, "a=1; b=2"},
      // The prefix goes in any letter case; the blank after it stays.
      {"Cookie: a=1", false, {" a=1"}, " a=1"},
      {"COOKIE:a=1; cookie: b=2", false, {"a=1;  b=2"}, "a=1;  b=2"},
      // Merging trims the caller's text again.
      {"Cookie: a=1", {}, {" a=1"}, "a=1"},
      // Line breaks never reach the wire: inner ones separate pairs.
      {"a=1\r\nb=2\nc=3\r\n", false, {"a=1; b=2; c=3"}, "a=1\r\nb=2\nc=3\r\n"},
  };
  for (const Case& c : cases) {
    RawServer server;
    WebRequestParams p;
    p.url = server.url("/");
    LocalText cookie = c.cookie.value_or("");
    if (c.cookie) p.cookie = &cookie;
    p.mergeCookies = c.merge;
    (void)WebRequest(p);
    SCOPED_TRACE(c.cookie.value_or("(omitted)"));
    const RawRequest r = Only(server);
    EXPECT_EQ(r.values("Cookie"), c.sent);
    if (c.cookie) {
      EXPECT_EQ(cookie, c.after);
    }
    EXPECT_EQ(r.text.find("\r\nb=2"), std::string::npos);
  }
}

TEST(WebRequestWire, LineBreaksInsideValuesCannotAddHeaders) {
  RawServer server;
  WebRequestParams p;
  p.url = server.url("/");
  p.headerText = "X-A: 1\nInjected: yes\r\nX-B: 2\rEvil: 1";
  p.addDefaultHeaders = false;
  (void)WebRequest(p);
  const RawRequest r = Only(server);
  EXPECT_EQ(r.values("X-A"), std::vector<std::string>{"1Injected: yes"});
  EXPECT_EQ(r.values("X-B"), std::vector<std::string>{"2Evil: 1"});
  EXPECT_TRUE(r.values("Injected").empty());
  EXPECT_TRUE(r.values("Evil").empty());

  // A line break in the address is refused rather than sent.
  RawServer second;
  WebRequestParams q;
  q.url = second.url("/a\r\nInjected: yes");
  WebResponseInfo info;
  q.info = &info;
  EXPECT_TRUE(WebRequest(q).empty());
  EXPECT_FALSE(info.completed);
  for (const auto& req : second.requests()) EXPECT_TRUE(req.values("Injected").empty());
}

// ------------------------------------------------------------ response side

TEST(WebRequestResponse, HeadersStatusAndCookies) {
  RawServer server([](int fd, const RawRequest&, const std::atomic<bool>&) {
    RawServer::SendAll(fd, RawServer::Answer(201, "Set-Cookie: a=1; Path=/; HttpOnly\r\nSet-Cookie: b=2\r\n"
                                                  "set-cookie: ignored=1\r\nX-Y: z\r\n",
                                             "body"));
  });
  // No cookie given: the new pairs only.
  {
    WebRequestParams p;
    p.url = server.url("/");
    LocalText newCookies = "stale", headers;
    int status = 0;
    p.newCookies = &newCookies;
    p.responseHeaders = &headers;
    p.status = &status;
    EXPECT_EQ(Text(WebRequest(p)), "body");
    EXPECT_EQ(status, 201);
    EXPECT_EQ(newCookies, "a=1; b=2");
    EXPECT_EQ(headers.find("HTTP/"), std::string::npos);
    EXPECT_NE(headers.find("Set-Cookie: b=2\r\nset-cookie: ignored=1\r\nX-Y: z\r\n"), std::string::npos);
  }
  // Given: merged into the caller's cookie, new pairs first.
  {
    WebRequestParams p;
    p.url = server.url("/");
    LocalText cookie = "a=0; c=3", newCookies;
    p.cookie = &cookie;
    p.newCookies = &newCookies;
    (void)WebRequest(p);
    EXPECT_EQ(cookie, "a=1; b=2; c=3");
    EXPECT_EQ(newCookies, cookie);
  }
}

TEST(WebRequestResponse, FailedRequestClearsOutputsAndKeepsCookies) {
  // A bound socket that does not listen: connecting is refused, and the port
  // cannot be taken by another server meanwhile.
  const int reserved = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(reserved, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(reserved, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int port = ntohs(addr.sin_port);
  WebRequestParams p;
  p.url = "http://127.0.0.1:" + std::to_string(port) + "/";
  LocalText cookie = "a=1", newCookies = "x", headers = "x";
  int status = 7;
  WebResponseInfo info;
  p.cookie = &cookie;
  p.newCookies = &newCookies;
  p.responseHeaders = &headers;
  p.status = &status;
  p.info = &info;
  EXPECT_TRUE(WebRequest(p).empty());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(headers, "");
  EXPECT_EQ(newCookies, "a=1");
  EXPECT_EQ(cookie, "a=1");
  EXPECT_FALSE(info.completed);
  EXPECT_FALSE(info.error.empty());
  close(reserved);
}

// ------------------------------------------------------------------ redirects

TEST(WebRequestRedirect, FollowedUnlessSwitchedOff) {
  RawServer server([](int fd, const RawRequest& r, const std::atomic<bool>&) {
    if (r.requestLine().find("/start") != std::string::npos)
      RawServer::SendAll(fd, RawServer::Answer(302, "Location: /final\r\n", "moved"));
    else
      RawServer::SendAll(fd, RawServer::Answer(200, "", "final"));
  });
  for (bool noRedirect : {false, true}) {
    WebRequestParams p;
    p.url = server.url("/start");
    p.noRedirect = noRedirect;
    LocalText cookie = "s=1";
    p.cookie = &cookie;
    int status = 0;
    p.status = &status;
    EXPECT_EQ(Text(WebRequest(p)), noRedirect ? "moved" : "final");
    EXPECT_EQ(status, noRedirect ? 302 : 200);
  }
  const auto all = server.requests();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].values("Cookie"), std::vector<std::string>{"s=1"}) << "same host keeps the cookie";
}

TEST(WebRequestRedirect, CookieAndCredentialsStayWithTheFirstHost) {
  RawServer other;  // reached as "localhost": another host for the client
  RawServer first([&other](int fd, const RawRequest&, const std::atomic<bool>&) {
    RawServer::SendAll(fd, RawServer::Answer(
                               302, "Location: http://localhost:" + std::to_string(other.port()) + "/x\r\n", ""));
  });
  WebRequestParams p;
  p.url = first.url("/");
  LocalText cookie = "secret=1";
  p.cookie = &cookie;
  int status = 0;
  p.status = &status;
  EXPECT_EQ(Text(WebRequest(p)), "ok");
  EXPECT_EQ(status, 200);
  const RawRequest there = Only(other);
  EXPECT_TRUE(there.values("Cookie").empty());
  EXPECT_EQ(there.text.find("secret"), std::string::npos);
  EXPECT_EQ(Only(first).values("Cookie"), std::vector<std::string>{"secret=1"});
}

TEST(WebRequestRedirect, OnlyHttpSchemesAreFollowed) {
  RawServer server([](int fd, const RawRequest&, const std::atomic<bool>&) {
    RawServer::SendAll(fd, RawServer::Answer(302, "Location: file:///etc/hostname\r\n", ""));
  });
  WebRequestParams p;
  p.url = server.url("/");
  WebResponseInfo info;
  p.info = &info;
  EXPECT_TRUE(WebRequest(p).empty());
  EXPECT_FALSE(info.completed);

  WebRequestParams direct;
  direct.url = "file:///etc/hostname";
  EXPECT_TRUE(WebRequest(direct).empty());
}

// ---------------------------------------------------------------------- proxy

TEST(WebRequestProxy, CredentialsGoToTheProxyOnly) {
  const std::string expectedAuth = "Basic " + Base64Encode(ByteBuffer{'u', 's', 'e', 'r', ':', 'p', 'w'});
  // Plain HTTP through the proxy: absolute-form request with Proxy-Authorization.
  {
    RawServer proxy;
    WebRequestParams p;
    p.url = "http://127.0.0.1:9/target?x=1";  // never connected: the proxy answers
    p.proxy = "127.0.0.1:" + std::to_string(proxy.port());
    p.proxyUser = "user";
    p.proxyPassword = "pw";
    EXPECT_EQ(Text(WebRequest(p)), "ok");
    const RawRequest r = Only(proxy);
    EXPECT_EQ(r.requestLine(), "GET http://127.0.0.1:9/target?x=1 HTTP/1.1");
    EXPECT_EQ(r.values("Proxy-Authorization"), std::vector<std::string>{expectedAuth});
    EXPECT_TRUE(r.values("Authorization").empty());
  }
  // No proxy: no credentials at all.
  {
    RawServer server;
    WebRequestParams p;
    p.url = server.url("/");
    p.proxyUser = "user";
    p.proxyPassword = "pw";
    (void)WebRequest(p);
    EXPECT_TRUE(Only(server).values("Proxy-Authorization").empty());
    EXPECT_TRUE(Only(server).values("Authorization").empty());
  }
  // Target 0: server credentials, as the server's Basic authorisation.
  {
    RawServer proxy;
    WebRequestParams p;
    p.url = "http://127.0.0.1:9/";
    p.proxy = "127.0.0.1:" + std::to_string(proxy.port());
    p.proxyUser = "user";
    p.proxyPassword = "pw";
    p.credentialTarget = 0;
    (void)WebRequest(p);
    EXPECT_TRUE(Only(proxy).values("Proxy-Authorization").empty());
    EXPECT_EQ(Only(proxy).values("Authorization"), std::vector<std::string>{expectedAuth});
  }
}

TEST(WebRequestProxy, TunnelCarriesNeitherCookieToTheProxyNorCredentialsToTheServer) {
  FakeGalleryOptions o;
  o.https = true;
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  RawServer proxy;
  WebSession session;
  WebRequestParams p;
  p.url = gallery.baseUrl() + "/gallery/user/timeline?ts=1";
  p.proxy = "127.0.0.1:" + std::to_string(proxy.port());
  p.proxyUser = "user";
  p.proxyPassword = "pw";
  p.tls.caFile = gallery.caFile();
  p.requestObject = &session;
  LocalText cookie = gallery.validCookie();
  p.cookie = &cookie;
  const std::string body = Text(WebRequest(p));
  EXPECT_NE(body.find("20210301"), std::string::npos);
  const RawRequest connect = Only(proxy);
  EXPECT_EQ(connect.requestLine().rfind("CONNECT 127.0.0.1:", 0), 0u);
  EXPECT_EQ(connect.values("Proxy-Authorization").size(), 1u);
  EXPECT_TRUE(connect.values("Cookie").empty());
  const auto inner = gallery.requests();
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_FALSE(inner[0].hasHeader("Proxy-Authorization"));
  EXPECT_EQ(inner[0].header("Cookie"), gallery.validCookie());
}

// ------------------------------------------------------------------ time-outs

TEST(WebRequestTimeouts, PerPhaseValues) {
  struct Case {
    int seconds;
    bool defaults;
    std::int64_t ms;
  };
  for (const Case c : {Case{-1, true, 0}, Case{0, false, 15000}, Case{-5, false, 15000}, Case{30, false, 30000},
                       Case{1, false, 1000}}) {
    const auto t = detail::TimeoutsFor(c.seconds);
    EXPECT_EQ(t.clientDefaults, c.defaults) << c.seconds;
    EXPECT_EQ(t.connectMs, c.ms) << c.seconds;
    EXPECT_EQ(t.inactivityMs, c.ms) << c.seconds;
  }
}

TEST(WebRequestTimeouts, StalledAnswerEndsAfterTheInactivityLimit) {
  FakeGalleryOptions o;
  o.days = 1;
  o.picturesPerDay = 1;
  o.minSize = o.maxSize = 200000;
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  Fault stall;
  stall.stallMs = 4000;
  gallery.setFault(RequestKind::File, stall);
  const auto& pic = gallery.pictures().front();
  // The file address and meta as the wrapped answer gives them.
  WebRequestParams w;
  w.url = gallery.baseUrl() + "/dl?a=1&b=2&c=3&callback=cb&id=" + pic.id;
  const std::string wrapped = Text(WebRequest(w));
  const std::string url = wrapped.substr(wrapped.find("http"), wrapped.find("\",\"meta") - wrapped.find("http"));
  const std::string meta = wrapped.substr(wrapped.find("meta\":\"") + 7, 16);

  WebRequestParams p;
  p.url = url;
  p.method = 1;
  p.bodyText = "meta=" + meta;
  p.timeoutSeconds = 1;
  WebResponseInfo info;
  p.info = &info;
  const auto start = Clock::now();
  EXPECT_TRUE(WebRequest(p).empty());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(info.timedOut);
  EXPECT_FALSE(info.completed);
  EXPECT_EQ(info.status, 200);
  EXPECT_EQ(info.contentLength, std::optional<std::uint64_t>(200000));
  EXPECT_GT(info.bodyBytes, 0u);
  EXPECT_LT(info.bodyBytes, 200000u);
  EXPECT_GE(ms, 950) << "not before the limit";
  std::printf("[ figures  ] stalled answer ended after %lld ms (limit 1000 ms)\n", static_cast<long long>(ms));
}

class CountingSink : public BodySink {
public:
  bool begin(int status, const LocalText& headers) override {
    ++begins;
    beganWith = status;
    headerText = headers;
    return true;
  }
  bool write(const std::uint8_t* data, std::size_t size) override {
    if (limit && bytes + size > limit) return false;
    for (std::size_t i = 0; i < size; ++i) checksum = checksum * 31 + data[i];
    bytes += size;
    return true;
  }
  int begins = 0;
  int beganWith = 0;
  LocalText headerText;
  std::uint64_t bytes = 0;
  std::uint64_t checksum = 0;
  std::uint64_t limit = 0;
};

TEST(WebRequestTimeouts, SlowSteadyBigAnswerOutlastsTheLimit) {
  constexpr std::size_t kTotal = 50u << 20;
  constexpr std::size_t kChunk = 512u << 10;
  RawServer server([](int fd, const RawRequest&, const std::atomic<bool>& stopping) {
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (!RawServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTotal) +
                                    "\r\nConnection: close\r\n\r\n"))
      return;
    const std::string chunk(kChunk, 'z');
    for (std::size_t sent = 0; sent < kTotal && !stopping; sent += kChunk) {
      if (!RawServer::SendAll(fd, chunk)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  });
  WebRequestParams p;
  p.url = server.url("/big");
  p.timeoutSeconds = 2;
  CountingSink sink;
  p.sink = &sink;
  WebResponseInfo info;
  p.info = &info;
  const auto start = Clock::now();
  EXPECT_TRUE(WebRequest(p).empty());  // streamed, not returned
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(info.completed) << info.error;
  EXPECT_EQ(sink.bytes, kTotal);
  EXPECT_EQ(sink.begins, 1);
  EXPECT_EQ(sink.beganWith, 200);
  EXPECT_GT(ms, 2000) << "the answer must take longer than the limit to show anything";
  std::printf("[ figures  ] 50 MB at a steady pace took %lld ms with a 2000 ms limit\n", static_cast<long long>(ms));
}

// --------------------------------------------------------------- cancellation

TEST(WebRequestCancel, AlreadyCancelledIsNotSent) {
  RawServer server;
  CancelToken token;
  token.cancel();
  LocalText cookie = "Cookie: a=1";
  int status = 5;
  WebResponseInfo info;
  WebRequestParams p;
  p.url = server.url("/");
  p.cookie = &cookie;
  p.status = &status;
  p.info = &info;
  {
    ScopedCancelToken scope(&token);  // the thread's token when none is passed
    EXPECT_TRUE(WebRequest(p).empty());
  }
  EXPECT_TRUE(info.cancelled);
  EXPECT_EQ(status, 5);
  EXPECT_EQ(cookie, "Cookie: a=1");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(server.requests().empty());
}

TEST(WebRequestCancel, RequestInFlightEndsPromptly) {
  FakeGallery gallery;
  ASSERT_TRUE(gallery.start());
  gallery.setLatencyMs(10000);
  CancelToken token;
  WebRequestParams p;
  p.url = gallery.baseUrl() + "/gallery/user/timeline?ts=1";
  p.cancel = &token;
  WebResponseInfo info;
  p.info = &info;
  std::atomic<bool> done{false};
  Clock::time_point finished;
  std::thread worker([&] {
    (void)WebRequest(p);
    finished = Clock::now();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(done.load());
  const auto cancelledAt = Clock::now();
  token.cancel();
  worker.join();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(finished - cancelledAt).count();
  EXPECT_TRUE(info.cancelled);
  EXPECT_FALSE(info.completed);
  EXPECT_LT(ms, 1000);
  std::printf("[ figures  ] cancelled request returned %lld ms after cancel()\n", static_cast<long long>(ms));
}

// ------------------------------------------------------------------------ TLS

TEST(WebRequestTls, SelfSignedServerNeedsItsCa) {
  FakeGalleryOptions o;
  o.https = true;
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  WebSession session;  // one session: trust must not leak through reuse
  auto fetch = [&](const std::string& caFile, bool insecure) {
    WebRequestParams p;
    p.url = gallery.baseUrl() + "/gallery/user/timeline?ts=1";
    p.tls.caFile = caFile;
    p.tls.insecure = insecure;
    p.requestObject = &session;
    int status = 0;
    p.status = &status;
    (void)WebRequest(p);
    return status;
  };
  EXPECT_EQ(fetch("", false), 0) << "refused by default";
  EXPECT_EQ(fetch(gallery.caFile(), false), 200);
  EXPECT_EQ(fetch("", false), 0) << "a connection verified with the extra CA is not reused without it";
  EXPECT_EQ(fetch("/nonexistent/ca.pem", false), 0);
  EXPECT_EQ(fetch("", true), 200) << "explicit opt-out";
}

// --------------------------------------------------------------------- bodies

TEST(WebRequestBody, LimitsAndStreaming) {
  FakeGalleryOptions o;
  o.days = 1;
  o.picturesPerDay = 1;
  o.minSize = o.maxSize = 3000000;
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  const auto& pic = gallery.pictures().front();
  WebRequestParams w;
  w.url = gallery.baseUrl() + "/dl?a=1&b=2&c=3&callback=cb&id=" + pic.id;
  const std::string wrapped = Text(WebRequest(w));
  const std::string url = wrapped.substr(wrapped.find("http"), wrapped.find("\",\"meta") - wrapped.find("http"));
  const std::string meta = wrapped.substr(wrapped.find("meta\":\"") + 7, 16);
  LocalText emptyCookie;
  auto post = [&] {
    WebRequestParams p;
    p.url = url;
    p.method = 1;
    p.bodyText = "meta=" + meta;
    p.cookie = &emptyCookie;
    return p;
  };

  {  // In memory: the exact bytes.
    WebRequestParams p = post();
    WebResponseInfo info;
    p.info = &info;
    EXPECT_EQ(WebRequest(p), gallery.contentOf(pic.id));
    EXPECT_TRUE(info.completed);
    EXPECT_EQ(info.contentType, "image/jpeg");
    EXPECT_EQ(info.contentLength, std::optional<std::uint64_t>(3000000));
  }
  {  // Above the in-memory limit: nothing.
    WebRequestParams p = post();
    p.maxBodyBytes = 1000000;
    WebResponseInfo info;
    p.info = &info;
    EXPECT_TRUE(WebRequest(p).empty());
    EXPECT_FALSE(info.completed);
  }
  {  // Streamed: headers first, then every byte.
    WebRequestParams p = post();
    p.maxBodyBytes = 1000;  // does not apply to a sink
    CountingSink sink;
    p.sink = &sink;
    EXPECT_TRUE(WebRequest(p).empty());
    std::uint64_t expected = 0;
    for (std::uint8_t b : gallery.contentOf(pic.id)) expected = expected * 31 + b;
    EXPECT_EQ(sink.begins, 1);
    EXPECT_EQ(sink.beganWith, 200);
    EXPECT_NE(sink.headerText.find("Content-Length: 3000000"), std::string::npos);
    EXPECT_EQ(sink.bytes, 3000000u);
    EXPECT_EQ(sink.checksum, expected);
  }
  {  // A sink that refuses ends the transfer as failed.
    WebRequestParams p = post();
    CountingSink sink;
    sink.limit = 100000;
    p.sink = &sink;
    WebResponseInfo info;
    p.info = &info;
    int status = 0;
    p.status = &status;
    (void)WebRequest(p);
    EXPECT_FALSE(info.completed);
    EXPECT_EQ(status, 0);
  }
  {  // Truncated by the server: announced length not reached, reported as failure.
    Fault cut;
    cut.truncate = true;
    gallery.setFault(RequestKind::File, cut);
    WebRequestParams p = post();
    WebResponseInfo info;
    p.info = &info;
    EXPECT_TRUE(WebRequest(p).empty());
    EXPECT_FALSE(info.completed);
    EXPECT_LT(info.bodyBytes, 3000000u);
  }
}

TEST(WebRequestBody, BinaryBodyWinsOverText) {
  RawServer server;
  WebRequestParams p;
  p.url = server.url("/");
  p.method = 1;
  p.bodyText = "text";
  p.bodyBytes = {0x00, 0x01, 0xFF, 'b'};
  (void)WebRequest(p);
  EXPECT_EQ(Only(server).body(), std::string("\x00\x01\xFF" "b", 4));
  EXPECT_EQ(Only(server).values("Content-Length"), std::vector<std::string>{"4"});
}

// ------------------------------------------------------------ session reuse

TEST(WebRequestSession, ConnectionsAreReusedWithinASession) {
  FakeGallery gallery;
  ASSERT_TRUE(gallery.start());
  const std::string url = gallery.baseUrl() + "/gallery/user/timeline?ts=1";
  {
    WebSession session;
    for (int i = 0; i < 5; ++i) {
      WebRequestParams p;
      p.url = url;
      p.requestObject = &session;
      EXPECT_FALSE(WebRequest(p).empty());
    }
  }
  EXPECT_EQ(gallery.connectionsAccepted(), 1u);
  for (int i = 0; i < 3; ++i) {
    WebSession fresh;
    WebRequestParams p;
    p.url = url;
    p.requestObject = &fresh;
    EXPECT_FALSE(WebRequest(p).empty());
  }
  EXPECT_EQ(gallery.connectionsAccepted(), 4u);
}

TEST(WebRequestSession, ConcurrentRequestsOnTheDefaultSession) {
  FakeGalleryOptions o;
  o.https = true;
  FakeGallery gallery(o);
  ASSERT_TRUE(gallery.start());
  std::atomic<int> ok{0};
  std::mutex mutex;
  std::string errors;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        WebRequestParams p;
        p.url = gallery.baseUrl() + "/gallery/user/timeline?ts=1";
        p.tls.caFile = gallery.caFile();
        LocalText cookie = gallery.validCookie();
        p.cookie = &cookie;
        WebResponseInfo info;
        p.info = &info;
        if (Text(WebRequest(p)).find("20210301") != std::string::npos) {
          ++ok;
        } else {
          std::lock_guard lock(mutex);
          errors += info.error + "; ";
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 30) << errors;
  EXPECT_LE(gallery.connectionsAccepted(), 16u);
}

// --------------------------------------------------------------------- base64

TEST(Base64Encode, PaddingAndLength) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Base64Encode(ByteBuffer(in.begin(), in.end())), out);
  const ByteBuffer big(1000, 0xAB);
  const std::string encoded = Base64Encode(big);
  EXPECT_EQ(encoded.size(), 4 * ((big.size() + 2) / 3));
  EXPECT_EQ(encoded.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace lumbrin
