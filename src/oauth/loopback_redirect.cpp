// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/loopback_redirect.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string_view>
#include <utility>

#include "platform/unique_fd.h"

namespace kestrel::oauth {

namespace {

using Clock = std::chrono::steady_clock;

// A redirect's request line and headers; a browser's fit well within this.
constexpr std::size_t kMaxRequestBytes = 16 * 1024;
// A browser that connects sends its request at once.
constexpr auto kRequestTime = std::chrono::seconds(10);
// How often a wait looks at the abort flag.
constexpr int kSliceMilliseconds = 200;

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::string Unescaped(std::string text) {
  for (char& ch : text) {
    if (ch == '+') ch = ' ';
  }
  int length = 0;
  char* plain = curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length);
  if (!plain) return {};
  std::string result(plain, static_cast<std::size_t>(length));
  curl_free(plain);
  return result;
}

// The path and query of a request target, through libcurl's URL parser.
bool SplitTarget(const std::string& target, std::string& path, std::string& query) {
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url || target.empty() || target[0] != '/') return false;
  const std::string whole = "http://127.0.0.1" + target;
  if (curl_url_set(url.get(), CURLUPART_URL, whole.c_str(), 0) != CURLUE_OK) return false;
  char* part = nullptr;
  if (curl_url_get(url.get(), CURLUPART_PATH, &part, 0) != CURLUE_OK) return false;
  path = part;
  curl_free(part);
  part = nullptr;
  if (curl_url_get(url.get(), CURLUPART_QUERY, &part, 0) == CURLUE_OK) {
    query = part;
    curl_free(part);
  }
  return true;
}

RedirectAnswer ParseQuery(std::string_view query) {
  RedirectAnswer answer;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = pair.substr(0, equals);
    const std::string value = Unescaped(std::string(pair.substr(equals + 1)));
    if (name == "code") answer.code = value;
    if (name == "state") answer.state = value;
    if (name == "error") answer.error = value;
  }
  return answer;
}

void Answer(int connection, const char* status, const char* text) {
  const std::string body = std::string("<html><body><p>") + text + "</p></body></html>\n";
  const std::string reply = std::string("HTTP/1.1 ") + status +
                            "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  std::size_t sent = 0;
  while (sent < reply.size()) {
    const ssize_t wrote = send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (wrote <= 0) return;
    sent += static_cast<std::size_t>(wrote);
  }
}

// The request target of a GET whose head arrived whole and in time.
std::optional<std::string> ReadTarget(int connection, const std::atomic<bool>& aborted) {
  const auto until = Clock::now() + kRequestTime;
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (aborted || Clock::now() > until || head.size() > kMaxRequestBytes) return std::nullopt;
    pollfd entry{connection, POLLIN, 0};
    if (poll(&entry, 1, kSliceMilliseconds) <= 0) continue;
    char buffer[2048];
    const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    head.append(buffer, static_cast<std::size_t>(got));
  }
  const std::string line = head.substr(0, head.find("\r\n"));
  if (line.rfind("GET ", 0) != 0) return std::nullopt;
  const std::size_t end = line.find(' ', 4);
  if (end == std::string::npos) return std::nullopt;
  return line.substr(4, end - 4);
}

}  // namespace

LoopbackListener::LoopbackListener() {
  platform::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 4) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  socket_ = std::move(listener);
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() = default;

std::string LoopbackListener::RedirectUri() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::optional<RedirectAnswer> LoopbackListener::Await(const std::string& expected_state,
                                                      Clock::time_point deadline,
                                                      const std::atomic<bool>& aborted) {
  while (!aborted && Clock::now() < deadline) {
    pollfd entry{socket_.get(), POLLIN, 0};
    if (poll(&entry, 1, kSliceMilliseconds) <= 0) continue;
    const platform::UniqueFd accepted(accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) continue;
    const int connection = accepted.get();
    const std::optional<std::string> target = ReadTarget(connection, aborted);
    std::string path;
    std::string query;
    if (!target || !SplitTarget(*target, path, query)) {
      Answer(connection, "400 Bad Request", "This is not a login answer.");
      continue;
    }
    const RedirectAnswer answer = ParseQuery(query);
    if (path != "/" || (answer.code.empty() && answer.error.empty())) {
      Answer(connection, "404 Not Found", "Nothing here.");
      continue;
    }
    if (answer.state != expected_state) {
      Answer(connection, "400 Bad Request",
             "This answer does not belong to the login Kestrel started; nothing was saved.");
    } else if (!answer.error.empty()) {
      Answer(connection, "200 OK", "The login was refused. You may close this window.");
    } else {
      Answer(connection, "200 OK", "Kestrel has the login. You may close this window.");
    }
    return answer;
  }
  return std::nullopt;
}

}  // namespace kestrel::oauth
