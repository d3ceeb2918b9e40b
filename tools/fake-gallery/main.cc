// fake-gallery: serves the fake cloud gallery on 127.0.0.1 until SIGINT or
// SIGTERM. Prints the base address, the valid cookie and (https) the CA file.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "fake_gallery.h"

namespace {

void Usage() {
  std::cerr << "usage: fake-gallery [--port N] [--days N] [--pictures N] [--seed N] [--https]\n"
               "                    [--latency-ms N] [--connect-delay-ms N] [--cookie TEXT]\n"
               "                    [--unsafe-names] [--min-size BYTES] [--max-size BYTES]\n";
}

bool ParseNumber(const char* text, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  lumbrin::fake::FakeGalleryOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long long n = 0;
    auto number = [&](long long lo, long long hi) {
      if (!hasValue || !ParseNumber(argv[++i], lo, hi, n)) {
        std::cerr << "fake-gallery: bad value for " << arg << "\n";
        std::exit(2);
      }
      return n;
    };
    if (arg == "--port") options.port = static_cast<int>(number(0, 65535));
    else if (arg == "--days") options.days = static_cast<int>(number(0, 100000));
    else if (arg == "--pictures") options.picturesPerDay = static_cast<int>(number(0, 100000));
    else if (arg == "--seed") options.seed = static_cast<std::uint64_t>(number(0, INT64_MAX));
    else if (arg == "--latency-ms") options.latencyMs = static_cast<int>(number(0, 600000));
    else if (arg == "--connect-delay-ms") options.connectDelayMs = static_cast<int>(number(0, 600000));
    else if (arg == "--min-size") options.minSize = static_cast<std::uint64_t>(number(0, INT64_MAX));
    else if (arg == "--max-size") options.maxSize = static_cast<std::uint64_t>(number(0, INT64_MAX));
    else if (arg == "--https") options.https = true;
    else if (arg == "--unsafe-names") options.unsafeNames = true;
    else if (arg == "--cookie" && hasValue) options.cookie = argv[++i];
    else {
      Usage();
      return 2;
    }
  }

  // Block the signals before any server thread exists, so that only sigwait sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  lumbrin::fake::FakeGallery gallery(options);
  if (!gallery.start()) {
    std::cerr << "fake-gallery: cannot start on 127.0.0.1\n";
    return 1;
  }
  std::cout << gallery.baseUrl() << "\n" << gallery.validCookie() << "\n";
  if (options.https) std::cout << gallery.caFile() << "\n";
  std::cout.flush();

  int received = 0;
  sigwait(&signals, &received);
  gallery.stop();
  return 0;
}
