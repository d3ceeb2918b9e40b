#include "raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace lumbrin::test {
namespace {

constexpr int kIdleMs = 5000;  // longest wait for a client's bytes
constexpr std::size_t kMaxRequest = 1 << 20;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Reads until the end of the headers and the announced body; false on EOF,
// error, time-out or an oversized request.
bool ReadRequest(int fd, std::string& out) {
  std::size_t wanted = std::string::npos;
  char buf[16384];
  for (;;) {
    if (wanted == std::string::npos) {
      const std::size_t end = out.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::size_t length = 0;
        const std::string head = Lower(out.substr(0, end));
        const std::size_t cl = head.find("\r\ncontent-length:");
        if (cl != std::string::npos) length = std::strtoul(head.c_str() + cl + 17, nullptr, 10);
        wanted = end + 4 + length;
      }
    }
    if (wanted != std::string::npos && out.size() >= wanted) return true;
    if (out.size() > kMaxRequest) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kIdleMs) <= 0) return false;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string RawRequest::requestLine() const { return text.substr(0, text.find("\r\n")); }

std::vector<std::pair<std::string, std::string>> RawRequest::headers() const {
  std::vector<std::pair<std::string, std::string>> out;
  const std::size_t end = text.find("\r\n\r\n");
  std::size_t pos = text.find("\r\n");
  while (pos != std::string::npos && pos < end) {
    const std::size_t next = text.find("\r\n", pos + 2);
    const std::string line = text.substr(pos + 2, next - pos - 2);
    const std::size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    out.emplace_back(line.substr(0, colon), value);
    pos = next;
  }
  return out;
}

std::vector<std::string> RawRequest::headerNames() const {
  std::vector<std::string> names;
  for (const auto& h : headers()) names.push_back(h.first);
  return names;
}

std::vector<std::string> RawRequest::values(const std::string& name) const {
  std::vector<std::string> out;
  for (const auto& h : headers())
    if (Lower(h.first) == Lower(name)) out.push_back(h.second);
  return out;
}

std::string RawRequest::body() const {
  const std::size_t end = text.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : text.substr(end + 4);
}

RawServer::RawServer(Responder responder) : responder_(std::move(responder)) {
  if (!responder_) {
    responder_ = [](int fd, const RawRequest&, const std::atomic<bool>&) { SendAll(fd, Answer(200, "", "ok")); };
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 16) != 0 || pipe(wakeFd_) != 0) {
    return;
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

RawServer::~RawServer() {
  stopping_ = true;
  if (wakeFd_[1] >= 0) (void)!write(wakeFd_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {listenFd_, wakeFd_[0], wakeFd_[1]})
    if (fd >= 0) close(fd);
}

std::string RawServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RawRequest> RawServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::string RawServer::Answer(int status, const std::string& extraHeaders, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + extraHeaders + "Content-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

bool RawServer::SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void RawServer::run() {
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN)) break;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    serve(fd);
    close(fd);
  }
}

void RawServer::serve(int fd) {
  RawRequest request;
  if (!ReadRequest(fd, request.text)) return;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  const std::string line = request.requestLine();
  if (line.rfind("CONNECT ", 0) == 0) {
    tunnel(fd, line.substr(8, line.find(' ', 8) - 8));
    return;
  }
  responder_(fd, request, stopping_);
}

void RawServer::tunnel(int client, const std::string& target) {
  const std::size_t colon = target.rfind(':');
  const int port = colon == std::string::npos ? 0 : std::atoi(target.c_str() + colon + 1);
  const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only, whatever the name
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (upstream < 0 || connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    SendAll(client, Answer(502, "", ""));
    if (upstream >= 0) close(upstream);
    return;
  }
  SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n");
  char buf[16384];
  while (!stopping_) {
    pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (poll(fds, 3, kIdleMs) <= 0 || (fds[2].revents & POLLIN)) break;
    bool open = true;
    for (int i = 0; i < 2 && open; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
      open = n > 0 && SendAll(fds[1 - i].fd, std::string(buf, static_cast<std::size_t>(n)));
    }
    if (!open) break;
  }
  close(upstream);
}

}  // namespace lumbrin::test
