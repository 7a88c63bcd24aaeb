// The admin HTTP server: one thread that accepts one connection at a time,
// reads one request, answers it and closes the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "admin/AdminRouter.h"

namespace quorvex {

class HttpServer {
public:
  explicit HttpServer(AdminContext context);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts the thread and returns once it listens on `port` or has failed;
  // false when already started.
  bool start(uint16_t port);
  // True while the thread serves (its listening socket is ready).
  bool running() const { return running_.load(); }
  // Sets the stop flag and joins; the accept loop sees the flag within 100 ms
  // or after the request in progress.
  void stop();

  // Reads, routes and answers one request on an accepted connection.
  void handle_http_request(int fd);

private:
  void http_main(int listenFd, uint16_t port);
  void acceptOne(int listenFd);

  AdminRouter router_;
  std::thread thread_;               // runs http_main
  std::atomic<bool> stop_{false};    // set by stop()
  std::atomic<bool> running_{false}; // set once listening, cleared when the loop ends
};

// Opens the non-blocking listening socket on all addresses; -1 on failure.
int create_listen_socket(uint16_t port);

// The process-wide server, on the configuration, token store and metrics
// registry of the process. Set the status source before http_start.
void setStatusSource(StatusSource* source);
// Starts the server on "http.port" of "base" (default 80).
void http_start();
bool isHttpRunning();
// Logs INFO "Waiting on HTTP server to close", then stops and joins.
void http_stop();

} // namespace quorvex
