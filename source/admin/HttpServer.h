// The admin HTTP server: one thread running an event loop that serves many
// connections at once, each framed, answered and closed on its own. The
// routing of complete requests (the admin operations) runs on that thread
// too, one request at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "admin/AdminRouter.h"
#include "admin/HttpConnection.h"
#include "smpp/EventLoop.h"
#include "smpp/TlsContext.h"

namespace quorvex {

class HttpServer : public HttpConnection::Owner,
                   public smpp::EventHandler,
                   public smpp::TimerHandler {
public:
  explicit HttpServer(AdminContext context);
  ~HttpServer() override;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts the thread and returns once it listens on `port` or has failed;
  // false when already started.
  bool start(uint16_t port);
  // Serve HTTPS with `context` (not owned); before start().
  void setTls(const smpp::TlsContext* context) { tls_ = context; }
  // True while the thread serves (its listening socket is ready).
  bool running() const { return running_.load(); }
  // Sets the stop flag, wakes the loop and joins; open connections are closed.
  void stop();

  // Routes one received request and returns the reply bytes (empty: no answer).
  std::string handle_http_request(ReadResult result, const std::string& text);

  std::string onRequest(ReadResult result, const std::string& text) override {
    return handle_http_request(result, text);
  }
  void onClosed(HttpConnection& connection) override;
  // The listening socket is readable.
  void onReadable(int fd) override;
  // Accepting resumes after an accept error.
  void onTimer(smpp::Timer& timer) override;

private:
  void http_main(int listenFd, uint16_t port);
  // Accepts one waiting connection; false when none is waiting or on error.
  bool acceptOne();
  void setAccepting(bool on);

  AdminRouter router_;
  std::thread thread_;                    // runs http_main
  std::atomic<bool> stop_{false};         // set by stop()
  std::atomic<bool> running_{false};      // set once listening, cleared when the loop ends
  std::unique_ptr<smpp::EventLoop> loop_; // the thread's loop; made before the thread
  const smpp::TlsContext* tls_ = nullptr; // HTTPS certificate and key, null = plain HTTP
  int listenFd_ = -1;                     // listening socket, loop thread only
  bool accepting_ = true;                 // read interest on listenFd_
  smpp::Timer acceptPause_;               // resumes accepting after an error
  std::unordered_map<HttpConnection*, std::unique_ptr<HttpConnection>> connections_; // open ones
  std::vector<std::unique_ptr<HttpConnection>> closed_; // destroyed after the pass
};

// Opens the non-blocking listening socket on all addresses; -1 on failure.
int create_listen_socket(uint16_t port);

// The process-wide server, on the configuration, token store and metrics
// registry of the process. Set the status source before http_start.
void setStatusSource(StatusSource* source);
// With a context (not owned; it outlives the server) the server speaks
// HTTPS only. Set before http_start.
void setHttpTls(const smpp::TlsContext* context);
// Starts the server on "http.port" of "base" (default 80).
void http_start();
bool isHttpRunning();
// Logs INFO "Waiting on HTTP server to close", then stops and joins.
void http_stop();

} // namespace quorvex
