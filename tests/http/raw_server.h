#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 that records the exact bytes of every
// request, so tests can see what went on the wire (header order included).
// One connection at a time, one request per connection. It can also act as
// a forward proxy: a CONNECT request is answered 200 and tunnelled to its
// target. Ends its thread in the destructor; every wait is bounded.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumbrin::test {

struct RawRequest {
  std::string text;  // request line, headers and body, as received
  [[nodiscard]] std::string requestLine() const;
  // Header lines in order, without the request line, split into name/value.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> headers() const;
  [[nodiscard]] std::vector<std::string> headerNames() const;
  // Values of every header named `name` (exact letter case ignored).
  [[nodiscard]] std::vector<std::string> values(const std::string& name) const;
  [[nodiscard]] std::string body() const;
};

class RawServer {
public:
  // Writes the answer to the connected socket `fd`; `stopping` turns true
  // when the server shuts down (long answers must watch it).
  using Responder = std::function<void(int fd, const RawRequest& request, const std::atomic<bool>& stopping)>;

  explicit RawServer(Responder responder = {});
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string url(const std::string& path = "/") const;
  [[nodiscard]] std::vector<RawRequest> requests() const;

  // A complete answer with Content-Length and "Connection: close".
  static std::string Answer(int status, const std::string& extraHeaders, const std::string& body);
  static bool SendAll(int fd, const std::string& bytes);

private:
  void run();
  void serve(int fd);
  void tunnel(int client, const std::string& target);

  Responder responder_;
  int listenFd_ = -1;
  int port_ = 0;
  int wakeFd_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<RawRequest> requests_;
  std::thread thread_;
};

}  // namespace lumbrin::test
