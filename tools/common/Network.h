// Socket set-up for the tools. These calls run before an event loop starts
// (listening, connecting); inside a loop only non-blocking calls are made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "smpp/SMPPSocketTls.h"

namespace quorvex::tools {

// A non-blocking IPv4 listening socket on host:port (port 0 picks a free
// one); -1 with `error` set on failure.
int listenTcp(const std::string& host, uint16_t port, std::string& error);

// The local port a socket is bound to; 0 when unknown.
uint16_t localPort(int descriptor);

// A connected, non-blocking socket to host:port, waiting at most
// `timeoutMillis` for the connection; -1 with `error` set on failure.
int connectTcp(const std::string& host, uint16_t port, int timeoutMillis, std::string& error);

// Completes the TLS handshake of a connected, non-blocking socket, waiting
// at most `timeoutMillis`; null with `error` set on failure.
std::unique_ptr<smpp::SMPPSocketTls> handshakeTls(std::unique_ptr<smpp::SMPPSocketTls> socket,
                                                  int timeoutMillis, std::string& error);

// Resolves an IPv4 host name or dotted address.
bool resolveIPv4(const std::string& host, uint32_t& addressNetworkOrder, std::string& error);

} // namespace quorvex::tools
