#include "admin/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
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
constexpr int kAcceptWaitMillis = 100;

// Lets start() return as soon as the thread knows whether it listens.
struct StartSignal {
  std::mutex mutex;           // guards decided
  std::condition_variable cv; // notified when decided
  bool decided = false;       // listening or failed
};

// Wakes the accept loop when the listening socket is readable.
class ListenHandler : public smpp::EventHandler {
public:
  explicit ListenHandler(std::function<void(int)> onReady) : onReady_(std::move(onReady)) {}
  void onReadable(int fd) override { onReady_(fd); }

private:
  std::function<void(int)> onReady_;
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

HttpServer::HttpServer(AdminContext context) : router_(context) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(uint16_t port) {
  if (thread_.joinable()) {
    return false;
  }
  stop_.store(false);
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
  smpp::EventLoop loop;
  ListenHandler handler([this](int fd) { acceptOne(fd); });
  if (!loop.valid() || !loop.add(listenFd, &handler)) {
    logApplication(LOG_SEVERE, this, kClass, "http_main", "fatal error getting listening socket");
    running_.store(false);
    close(listenFd);
    return;
  }
  while (!stop_.load()) {
    loop.poll(kAcceptWaitMillis);
  }
  loop.remove(listenFd);
  close(listenFd);
  running_.store(false);
}

void HttpServer::acceptOne(int listenFd) {
  struct sockaddr_storage peer = {};
  socklen_t peerLength = sizeof(peer);
  const int fd = accept(listenFd, reinterpret_cast<struct sockaddr*>(&peer), &peerLength);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      perror("accept");
      // Descriptor exhaustion would otherwise spin the loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptWaitMillis));
    }
    return;
  }
  char text[INET6_ADDRSTRLEN] = "";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&peer)->sin_addr, text, sizeof(text));
  } else if (peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&peer)->sin6_addr, text,
              sizeof(text));
  }
  logApplication(LOG_INFO, this, kClass, "http_main", "New connection from %s", text);
  handle_http_request(fd);
  close(fd);
}

void HttpServer::handle_http_request(int fd) {
  std::string text;
  const ReadResult read = readHttpRequest(fd, text);
  if (read == ReadResult::Error) {
    return;
  }
  if (read == ReadResult::TooLarge) {
    sendTooLargeReply(fd);
    return;
  }
  const std::optional<HttpRequest> request = parseHttpRequest(text);
  if (!request) {
    return;
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
  sendReply(fd, reply);
}

namespace {

StatusSource* statusSource = nullptr;

HttpServer& processServer() {
  static HttpServer server(
      AdminContext{configuration(), oauthStore(), metricsRegistry(), statusSource});
  return server;
}

} // namespace

void setStatusSource(StatusSource* source) { statusSource = source; }

void http_start() {
  const int64_t port = configuration().getSettingInt("http.port", 80);
  processServer().start(static_cast<uint16_t>(port));
}

bool isHttpRunning() { return processServer().running(); }

void http_stop() {
  logApplication(LOG_INFO, nullptr, kClass, "http_stop", "Waiting on HTTP server to close");
  processServer().stop();
}

} // namespace quorvex
