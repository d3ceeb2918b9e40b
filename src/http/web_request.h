#pragma once
// The one routine through which the system talks HTTP, over libcurl.
//
// Thread contract: WebRequest may run on any number of threads at once; each
// call uses its own easy handle. Connections and TLS sessions are shared
// between calls through a WebSession (kept connections plus a curl share
// handle for TLS sessions and DNS), the process-wide one unless the caller
// passes its own. A call is aborted within 100 ms when
// its cancel token is cancelled from another thread, and is not sent at all
// when the token already is cancelled.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/cancel.h"
#include "base/text.h"

namespace lumbrin {

// Connection and TLS-session cache shared by the requests that use it.
// Thread-safe; outlives every request that uses it. A connection is used by
// one request at a time and is reused only with the same TLS settings.
class WebSession {
public:
  WebSession();
  ~WebSession();
  WebSession(const WebSession&) = delete;
  WebSession& operator=(const WebSession&) = delete;
  struct Impl;
  Impl& impl() { return *impl_; }

private:
  std::unique_ptr<Impl> impl_;
};

// The session requests use when none is given.
WebSession& DefaultWebSession();

struct TlsSettings {
  std::string caFile;     // extra trusted CA certificates (PEM file), besides the system store
  bool insecure = false;  // skip verification: an explicit opt-out, never the default
};

// Receives a response body as it arrives instead of holding it in memory.
// Called on the requesting thread.
class BodySink {
public:
  virtual ~BodySink() = default;
  // Called once, when the response headers are complete (status, all header
  // text). Returning false aborts the transfer.
  virtual bool begin(int status, const LocalText& headers) { (void)status; (void)headers; return true; }
  // Returning false aborts the transfer.
  virtual bool write(const std::uint8_t* data, std::size_t size) = 0;
};

// What went on besides the body, for callers that judge success.
struct WebResponseInfo {
  int status = 0;
  std::optional<std::uint64_t> contentLength;  // as announced by the server
  std::uint64_t bodyBytes = 0;                 // as received
  LocalText contentType;
  bool completed = false;   // the transfer ended without a transport error
  bool timedOut = false;    // connect time-out or inactivity limit
  bool cancelled = false;   // the cancel token ended it
  std::string error;        // libcurl's message when not completed
};

// Parameters in the order of the routine's table; the comments say what
// "omitted" means. Fields marked "extension" are this platform's additions.
struct WebRequestParams {
  LocalText url;                            // 1 required; also the default Referer
  int method = 0;                           // 2 index into the verb table; <0 or >7 is 0
  LocalText bodyText;                       // 3 sent when bodyBytes is empty
  LocalText* cookie = nullptr;              // 4 in/out; null: no Cookie header, no merging
  LocalText* newCookies = nullptr;          // 5 out
  LocalText headerText;                     // 6 extra request headers (header text)
  LocalText* responseHeaders = nullptr;     // 7 out
  int* status = nullptr;                    // 8 out
  bool noRedirect = false;                  // 9
  ByteBuffer bodyBytes;                     // 10
  LocalText proxy;                          // 11 proxy address; empty: none
  int timeoutSeconds = 0;                   // 12 -1: client defaults; <1: 15 s
  LocalText proxyUser;                      // 13
  LocalText proxyPassword;                  // 14
  std::optional<int> credentialTarget;      // 15 0 server, 1 proxy (default)
  WebSession* requestObject = nullptr;      // 16 null: the default session
  std::optional<bool> mergeCookies;         // 17 default true
  std::optional<bool> addDefaultHeaders;    // 18 default true
  std::optional<bool> normaliseHeaderNames; // 19 default true

  TlsSettings tls;                          // extension
  const CancelToken* cancel = nullptr;      // extension; null: CurrentCancelToken()
  BodySink* sink = nullptr;                 // extension; body streamed here, result empty
  std::size_t maxBodyBytes = std::size_t{256} << 20;  // extension; in-memory bodies above this fail
  WebResponseInfo* info = nullptr;          // extension; out
};

[[nodiscard]] ByteBuffer WebRequest(const WebRequestParams& params);

[[nodiscard]] std::string Base64Encode(const ByteBuffer& bytes);

}  // namespace lumbrin
