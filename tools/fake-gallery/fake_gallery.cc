#include "fake_gallery.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

namespace lumbrin::fake {
namespace {

std::uint64_t SplitMix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t HashText(std::uint64_t seed, std::string_view text) {
  std::uint64_t h = SplitMix(seed ^ 0x5151ull);
  for (unsigned char c : text) h = SplitMix(h ^ c);
  return h;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::optional<std::string> Unhex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    auto [p, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    if (ec != std::errc() || p != hex.data() + i + 2) return std::nullopt;
    out.push_back(static_cast<char>(value));
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out += "\"";
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string> CookiePairs(std::string_view text) {
  std::vector<std::string> pairs;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
    if (!piece.empty()) pairs.emplace_back(piece);
    start = end + 1;
  }
  return pairs;
}

long ParseLong(const std::string& text, long fallback, long lo, long hi) {
  long value = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || p != text.data() + text.size()) return fallback;
  return std::clamp(value, lo, hi);
}

std::string DayKey(int offset) {
  using namespace std::chrono;
  const year_month_day day{sys_days{year{2021} / March / 1} + days{offset}};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  return buf;
}

struct X509Deleter {
  void operator()(X509* x) const noexcept { X509_free(x); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A self-signed certificate that can also serve as its own trust anchor, valid
// for 127.0.0.1 and localhost.
bool MakeCertificate(X509Ptr& certOut, PkeyPtr& keyOut) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  if (!key || !cert) return false;
  X509_set_version(cert.get(), 2);
  std::random_device rd;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(rd() & 0x7fffffff));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Lumbrin fake gallery"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign,cRLSign") ||
      !AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
      !AddExtension(cert.get(), NID_subject_key_identifier, "hash") ||
      !AddExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")) {
    return false;
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return false;
  certOut = std::move(cert);
  keyOut = std::move(key);
  return true;
}

bool WritePem(X509* cert, const std::filesystem::path& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = PEM_write_X509(f, cert) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (EqualsIgnoreCase(n, name)) return v;
  return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return EqualsIgnoreCase(h.first, name); });
}

struct FakeGallery::Impl {
  explicit Impl(FakeGalleryOptions o) : options(std::move(o)), rng(options.seed) {
    latencyMs = options.latencyMs;
    connectDelayMs = options.connectDelayMs;
    generatePictures();
  }

  // Fixed after construction.
  FakeGalleryOptions options;
  std::vector<FakePicture> pictures;
  std::vector<std::string> days;                       // timeline order
  std::map<std::string, std::vector<std::size_t>> byDay;  // day -> picture indexes
  std::map<std::string, std::size_t> byId;

  // Server; touched only by start()/stop() (serialised by lifeMutex).
  std::mutex lifeMutex;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  X509Ptr cert;
  PkeyPtr key;
  std::filesystem::path certDir;
  std::string base;  // guarded by mutex
  int boundPort = 0;
  int listenSocket = -1;  // the server's own socket, set while binding

  // Knobs and records.
  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::map<RequestKind, Fault> faults;
  std::mt19937_64 rng;
  std::atomic<int> latencyMs{0};
  std::atomic<int> connectDelayMs{0};
  std::string timelineOverride;
  std::vector<RecordedRequest> records;
  std::atomic<std::uint64_t> connections{0};

  void generatePictures();
  std::uint64_t contentKey(const std::string& id) const { return HashText(options.seed, id); }
  std::string metaOf(const std::string& id) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx",
                  static_cast<unsigned long long>(HashText(options.seed ^ 0xABCDull, id)));
    return buf;
  }
  std::uint8_t byteAt(std::uint64_t key, const FakePicture& p, std::uint64_t n) const {
    if (p.contentType == "image/jpeg" && n < 3) return n == 1 ? 0xD8 : 0xFF;
    return static_cast<std::uint8_t>(SplitMix(key + n / 8) >> ((n % 8) * 8));
  }
  void fill(std::uint64_t key, const FakePicture& p, std::uint64_t offset, std::size_t count, char* out) const {
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(byteAt(key, p, offset + i));
  }

  // Waits up to `ms`, returning early (false) when the server stops.
  bool pause(int ms) {
    if (ms <= 0) return true;
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
  }
  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  std::string baseUrl() const {
    std::lock_guard lock(mutex);
    return base;
  }

  bool cookieValid(const httplib::Request& req) const {
    if (!req.has_header("Cookie")) return false;
    const auto sent = CookiePairs(req.get_header_value("Cookie"));
    const auto wanted = CookiePairs(options.cookie);
    if (wanted.empty()) return true;
    return std::all_of(wanted.begin(), wanted.end(),
                       [&](const std::string& w) { return std::find(sent.begin(), sent.end(), w) != sent.end(); });
  }

  void record(RequestKind kind, const httplib::Request& req) {
    RecordedRequest r;
    r.kind = kind;
    r.method = req.method;
    r.path = req.path;
    if (auto q = req.target.find('?'); q != std::string::npos) r.query = req.target.substr(q + 1);
    r.body = req.body;
    for (const auto& [n, v] : req.headers) r.headers.emplace_back(n, v);
    r.remotePort = req.remote_port;
    std::lock_guard lock(mutex);
    records.push_back(std::move(r));
  }

  std::optional<Fault> takeFault(RequestKind kind, const std::string& id) {
    std::lock_guard lock(mutex);
    auto it = faults.find(kind);
    if (it == faults.end()) return std::nullopt;
    Fault& f = it->second;
    if (f.remaining == 0) return std::nullopt;
    if (!f.onlyId.empty() && f.onlyId != id) return std::nullopt;
    if (f.probability < 1.0) {
      const double draw = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
      if (draw >= f.probability) return std::nullopt;
    }
    if (f.remaining > 0) --f.remaining;
    return f;
  }

  void begin(RequestKind kind, const httplib::Request& req) {
    record(kind, req);
    pause(latencyMs.load());
  }

  // Sends `body`, shaped by the fault's transport knobs.
  void send(httplib::Response& res, std::string body, const std::string& type, const std::optional<Fault>& fault) {
    const bool cut = fault && (fault->truncate || fault->resetMidBody);
    const int stall = fault ? fault->stallMs : 0;
    if (!cut && stall <= 0) {
      res.set_content(body, type);
      return;
    }
    auto shared = std::make_shared<std::string>(std::move(body));
    const std::size_t half = shared->size() / 2;
    res.set_content_provider(shared->size(), type,
                             [this, shared, half, cut, stall, stalled = false](std::size_t offset, std::size_t,
                                                                               httplib::DataSink& sink) mutable {
                               if (offset < half) return sink.write(shared->data() + offset, half - offset);
                               if (cut) return false;
                               if (!stalled) {
                                 stalled = true;
                                 if (!pause(stall)) return false;
                               }
                               return sink.write(shared->data() + offset, shared->size() - offset);
                             });
  }

  bool answerStatusFault(httplib::Response& res, const std::optional<Fault>& fault) {
    if (!fault || fault->status == 0) return false;
    res.status = fault->status;
    if (fault->htmlPage) {
      res.set_content("<html><head><title>" + std::to_string(fault->status) +
                          "</title></head><body><h1>Service unavailable</h1></body></html>",
                      "text/html; charset=utf-8");
    } else {
      res.set_content("{\"code\":" + std::to_string(fault->status) + ",\"info\":\"error\"}",
                      "application/json;charset=UTF-8");
    }
    return true;
  }

  void install(httplib::Server& s);
  void onTimeline(const httplib::Request& req, httplib::Response& res);
  void onGalleries(const httplib::Request& req, httplib::Response& res);
  void onStorage(const httplib::Request& req, httplib::Response& res);
  void onWrapped(const httplib::Request& req, httplib::Response& res);
  void onFile(const httplib::Request& req, httplib::Response& res);
};

void FakeGallery::Impl::generatePictures() {
  if (!options.explicitPictures.empty()) {
    pictures = options.explicitPictures;
  } else {
    std::vector<int> counts = options.picturesOfDay;
    if (counts.empty()) counts.assign(static_cast<std::size_t>(std::max(0, options.days)), options.picturesPerDay);
    static const char* const kUnsafe[] = {"../x.jpg", "a/b.jpg", "..\\y.jpg", "", "ctl\x01\x1f name.jpg",
                                          "/etc/passwd", "..", "line\r\nbreak.jpg"};
    std::size_t serial = 0;
    const std::uint64_t span = options.maxSize >= options.minSize ? options.maxSize - options.minSize + 1 : 1;
    for (std::size_t d = 0; d < counts.size(); ++d) {
      const std::string day = DayKey(static_cast<int>(d));
      for (int i = 0; i < std::max(0, counts[d]); ++i, ++serial) {
        FakePicture p;
        p.day = day;
        char id[40];
        std::snprintf(id, sizeof id, "fg%06zu%08llx", serial,
                      static_cast<unsigned long long>(HashText(options.seed, day + std::to_string(i)) & 0xffffffffull));
        p.id = id;
        char num[16];
        std::snprintf(num, sizeof num, "%04zu", serial);
        switch (serial % 5) {
          case 0: p.fileName = "IMG_" + day + "_" + num + ".jpg"; break;
          case 1: p.fileName = "照片 " + std::string(num) + ".jpg"; break;
          case 2: p.fileName = "\xF0\x9F\x8E\x89party " + std::string(num) + ".jpg"; break;
          case 3: p.fileName = "space name " + std::string(num) + ".jpg"; break;
          default: p.fileName = "视频" + std::string(num) + ".mp4"; break;
        }
        if (options.unsafeNames) {
          if (serial % 4 == 1) {
            p.fileName = kUnsafe[(serial / 4) % std::size(kUnsafe)];
          } else if (serial % 4 == 3 && !pictures.empty()) {
            p.fileName = pictures.back().fileName;  // two ids, one name
          }
        }
        p.size = options.minSize + HashText(options.seed ^ 0x51ull, p.id) % span;
        pictures.push_back(std::move(p));
      }
    }
  }
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    FakePicture& p = pictures[i];
    if (p.contentType.empty()) {
      const bool video = p.fileName.size() >= 4 && p.fileName.compare(p.fileName.size() - 4, 4, ".mp4") == 0;
      p.contentType = video ? "video/mp4" : "image/jpeg";
    }
    if (p.thumbnail.empty()) p.thumbnail = "https://thumb.fake-gallery.invalid/" + Hex(p.id) + ".jpg";
    if (!byDay.count(p.day)) days.push_back(p.day);
    byDay[p.day].push_back(i);
    byId.emplace(p.id, i);
  }
}

void FakeGallery::Impl::onTimeline(const httplib::Request& req, httplib::Response& res) {
  begin(RequestKind::Timeline, req);
  const auto fault = takeFault(RequestKind::Timeline, {});
  if (answerStatusFault(res, fault)) return;
  std::string body;
  if (!cookieValid(req)) {
    body = R"({"code":401,"info":"login"})";
  } else {
    std::string custom;
    {
      std::lock_guard lock(mutex);
      custom = timelineOverride;
    }
    if (!custom.empty()) {
      body = std::move(custom);
    } else {
      body = R"({"code":0,"data":{"days":[)";
      for (std::size_t i = 0; i < days.size(); ++i) {
        if (i) body += ",";
        body += "{\"day\":\"" + days[i] + "\",\"count\":" + std::to_string(byDay[days[i]].size()) + "}";
      }
      body += "]}}";
    }
  }
  if (fault && fault->malformed) body.resize(body.size() / 2);
  send(res, std::move(body), "application/json;charset=UTF-8", fault);
}

void FakeGallery::Impl::onGalleries(const httplib::Request& req, httplib::Response& res) {
  begin(RequestKind::Galleries, req);
  const std::string day = req.get_param_value("startDate");
  const auto fault = takeFault(RequestKind::Galleries, {});
  if (answerStatusFault(res, fault)) return;
  std::string body;
  if (!cookieValid(req)) {
    body = R"({"code":401,"info":"login"})";
  } else {
    const long pageNum = ParseLong(req.get_param_value("pageNum"), 0, 0, 1L << 30);
    const long pageSize = ParseLong(req.get_param_value("pageSize"), 30, 1, 1000);
    const auto it = byDay.find(day);
    const std::size_t total = it == byDay.end() ? 0 : it->second.size();
    body = R"({"code":0,"data":{"total":)" + std::to_string(total) + R"(,"galleries":[)";
    const std::size_t first = static_cast<std::size_t>(pageNum) * static_cast<std::size_t>(pageSize);
    for (std::size_t k = first; k < total && k < first + static_cast<std::size_t>(pageSize); ++k) {
      const FakePicture& p = pictures[it->second[k]];
      if (k != first) body += ",";
      body += "{\"id\":" + JsonString(p.id) + ",\"fileName\":" + JsonString(p.fileName) +
              ",\"size\":" + std::to_string(p.size) + ",\"bigThumbnailInfo\":{\"data\":" + JsonString(p.thumbnail) +
              "}}";
    }
    body += "]}}";
  }
  if (fault && fault->malformed) body.resize(body.size() / 2);
  send(res, std::move(body), "application/json;charset=UTF-8", fault);
}

void FakeGallery::Impl::onStorage(const httplib::Request& req, httplib::Response& res) {
  begin(RequestKind::Storage, req);
  const std::string id = req.get_param_value("id");
  const auto fault = takeFault(RequestKind::Storage, id);
  if (answerStatusFault(res, fault)) return;
  std::string body;
  if (!cookieValid(req)) {
    body = R"({"code":401,"info":"login"})";
  } else if (!byId.count(id)) {
    body = R"({"code":404,"info":"no such picture"})";
  } else if (fault && fault->noUrl) {
    body = R"({"code":0,"data":{"expire":600}})";
  } else {
    const std::string link =
        baseUrl() + "/dl?a=1&b=2&c=3&callback=" + req.get_param_value("callBack") + "&id=" + id;
    body = R"({"code":0,"data":{"url":)" + JsonString(link) + "}}";
  }
  if (fault && fault->malformed) body.resize(body.size() / 2);
  send(res, std::move(body), "application/json;charset=UTF-8", fault);
}

void FakeGallery::Impl::onWrapped(const httplib::Request& req, httplib::Response& res) {
  begin(RequestKind::Wrapped, req);
  const std::string id = req.get_param_value("id");
  const auto fault = takeFault(RequestKind::Wrapped, id);
  if (answerStatusFault(res, fault)) return;
  std::string name = req.get_param_value("callback");
  std::string json;
  if (!byId.count(id)) {
    json = R"({"code":404})";
  } else if (fault && fault->noUrl) {
    json = "{\"meta\":" + JsonString(metaOf(id)) + "}";
  } else {
    json = "{\"url\":" + JsonString(baseUrl() + "/file/" + Hex(id)) + ",\"meta\":" + JsonString(metaOf(id)) + "}";
  }
  if (fault && fault->malformed) name = "jsonp_other_cb";
  send(res, name + "(" + json + ")", "application/javascript;charset=UTF-8", fault);
}

void FakeGallery::Impl::onFile(const httplib::Request& req, httplib::Response& res) {
  begin(RequestKind::File, req);
  const auto id = Unhex(req.matches.size() > 1 ? req.matches[1].str() : std::string());
  const auto fault = takeFault(RequestKind::File, id.value_or(std::string()));
  if (answerStatusFault(res, fault)) return;
  const auto it = id ? byId.find(*id) : byId.end();
  if (it == byId.end()) {
    res.status = 404;
    res.set_content(R"({"code":404})", "application/json");
    return;
  }
  if (req.body != "meta=" + metaOf(*id)) {
    res.status = 403;
    res.set_content(R"({"code":403,"info":"bad meta"})", "application/json");
    return;
  }
  const FakePicture& p = pictures[it->second];
  const std::uint64_t key = contentKey(p.id);
  const std::uint64_t size = p.size;
  const bool cut = fault && (fault->truncate || fault->resetMidBody);
  const int stall = fault ? fault->stallMs : 0;
  const bool alter = fault && fault->malformed;
  const std::uint64_t half = size / 2;
  res.set_content_provider(
      static_cast<std::size_t>(size), p.contentType,
      [this, &p, key, size, half, cut, stall, alter, stalled = false](std::size_t offset, std::size_t,
                                                                      httplib::DataSink& sink) mutable {
        std::uint64_t end = std::min<std::uint64_t>(size, offset + 64 * 1024);
        if (cut || stall > 0) {
          if (offset < half) {
            end = std::min(end, half);
          } else if (cut) {
            return false;
          } else if (!stalled) {
            stalled = true;
            if (!pause(stall)) return false;
          }
        }
        char buf[64 * 1024];
        const auto count = static_cast<std::size_t>(end - offset);
        fill(key, p, offset, count, buf);
        if (alter && offset == 0 && count > 0) buf[count / 2] = static_cast<char>(~buf[count / 2]);
        return sink.write(buf, count);
      });
}

void FakeGallery::Impl::install(httplib::Server& s) {
  s.Get("/gallery/user/timeline", [this](const auto& req, auto& res) { onTimeline(req, res); });
  s.Get("/gallery/user/galleries", [this](const auto& req, auto& res) { onGalleries(req, res); });
  s.Get("/gallery/storage", [this](const auto& req, auto& res) { onStorage(req, res); });
  s.Get("/dl", [this](const auto& req, auto& res) { onWrapped(req, res); });
  s.Post(R"(/file/([0-9a-fA-F]*))", [this](const auto& req, auto& res) { onFile(req, res); });
  const auto other = [this](const httplib::Request& req, httplib::Response& res) {
    begin(RequestKind::Other, req);
    res.status = 404;
    res.set_content("<html><body>not found</body></html>", "text/html");
  };
  s.Get(".*", other);
  s.Post(".*", other);
  s.Put(".*", other);
  s.Delete(".*", other);
  s.Options(".*", other);
  s.set_payload_max_length(4u << 20);
  s.set_keep_alive_max_count(static_cast<std::size_t>(std::max(1, options.keepAliveMaxCount)));
  s.set_keep_alive_timeout(5);
  s.set_tcp_nodelay(true);  // headers and body go out in two writes; no 40 ms Nagle wait
  // Generous: clients under sanitizers are slow, and stop() ends connections itself.
  s.set_read_timeout(30, 0);
  s.set_write_timeout(30, 0);
  // The library listens with a backlog of 5, which a burst of ten downloaders
  // (or a slow accept loop) overflows; listening again raises it.
  s.set_socket_options([this](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listenSocket < 0) listenSocket = sock;
  });
}

namespace {

// Runs each accepted connection on a pool thread, after the configured
// per-connection delay (which models the round trips of TCP and TLS set-up).
class ConnectionQueue final : public httplib::TaskQueue {
public:
  explicit ConnectionQueue(FakeGallery::Impl& impl) : impl_(impl), pool_(32) {}
  void enqueue(std::function<void()> fn) override {
    impl_.connections.fetch_add(1);
    pool_.enqueue([this, fn = std::move(fn)] {
      impl_.pause(impl_.connectDelayMs.load());
      fn();
    });
  }
  void shutdown() override { pool_.shutdown(); }

private:
  FakeGallery::Impl& impl_;
  httplib::ThreadPool pool_;
};

// The server keeps idle keep-alive connections open until their time-out and
// offers no way to end them, which would make stop() wait for it. Every
// socket it accepted is bound locally to its port, so shutting those down
// (without closing: the server threads still own the descriptors) ends them
// at once. Client sockets of this process have other local ports.
void ShutDownAcceptedSockets(int port) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    int fd = -1;
    const std::string name = entry.path().filename().string();
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.sin_family != AF_INET ||
        ntohs(local.sin_port) != port) {
      continue;
    }
    len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) shutdown(fd, SHUT_RDWR);
  }
}

}  // namespace

FakeGallery::FakeGallery(FakeGalleryOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

FakeGallery::~FakeGallery() {
  stop();
  std::error_code ec;
  if (!impl_->certDir.empty()) std::filesystem::remove_all(impl_->certDir, ec);
}

bool FakeGallery::start() {
  Impl& m = *impl_;
  std::lock_guard life(m.lifeMutex);
  if (m.server) return true;
  if (m.options.https) {
    if (!m.cert && !MakeCertificate(m.cert, m.key)) return false;
    if (m.certDir.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "fake-gallery-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) return false;
      m.certDir = pattern;
      if (!WritePem(m.cert.get(), m.certDir / "ca.pem")) return false;
    }
    m.server = std::make_unique<httplib::SSLServer>(m.cert.get(), m.key.get());
  } else {
    m.server = std::make_unique<httplib::Server>();
  }
  if (!m.server->is_valid()) {
    m.server.reset();
    return false;
  }
  m.server->new_task_queue = [&m] { return new ConnectionQueue(m); };
  m.listenSocket = -1;
  m.install(*m.server);
  const int port = m.options.port > 0 ? (m.server->bind_to_port("127.0.0.1", m.options.port) ? m.options.port : -1)
                                      : m.server->bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    m.server.reset();
    return false;
  }
  if (m.listenSocket >= 0) ::listen(m.listenSocket, 256);
  {
    std::lock_guard lock(m.mutex);
    m.stopping = false;
    m.boundPort = port;
    m.base = std::string(m.options.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
  }
  httplib::Server* server = m.server.get();
  m.listener = std::thread([server] { server->listen_after_bind(); });
  // stop() only ends a server whose loop is running, so wait for it here.
  for (int i = 0; i < 5000 && !server->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void FakeGallery::stop() {
  Impl& m = *impl_;
  std::lock_guard life(m.lifeMutex);
  if (!m.server) return;
  {
    std::lock_guard lock(m.mutex);
    m.stopping = true;
  }
  m.wake.notify_all();
  m.server->stop();
  ShutDownAcceptedSockets(m.boundPort);
  if (m.listener.joinable()) m.listener.join();
  m.server.reset();
  std::lock_guard lock(m.mutex);
  m.base.clear();
}

std::string FakeGallery::baseUrl() const { return impl_->baseUrl(); }
int FakeGallery::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->boundPort;
}
const std::string& FakeGallery::validCookie() const { return impl_->options.cookie; }
std::string FakeGallery::caFile() const {
  return impl_->certDir.empty() ? std::string() : (impl_->certDir / "ca.pem").string();
}
const std::vector<FakePicture>& FakeGallery::pictures() const { return impl_->pictures; }
std::vector<std::string> FakeGallery::dayKeys() const { return impl_->days; }

ByteBuffer FakeGallery::contentOf(const std::string& id) const {
  const auto it = impl_->byId.find(id);
  if (it == impl_->byId.end()) return {};
  const FakePicture& p = impl_->pictures[it->second];
  ByteBuffer out(static_cast<std::size_t>(p.size));
  const std::uint64_t key = impl_->contentKey(id);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = impl_->byteAt(key, p, i);
  return out;
}

std::uint8_t FakeGallery::contentByte(const std::string& id, std::uint64_t n) const {
  const auto it = impl_->byId.find(id);
  if (it == impl_->byId.end()) return 0;
  return impl_->byteAt(impl_->contentKey(id), impl_->pictures[it->second], n);
}

void FakeGallery::setFault(RequestKind kind, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults[kind] = std::move(fault);
}
void FakeGallery::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}
void FakeGallery::setLatencyMs(int ms) { impl_->latencyMs.store(ms); }
void FakeGallery::setConnectDelayMs(int ms) { impl_->connectDelayMs.store(ms); }
void FakeGallery::setTimelineOverride(std::string text) {
  std::lock_guard lock(impl_->mutex);
  impl_->timelineOverride = std::move(text);
}
std::vector<RecordedRequest> FakeGallery::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->records;
}
void FakeGallery::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->records.clear();
}
std::uint64_t FakeGallery::connectionsAccepted() const { return impl_->connections.load(); }

}  // namespace lumbrin::fake
