// Sequential requests to the fake service, whose every new connection costs
// a fixed delay (standing in for TCP and TLS round trips): one shared
// WebSession, which keeps connections and TLS sessions, against a fresh
// session per request. Prints requests per second for both.
//
// usage: web_request_bench [requests=40] [connect-delay-ms=40]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fake_gallery.h"
#include "http/web_request.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figure {
  double perSecond = 0;
  int failures = 0;
  std::uint64_t connections = 0;
};

Figure Run(lumbrin::fake::FakeGallery& gallery, int requests, bool shared) {
  lumbrin::WebSession session;
  const std::uint64_t before = gallery.connectionsAccepted();
  Figure f;
  const auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    lumbrin::WebSession fresh;
    lumbrin::WebRequestParams p;
    p.url = gallery.baseUrl() + "/gallery/user/timeline?ts=" + std::to_string(1600000000000LL + i);
    lumbrin::LocalText cookie = gallery.validCookie();
    p.cookie = &cookie;
    p.tls.caFile = gallery.caFile();
    p.requestObject = shared ? &session : &fresh;
    int status = 0;
    p.status = &status;
    if (lumbrin::WebRequest(p).empty() || status != 200) ++f.failures;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.perSecond = requests / seconds;
  f.connections = gallery.connectionsAccepted() - before;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  const int delayMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 40;
  for (bool https : {false, true}) {
    lumbrin::fake::FakeGalleryOptions options;
    options.https = https;
    options.connectDelayMs = delayMs;
    lumbrin::fake::FakeGallery gallery(options);
    if (!gallery.start()) {
      std::fprintf(stderr, "cannot start the fake service\n");
      return 1;
    }
    (void)Run(gallery, 2, true);  // warm-up: certificate bundle, DNS, code paths
    const Figure shared = Run(gallery, requests, true);
    const Figure fresh = Run(gallery, requests, false);
    std::printf("%-5s %d sequential requests, %d ms per new connection\n", https ? "https" : "http", requests,
                delayMs);
    std::printf("  shared session     : %8.1f requests/s  (%llu connections, %d failed)\n", shared.perSecond,
                static_cast<unsigned long long>(shared.connections), shared.failures);
    std::printf("  session per request: %8.1f requests/s  (%llu connections, %d failed)\n", fresh.perSecond,
                static_cast<unsigned long long>(fresh.connections), fresh.failures);
    std::printf("  gain               : %8.1fx\n", shared.perSecond / fresh.perSecond);
  }
  return 0;
}
