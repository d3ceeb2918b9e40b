#pragma once
// A stand-in for the cloud gallery service: a real HTTP or HTTPS server on
// 127.0.0.1 with generated sample data and fault knobs. Used by tests,
// benchmarks and the demo; never linked into the product.
//
// What it answers (all paths relative to baseUrl()):
//   GET  /gallery/user/timeline?ts=T            day keys of the account (cookie checked)
//   GET  /gallery/user/galleries?ts=T&startDate=D&endDate=D&pageNum=P&pageSize=S
//                                                page P (0-based) of size S of day D (cookie checked)
//   GET  /gallery/storage?ts=T&id=I&callBack=N  {"data":{"url":".../dl?a=1&b=2&c=3&callback=N&id=I"}}
//                                                (cookie checked)
//   GET  /dl?...&callback=N&id=I                N({"url":".../file/<token>","meta":"<meta>"})
//   POST /file/<token>  body "meta=<meta>"      the file's bytes, streamed
// A wrong or missing cookie gets {"code":401,"info":"login"}: no day keys, no url.
//
// Thread contract: every member may be called from any thread, also while
// the server runs; knob changes apply to requests that arrive afterwards.
// The picture list and the cookie are fixed at construction. stop() (and the
// destructor) interrupts delays and stalls and returns once every server
// thread has ended.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"

namespace lumbrin::fake {

struct FakePicture {
  std::string day;          // 8 digits, "YYYYMMDD"
  std::string id;
  std::string fileName;     // UTF-8
  std::string thumbnail;    // the large thumbnail's address (never served)
  std::uint64_t size = 0;   // bytes of the file
  std::string contentType;  // "image/jpeg" or "video/mp4"
};

struct FakeGalleryOptions {
  std::uint64_t seed = 1;
  int days = 3;                    // consecutive days from 2021-03-01
  int picturesPerDay = 10;
  std::vector<int> picturesOfDay;  // when not empty: one day per entry, that many pictures
  // When not empty: exactly these pictures (day, id, fileName and size are
  // used; an empty thumbnail or contentType is filled in).
  std::vector<FakePicture> explicitPictures;
  // Mixes names like "../x.jpg", "a/b.jpg", "..\\y.jpg", "", control
  // characters and duplicates into the generated names.
  bool unsafeNames = false;
  bool https = false;              // certificate made at start; see caFile()
  std::string cookie = "session=fake-valid-cookie";
  std::uint64_t minSize = 1000;
  std::uint64_t maxSize = 200000;
  int port = 0;                    // 0: an ephemeral port
  int latencyMs = 0;               // see setLatencyMs
  int connectDelayMs = 0;          // see setConnectDelayMs
  int keepAliveMaxCount = 100;     // requests served per connection
};

enum class RequestKind { Timeline, Galleries, Storage, Wrapped, File, Other };

// One fault for one kind of request. A request is hit when the fault has
// remaining uses, its id matches (when onlyId is set) and the seeded draw is
// below probability; each hit uses one of `remaining`.
struct Fault {
  int status = 0;             // answer with this HTTP status (0: the normal status)
  bool htmlPage = false;      // with status: an HTML error page instead of a JSON one
  bool truncate = false;      // announce the full Content-Length, send half, close
  int stallMs = 0;            // send headers and part of the body, then nothing for this long
  bool malformed = false;     // broken JSON; wrapped: wrong callback name; file: altered bytes
  bool noUrl = false;         // storage / wrapped answer without "url"
  bool resetMidBody = false;  // drop the connection after part of the body
  std::string onlyId;         // empty: every request of the kind
  int remaining = -1;         // -1: forever
  double probability = 1.0;
};

struct RecordedRequest {
  RequestKind kind = RequestKind::Other;
  std::string method;
  std::string path;   // without the query
  std::string query;  // raw text after "?", empty when none
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  int remotePort = 0;  // tells connections apart
  // First value of the header `name` (letter case ignored); empty when absent.
  [[nodiscard]] std::string header(std::string_view name) const;
  [[nodiscard]] bool hasHeader(std::string_view name) const;
};

class FakeGallery {
public:
  explicit FakeGallery(FakeGalleryOptions options = {});
  ~FakeGallery();
  FakeGallery(const FakeGallery&) = delete;
  FakeGallery& operator=(const FakeGallery&) = delete;

  // Binds 127.0.0.1 and starts serving on background threads. False when the
  // port cannot be bound or the certificate cannot be made.
  [[nodiscard]] bool start();
  void stop();

  // "http://127.0.0.1:PORT" (or https), no trailing "/". Empty before start().
  [[nodiscard]] std::string baseUrl() const;
  [[nodiscard]] int port() const;
  [[nodiscard]] const std::string& validCookie() const;
  // PEM file of the server's self-signed CA certificate (https only; removed
  // with the object). Empty for http.
  [[nodiscard]] std::string caFile() const;

  [[nodiscard]] const std::vector<FakePicture>& pictures() const;
  // Day keys in timeline order.
  [[nodiscard]] std::vector<std::string> dayKeys() const;
  // The exact bytes the file request of `id` answers (empty for an unknown
  // id). Generated from (seed, id); costs the file's size in memory.
  [[nodiscard]] ByteBuffer contentOf(const std::string& id) const;
  // The n-th byte of that content, without building it.
  [[nodiscard]] std::uint8_t contentByte(const std::string& id, std::uint64_t n) const;

  void setFault(RequestKind kind, Fault fault);
  void clearFaults();
  void setLatencyMs(int ms);       // delay before every answer
  void setConnectDelayMs(int ms);  // delay before the first answer of each new connection
  // With a valid cookie the timeline answers exactly this text (e.g. a huge
  // answer or one with stray digits). An empty text restores the normal answer.
  void setTimelineOverride(std::string text);

  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  void clearRequests();
  [[nodiscard]] std::uint64_t connectionsAccepted() const;

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumbrin::fake
