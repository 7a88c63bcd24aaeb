#include "admin/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "admin/OAuthStore.h"
#include "app/Log.h"
#include "config/TarnConfiguration.h"
#include "metrics/MetricsRegistry.h"
#include "smpp/EventLoop.h"

namespace quorvex {

namespace {

// A body as it may be logged: the values of passwords and secrets, in a
// JSON document or a form, show as "[DEFINED]".
std::string withSecretsMasked(const std::string& body) {
  nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  if (!document.is_discarded()) {
    return secretsMasked(std::move(document)).dump();
  }
  std::string out;
  size_t start = 0;
  while (start <= body.size()) {
    const size_t end = std::min(body.find('&', start), body.size());
    const std::string_view field(body.data() + start, end - start);
    const size_t equals = field.find('=');
    if (start > 0) {
      out += '&';
    }
    if (equals != std::string_view::npos && namesSecret(field.substr(0, equals))) {
      out.append(field.substr(0, equals + 1));
      out += "[DEFINED]";
    } else {
      out.append(field);
    }
    start = end + 1;
  }
  return out;
}

const char* const kClass = "Application";
// After an accept error (descriptors exhausted) accepting pauses this long,
// so that the loop does not spin on a listener it cannot serve.
constexpr uint64_t kAcceptPauseMicros = 100 * 1000;
// Open admin connections at most; beyond it new ones wait in the backlog.
constexpr size_t kMaxConnections = 512;

// Lets start() return as soon as the thread knows whether it listens.
struct StartSignal {
  std::mutex mutex;           // guards decided
  std::condition_variable cv; // notified when decided
  bool decided = false;       // listening or failed
};

} // namespace

int create_listen_socket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    perror("ERROR opening socket");
    return -1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
    perror("setsockopt() failed");
    close(fd);
    std::exit(-1);
  }
  if (ioctl(fd, FIONBIO, &on) < 0) {
    perror("ioctl() failed");
    close(fd);
    std::exit(-1);
  }
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) < 0) {
    perror("ERROR on binding");
    close(fd);
    return -1;
  }
  if (listen(fd, 32) < 0) {
    perror("listen");
    close(fd);
    return -1;
  }
  return fd;
}

HttpServer::HttpServer(AdminContext context) : router_(context), acceptPause_(this) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(uint16_t port) {
  if (thread_.joinable()) {
    return false;
  }
  stop_.store(false);
  // Made here so that stop() can wake it from any thread.
  loop_ = std::make_unique<smpp::EventLoop>();
  auto signal = std::make_shared<StartSignal>();
  thread_ = std::thread([this, port, signal] {
    const int listenFd = create_listen_socket(port);
    {
      std::lock_guard<std::mutex> guard(signal->mutex);
      if (listenFd >= 0) {
        running_.store(true);
      }
      signal->decided = true;
    }
    signal->cv.notify_all();
    http_main(listenFd, port);
  });
  std::unique_lock<std::mutex> lock(signal->mutex);
  signal->cv.wait(lock, [&] { return signal->decided; });
  return true;
}

void HttpServer::stop() {
  stop_.store(true);
  if (loop_) {
    loop_->wake();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

void HttpServer::http_main(int listenFd, uint16_t port) {
  if (listenFd < 0) {
    logApplication(LOG_SEVERE, this, kClass, "http_main", "fatal error getting listening socket");
    return;
  }
  logApplication(LOG_INFO, this, kClass, "http_main", "Waiting for connections on port %d",
                 static_cast<int>(port));
  if (tls_ != nullptr) {
    logApplication(LOG_INFO, this, kClass, "http_main", "Serving HTTPS on port %d",
                   static_cast<int>(port));
  }
  smpp::EventLoop& loop = *loop_;
  if (!loop.valid() || !loop.add(listenFd, this)) {
    logApplication(LOG_SEVERE, this, kClass, "http_main", "fatal error getting listening socket");
    running_.store(false);
    close(listenFd);
    return;
  }
  listenFd_ = listenFd;
  accepting_ = true;
  while (!stop_.load()) {
    loop.poll(-1);
    closed_.clear();
  }
  connections_.clear();
  closed_.clear();
  loop.cancelTimer(acceptPause_);
  loop.remove(listenFd);
  close(listenFd);
  listenFd_ = -1;
  running_.store(false);
}

void HttpServer::setAccepting(bool on) {
  if (accepting_ != on && listenFd_ >= 0) {
    accepting_ = on;
    loop_->setReading(listenFd_, on);
  }
}

void HttpServer::onReadable(int) {
  // A burst of connections is taken in one pass, up to the cap.
  for (int i = 0; i < 64 && accepting_ && acceptOne(); ++i) {
  }
}

void HttpServer::onTimer(smpp::Timer&) { setAccepting(connections_.size() < kMaxConnections); }

bool HttpServer::acceptOne() {
  struct sockaddr_storage peer = {};
  socklen_t peerLength = sizeof(peer);
  const int fd = accept4(listenFd_, reinterpret_cast<struct sockaddr*>(&peer), &peerLength,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == ECONNABORTED || errno == EPROTO) {
      return true; // the peer gave up before the accept: take the next one
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      perror("accept");
      setAccepting(false);
      loop_->armTimer(acceptPause_, kAcceptPauseMicros);
    }
    return false;
  }
  char text[INET6_ADDRSTRLEN] = "";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&peer)->sin_addr, text, sizeof(text));
  } else if (peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&peer)->sin6_addr, text,
              sizeof(text));
  }
  logApplication(LOG_INFO, this, kClass, "http_main", "New connection from %s", text);
  auto connection = std::make_unique<HttpConnection>(fd, *loop_, *this, tls_);
  if (!connection->start()) {
    return true;
  }
  HttpConnection* key = connection.get();
  connections_.emplace(key, std::move(connection));
  if (connections_.size() >= kMaxConnections) {
    setAccepting(false);
  }
  return true;
}

void HttpServer::onClosed(HttpConnection& connection) {
  const auto found = connections_.find(&connection);
  if (found != connections_.end()) {
    // The connection is inside its own handler: it is destroyed after the pass.
    closed_.push_back(std::move(found->second));
    connections_.erase(found);
  }
  if (!acceptPause_.armed() && connections_.size() < kMaxConnections) {
    setAccepting(true);
  }
}

std::string HttpServer::handle_http_request(ReadResult result, const std::string& text) {
  if (result != ReadResult::Complete) {
    return refusalReply(result);
  }
  const std::optional<HttpRequest> request = parseHttpRequest(text);
  if (!request) {
    return {};
  }
  // A query string may carry credentials (a token request's client_secret):
  // the logged path ends before it, and logged bodies hide secret values.
  const std::string path = request->path.substr(0, request->path.find('?'));
  logApplication(LOG_INFO, this, kClass, "handle_http_request", "%s Path: %s",
                 request->method.c_str(), path.c_str());
  if (request->headersComplete && !request->body.empty() && logEnabled(LOG_DEBUG)) {
    logApplication(LOG_DEBUG, this, kClass, "handle_http_request", "Body: %s",
                   withSecretsMasked(request->body).c_str());
  }
  HttpReply reply;
  try {
    reply = router_.route(*request);
  } catch (const std::exception& e) {
    // Nothing a request does may end the server thread.
    logApplication(LOG_WARNING, this, kClass, "handle_http_request", "Exception thrown %s",
                   e.what());
    reply = HttpReply();
  }
  std::string out;
  formatReply(out, reply);
  return out;
}

namespace {

StatusSource* statusSource = nullptr;
const smpp::TlsContext* httpTls = nullptr;

HttpServer& processServer() {
  static HttpServer server(
      AdminContext{configuration(), oauthStore(), metricsRegistry(), statusSource});
  return server;
}

} // namespace

void setStatusSource(StatusSource* source) { statusSource = source; }
void setHttpTls(const smpp::TlsContext* context) { httpTls = context; }

void http_start() {
  const int64_t port = configuration().getSettingInt("http.port", 80);
  processServer().setTls(httpTls);
  processServer().start(static_cast<uint16_t>(port));
}

bool isHttpRunning() { return processServer().running(); }

void http_stop() {
  logApplication(LOG_INFO, nullptr, kClass, "http_stop", "Waiting on HTTP server to close");
  processServer().stop();
}

} // namespace quorvex
