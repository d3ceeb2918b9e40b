#include "http/web_request.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "http/charset.h"
#include "http/header_text.h"
#include "http/web_request_internal.h"

namespace lumbrin {
namespace {

using Clock = std::chrono::steady_clock;

struct EasyDeleter {
  void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const noexcept { curl_multi_cleanup(h); }
};
struct ShareDeleter {
  void operator()(CURLSH* h) const noexcept { curl_share_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SharePtr = std::unique_ptr<CURLSH, ShareDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

constexpr std::array<const char*, 8> kVerbs = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};
constexpr std::int64_t kDefaultTimeoutMs = 15000;
constexpr std::size_t kMaxResponseHeaderBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxIdleMultis = 16;
constexpr std::uintmax_t kMaxTrustFileBytes = std::uintmax_t{16} << 20;

// curl_global_init is not thread-safe and must run once before any handle is
// made; it is never undone, because detached workers may still be using
// libcurl while the process exits.
void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsLineBreak(char c) noexcept { return c == '\r' || c == '\n'; }

// A header value never carries a line break (or NUL) onto the wire, where it
// would end the header and start another one of the sender's choosing.
LocalText WireValue(LocalView value) {
  LocalText out;
  out.reserve(value.size());
  for (char c : value)
    if (!IsLineBreak(c) && c != '\0') out.push_back(c);
  return out;
}

// Cookie text pasted with line breaks keeps its pairs: each break separates
// two pairs, and breaks at either end are dropped.
LocalText WireCookie(LocalView cookie) {
  LocalText out;
  std::size_t pos = 0;
  while (pos < cookie.size()) {
    std::size_t end = pos;
    while (end < cookie.size() && !IsLineBreak(cookie[end])) ++end;
    if (end > pos) {
      if (!out.empty()) out.append("; ");
      out.append(WireValue(cookie.substr(pos, end - pos)));
    }
    pos = end;
    while (pos < cookie.size() && IsLineBreak(cookie[pos])) ++pos;
  }
  return out;
}

// Request headers as the request object would hold them: setting a name that
// is already present (letter case ignored) replaces its value in place.
class HeaderList {
public:
  void set(LocalView name, LocalView value) {
    LocalText cleanName = WireValue(name);
    if (cleanName.empty()) return;
    LocalText cleanValue = EqualsIgnoringAsciiCase(cleanName, "Cookie") ? WireCookie(value) : WireValue(value);
    for (auto& entry : entries_) {
      if (EqualsIgnoringAsciiCase(entry.first, cleanName)) {
        entry.second = std::move(cleanValue);
        return;
      }
    }
    entries_.emplace_back(std::move(cleanName), std::move(cleanValue));
  }
  [[nodiscard]] bool has(std::string_view name) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const auto& e) { return EqualsIgnoringAsciiCase(e.first, name); });
  }
  // libcurl's list; "Name;" is its way of sending a header with an empty value.
  [[nodiscard]] SlistPtr toSlist(bool hasBody) const {
    SlistPtr list;
    auto append = [&list](const std::string& line) {
      curl_slist* next = curl_slist_append(list.get(), line.c_str());
      if (next == nullptr) return false;
      (void)list.release();
      list.reset(next);
      return true;
    };
    for (const auto& [name, value] : entries_) {
      if (!append(value.empty() ? name + ";" : name + ": " + value)) return nullptr;
    }
    // libcurl would add these by itself; only what the caller asked for goes out.
    if (!has("Accept") && !append("Accept:")) return nullptr;
    if (hasBody && !has("Content-Type") && !append("Content-Type:")) return nullptr;
    if (!has("Expect") && !append("Expect:")) return nullptr;
    return list;
  }

private:
  std::vector<std::pair<LocalText, LocalText>> entries_;
};

// The CA bundle libcurl trusts by default plus the caller's extra file, as
// one PEM blob. Handing it over as CURLOPT_CAINFO_BLOB (rather than adding
// certificates in an SSL_CTX callback) makes it part of the TLS settings that
// libcurl compares before it reuses a connection or a TLS session, so a
// connection verified with the extra trust is never reused by a request
// without it. Cached per file; safe to call from any thread.
std::string TrustBundle(const std::string& caFile) {
  struct Entry {
    std::string path;
    std::int64_t mtime = 0;
    std::int64_t size = -1;
    std::string bundle;
  };
  static std::mutex mutex;
  static std::vector<Entry> cache;

  auto readFile = [](const std::string& path, std::string& out) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uintmax_t>(st.st_size) > kMaxTrustFileBytes) {
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
  };

  struct stat st {};
  if (::stat(caFile.c_str(), &st) != 0) return {};
  std::lock_guard lock(mutex);
  for (const auto& e : cache)
    if (e.path == caFile && e.mtime == st.st_mtime && e.size == st.st_size) return e.bundle;

  std::string systemBundle;
  {
    EasyPtr probe(curl_easy_init());
    char* defaultCa = nullptr;
    if (probe && curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &defaultCa) == CURLE_OK && defaultCa != nullptr)
      (void)readFile(defaultCa, systemBundle);
  }
  std::string extra;
  if (!readFile(caFile, extra)) return {};
  Entry entry{caFile, static_cast<std::int64_t>(st.st_mtime), static_cast<std::int64_t>(st.st_size),
              systemBundle + "\n" + extra + "\n"};
  if (cache.size() >= 8) cache.erase(cache.begin());
  cache.push_back(std::move(entry));
  return cache.back().bundle;
}

// Everything the callbacks of one transfer share; lives on the requesting
// thread's stack for the whole transfer.
struct Transfer {
  const WebRequestParams* params = nullptr;
  ByteBuffer body;
  LocalText headers;
  int status = 0;
  bool sinkBegun = false;
  bool refused = false;  // our own callback ended the transfer
  std::string refusal;
  std::uint64_t received = 0;
  Clock::time_point lastActivity = Clock::now();
  curl_off_t lastUp = 0;
  curl_off_t lastDown = 0;
  CURL* easy = nullptr;

  void touch() { lastActivity = Clock::now(); }
  bool beginSink() {
    if (params->sink == nullptr || sinkBegun) return true;
    sinkBegun = true;
    return params->sink->begin(status, headers);
  }
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) noexcept {
  auto& t = *static_cast<Transfer*>(user);
  const size_t len = size * count;
  try {
    t.touch();
    std::string_view line(data, len);
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
      // A new response (interim, redirect or final): only the last one counts.
      t.headers.clear();
      t.status = 0;
      const std::size_t sp = line.find(' ');
      if (sp != std::string_view::npos) {
        int code = 0;
        for (std::size_t i = sp + 1; i < line.size() && i < sp + 4 && line[i] >= '0' && line[i] <= '9'; ++i)
          code = code * 10 + (line[i] - '0');
        t.status = code;
      }
      return len;
    }
    while (!line.empty() && IsLineBreak(line.back())) line.remove_suffix(1);
    if (line.empty()) return len;
    if (t.headers.size() + line.size() + 2 > kMaxResponseHeaderBytes) {
      t.refused = true;
      t.refusal = "response headers too large";
      return 0;
    }
    t.headers.append(line);
    t.headers.append("\r\n");
    return len;
  } catch (...) {
    t.refused = true;
    return 0;
  }
}

size_t OnBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto& t = *static_cast<Transfer*>(user);
  const size_t len = size * count;
  try {
    t.touch();
    const WebRequestParams& p = *t.params;
    if (p.sink != nullptr) {
      if (!t.beginSink() || !p.sink->write(reinterpret_cast<const std::uint8_t*>(data), len)) {
        t.refused = true;
        t.refusal = "body refused by its receiver";
        return CURL_WRITEFUNC_ERROR;
      }
    } else {
      if (t.body.empty()) {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && static_cast<std::uint64_t>(announced) > p.maxBodyBytes) {
          t.refused = true;
          t.refusal = "response body too large";
          return CURL_WRITEFUNC_ERROR;
        }
      }
      if (len > p.maxBodyBytes - std::min(p.maxBodyBytes, t.body.size())) {
        t.refused = true;
        t.refusal = "response body too large";
        return CURL_WRITEFUNC_ERROR;
      }
      t.body.insert(t.body.end(), reinterpret_cast<const std::uint8_t*>(data),
                    reinterpret_cast<const std::uint8_t*>(data) + len);
    }
    t.received += len;
    return len;
  } catch (...) {
    t.refused = true;
    return CURL_WRITEFUNC_ERROR;
  }
}

int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) noexcept {
  auto& t = *static_cast<Transfer*>(user);
  if (dlnow != t.lastDown || ulnow != t.lastUp) {
    t.lastDown = dlnow;
    t.lastUp = ulnow;
    t.touch();
  }
  return 0;
}

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) noexcept;
void UnlockShare(CURL*, curl_lock_data data, void* user) noexcept;

}  // namespace

// The TLS session and DNS caches live in the share handle. Connections are
// kept in a pool of idle multi handles instead of the share: libcurl's
// shared connection cache is not safe between concurrent threads, while a
// multi handle used by one thread at a time is. Each request leases one
// multi handle (and the connections it keeps) for its duration.
struct WebSession::Impl {
  SharePtr share;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  std::mutex poolMutex;
  std::vector<MultiPtr> idle;

  Impl() {
    GlobalInit();
    share.reset(curl_share_init());
    if (share) {
      curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, &LockShare);
      curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, &UnlockShare);
      curl_share_setopt(share.get(), CURLSHOPT_USERDATA, this);
      curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
      curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
  }
  ~Impl() {
    idle.clear();  // their connections may refer to the share's TLS sessions
  }

  MultiPtr lease() {
    {
      std::lock_guard lock(poolMutex);
      if (!idle.empty()) {
        MultiPtr m = std::move(idle.back());
        idle.pop_back();
        return m;
      }
    }
    MultiPtr m(curl_multi_init());
    if (m) curl_multi_setopt(m.get(), CURLMOPT_MAXCONNECTS, 4L);
    return m;
  }
  void giveBack(MultiPtr m) {
    std::lock_guard lock(poolMutex);
    if (idle.size() < kMaxIdleMultis) idle.push_back(std::move(m));
  }
};

namespace {

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) noexcept {
  auto* impl = static_cast<WebSession::Impl*>(user);
  if (data >= 0 && static_cast<std::size_t>(data) < impl->locks.size()) impl->locks[data].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void* user) noexcept {
  auto* impl = static_cast<WebSession::Impl*>(user);
  if (data >= 0 && static_cast<std::size_t>(data) < impl->locks.size()) impl->locks[data].unlock();
}

// Runs the transfer on a leased multi handle so that the wait can be woken by
// a cancel. Returns libcurl's result; sets the flags for our own endings.
CURLcode RunTransfer(WebSession::Impl& session, CURL* easy, Transfer& t, const CancelToken* token,
                     std::int64_t inactivityMs, bool& cancelled, bool& timedOut) {
  MultiPtr multi = session.lease();
  if (!multi) return CURLE_OUT_OF_MEMORY;
  if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_FAILED_INIT;

  // The token is only read and waited on here; addWaker/removeWaker are
  // non-const merely because they change the list of waiters.
  auto* watched = const_cast<CancelToken*>(token);
  CURLM* raw = multi.get();
  const std::uint64_t waker = watched ? watched->addWaker([raw] { curl_multi_wakeup(raw); }) : 0;

  CURLcode result = CURLE_OK;
  bool finished = false;
  t.touch();
  for (;;) {
    if (watched && watched->cancelled()) {
      cancelled = true;
      break;
    }
    int running = 0;
    if (curl_multi_perform(raw, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(raw, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
        result = msg->data.result;
        finished = true;
      }
    }
    if (finished || running == 0) break;
    int waitMs = 1000;
    if (inactivityMs > 0) {
      const auto idleFor =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t.lastActivity).count();
      if (idleFor >= inactivityMs) {
        timedOut = true;
        break;
      }
      waitMs = static_cast<int>(std::min<std::int64_t>(waitMs, inactivityMs - idleFor));
    }
    if (curl_multi_poll(raw, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  if (watched) watched->removeWaker(waker);
  curl_multi_remove_handle(raw, easy);
  session.giveBack(std::move(multi));
  if (cancelled) return CURLE_ABORTED_BY_CALLBACK;
  if (timedOut) return CURLE_OPERATION_TIMEDOUT;
  if (!finished && result == CURLE_OK) return CURLE_RECV_ERROR;
  return result;
}

ByteBuffer Perform(const WebRequestParams& p) {
  const CancelToken* token = p.cancel != nullptr ? p.cancel : CurrentCancelToken();
  if (token != nullptr && token->cancelled()) {
    if (p.info) {
      *p.info = WebResponseInfo{};
      p.info->cancelled = true;
      p.info->error = "cancelled before sending";
    }
    return {};
  }

  const bool merge = p.mergeCookies.value_or(true);
  const bool addDefaults = p.addDefaultHeaders.value_or(true);
  const bool normalise = p.normaliseHeaderNames.value_or(true);
  const int method = (p.method < 0 || p.method > 7) ? 0 : p.method;
  const std::string_view verb = kVerbs[static_cast<std::size_t>(method)];

  GlobalInit();
  WebSession& session = p.requestObject != nullptr ? *p.requestObject : DefaultWebSession();
  EasyPtr easyHolder(curl_easy_init());
  if (!easyHolder) return {};
  CURL* easy = easyHolder.get();
  char errorText[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // A cancelled lookup must not hold the caller until the resolver thread ends.
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
  if (session.impl().share) curl_easy_setopt(easy, CURLOPT_SHARE, session.impl().share.get());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");

  // Time-outs: per phase, never on the whole transfer, so big files may take
  // as long as data keeps flowing.
  const detail::WebTimeouts timeouts = detail::TimeoutsFor(p.timeoutSeconds);
  if (!timeouts.clientDefaults) curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connectMs));

  // An empty proxy also keeps libcurl from taking one from the environment.
  curl_easy_setopt(easy, CURLOPT_PROXY, p.proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Server headers (the cookie among them) never go into a proxy's CONNECT.
  curl_easy_setopt(easy, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);

  curl_easy_setopt(easy, CURLOPT_URL, p.url.c_str());
  if (!p.noRedirect) {
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    // The cookie and credentials stay with the host they were given for.
    curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  }

  // Certificates are verified against the system store unless the caller
  // opts out explicitly; an extra CA file adds trust, it replaces nothing.
  std::string trust;
  if (p.tls.insecure) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!p.tls.caFile.empty()) {
      trust = TrustBundle(p.tls.caFile);
      if (!trust.empty()) {
        curl_blob blob{trust.data(), trust.size(), CURL_BLOB_NOCOPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
      }
    }
  }

  // Working copy of the header text with the defaults it lacks.
  LocalText work = p.headerText;
  if (addDefaults) {
    const std::pair<std::string_view, LocalText> defaults[] = {
        {"Accept:", "Accept: */*"},
        {"Referer:", "Referer: " + p.url},
        {"Accept-Language:", "Accept-Language: zh-cn"},
        {"User-Agent:", "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)"},
        {"Content-Type:", "Content-Type: application/x-www-form-urlencoded"},
    };
    for (const auto& [probe, line] : defaults) {
      if (probe == "Content-Type:" && verb != "POST") continue;
      if (FindIgnoringAsciiCase(work, probe) == LocalView::npos) {
        work.append("\r\n");
        work.append(line);
      }
    }
  }
  if (normalise) work = NormaliseHeaderText(work);

  HeaderList headers;
  SlistPtr proxyHeaders;
  if (!p.proxy.empty() && !p.proxyUser.empty()) {
    const int target = p.credentialTarget.value_or(1);
    if (target == 1) {
      curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, p.proxyUser.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, p.proxyPassword.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
      const LocalText pair = p.proxyUser + ":" + p.proxyPassword;
      const std::string line =
          "Proxy-Authorization: Basic " + Base64Encode(ByteBuffer(pair.begin(), pair.end()));
      // Only for the proxy: in a CONNECT tunnel it must not reach the server.
      proxyHeaders.reset(curl_slist_append(nullptr, line.c_str()));
      curl_easy_setopt(easy, CURLOPT_PROXYHEADER, proxyHeaders.get());
    } else if (target == 0) {
      curl_easy_setopt(easy, CURLOPT_USERNAME, p.proxyUser.c_str());
      curl_easy_setopt(easy, CURLOPT_PASSWORD, p.proxyPassword.c_str());
      curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
  }

  if (p.cookie != nullptr) {
    LocalText& cookie = *p.cookie;
    if (!cookie.empty() && FindIgnoringAsciiCase(cookie, "Cookie:") != LocalView::npos)
      cookie = RemoveAllIgnoringAsciiCase(cookie, "Cookie:");
    headers.set("Cookie", cookie);
  }

  if (work.find("\r\n") == LocalText::npos) {
    headers.set(HeaderNameOf(work), HeaderValueOf(work));
  } else {
    for (const LocalText& piece : SplitLocal(work, "\r\n")) {
      if (piece.empty()) continue;
      const LocalText name = HeaderNameOf(piece);
      const LocalText value = HeaderValueOf(piece);
      if (name == "Connection" && value == "keep-alive") continue;
      headers.set(name, value);
    }
  }

  // Body: bytes when given, else the text as its bytes.
  const bool useBytes = !p.bodyBytes.empty();
  const char* bodyData = useBytes ? reinterpret_cast<const char*>(p.bodyBytes.data()) : p.bodyText.data();
  const std::size_t bodySize = useBytes ? p.bodyBytes.size() : p.bodyText.size();
  bool hasBody = false;
  if (verb == "GET" && bodySize == 0) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else if (verb == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    hasBody = true;
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, bodySize == 0 ? "" : bodyData);
    if (verb != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.data());
  }
  SlistPtr headerList = headers.toSlist(hasBody);
  if (!headerList) return {};
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList.get());

  Transfer t;
  t.params = &p;
  t.easy = easy;
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

  bool cancelled = false;
  bool timedOut = false;
  CURLcode result =
      RunTransfer(session.impl(), easy, t, token, timeouts.clientDefaults ? 0 : timeouts.inactivityMs, cancelled,
                  timedOut);
  const bool ok = result == CURLE_OK && !t.refused;
  if (ok && p.sink != nullptr && !t.beginSink()) t.refused = true;
  const bool completed = ok && !t.refused;

  if (p.info != nullptr) {
    WebResponseInfo& info = *p.info;
    info = WebResponseInfo{};
    long code = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK) info.status = static_cast<int>(code);
    if (info.status == 0) info.status = t.status;
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
      info.contentLength = static_cast<std::uint64_t>(length);
    info.bodyBytes = t.received;
    char* type = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) info.contentType = type;
    info.completed = completed;
    info.cancelled = cancelled;
    info.timedOut = timedOut || result == CURLE_OPERATION_TIMEDOUT;
    if (!completed) {
      if (!t.refusal.empty()) info.error = t.refusal;
      else if (errorText[0] != '\0') info.error = errorText;
      else info.error = curl_easy_strerror(result);
    }
  }

  // A failed transfer reports like a failed send: no headers, status 0.
  const LocalText responseHeaders = completed ? t.headers : LocalText();
  if (p.responseHeaders != nullptr) *p.responseHeaders = responseHeaders;
  if (p.status != nullptr) *p.status = completed ? t.status : 0;
  LocalText collected = CollectSetCookies(responseHeaders);
  if (merge && p.cookie != nullptr) collected = MergeCookieText(*p.cookie, collected);
  if (p.newCookies != nullptr) *p.newCookies = std::move(collected);

  if (!completed || p.sink != nullptr) return {};
  return std::move(t.body);
}

}  // namespace

namespace detail {

WebTimeouts TimeoutsFor(int timeoutSeconds) noexcept {
  WebTimeouts t;
  if (timeoutSeconds == -1) {
    t.clientDefaults = true;
    return t;
  }
  const std::int64_t ms = timeoutSeconds < 1 ? kDefaultTimeoutMs : std::int64_t{timeoutSeconds} * 1000;
  t.connectMs = ms;
  t.inactivityMs = ms;
  return t;
}

}  // namespace detail

WebSession::WebSession() : impl_(std::make_unique<Impl>()) {}
WebSession::~WebSession() = default;

WebSession& DefaultWebSession() {
  // Leaked on purpose: detached workers may still use it while the process exits.
  static WebSession* const session = new WebSession();
  return *session;
}

ByteBuffer WebRequest(const WebRequestParams& params) {
  try {
    return Perform(params);
  } catch (...) {
    return {};
  }
}

std::string Base64Encode(const ByteBuffer& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) |
                                (left > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0u) |
                                (left > 2 ? std::uint32_t{bytes[i + 2]} : 0u);
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(left > 1 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back(left > 2 ? kAlphabet[group & 63] : '=');
  }
  return out;
}

}  // namespace lumbrin
