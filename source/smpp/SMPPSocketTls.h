// A TLS stream over a connected, non-blocking descriptor. The handshake is
// driven step by step by the descriptor's loop (handshake() says which
// readiness it waits for); read() and send() then carry the application
// data and never wait either.
//
// Costs: one SSL_read per record (16 KiB at most), with read-ahead so a
// record costs one system call; a send writes records until the kernel
// stops taking them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/SpinningMutex.h"
#include "smpp/SMPPSocket.h"

typedef struct ssl_st SSL;

namespace quorvex::smpp {

class EventLoop;
class TlsContext;

class SMPPSocketTls : public SMPPSocket {
public:
  enum class Step {
    kDone,      // the handshake is complete: data may flow
    kWantRead,  // call again once the descriptor is readable
    kWantWrite, // call again once the descriptor is writable
    kFailed,    // the connection is unusable; failure() says why
  };

  // The accepting side of a connection (a peer's certificate is not asked).
  static std::unique_ptr<SMPPSocketTls> accepting(const TlsContext& context, int descriptor);
  // The connecting side: `host` is sent as the server name and, when the
  // context verifies, must be named by the peer's certificate (a dotted
  // address is matched against its IP addresses instead).
  static std::unique_ptr<SMPPSocketTls> connecting(const TlsContext& context, int descriptor,
                                                   const std::string& host);
  ~SMPPSocketTls() override;

  Step handshake();
  // Watches `fd` on `loop` for what `step` waits for, and for nothing else:
  // input a handshake will not read yet would keep a level-triggered wait
  // returning. After kDone: reading only.
  static void watchFor(EventLoop& loop, int fd, Step step);
  // How long a handshake may take, on either side.
  static constexpr uint64_t kHandshakeMicros = 10'000'000;
  // A close without close_notify is an error, not an end of stream (for a
  // protocol whose requests a cut could truncate).
  void requireCloseNotify();
  // Why the handshake or a later read or write failed; empty while none did.
  const std::string& failure() const { return failure_; }
  // The negotiated protocol and cipher ("TLSv1.3 TLS_AES_256_GCM_SHA384").
  std::string description() const;

  // Reads records until `length` octets are filled or none is complete; an
  // end or error met after some data is returned by the next call.
  int read(uint8_t* buffer, size_t length) override;
  int send(const uint8_t* buffer, size_t length) override;
  long available() override;
  int descriptor() const override { return descriptor_; }
  // True after a read that filled its buffer while the TLS layer kept
  // something, after a handshake, or with an end or error still to report;
  // never for a partial record alone (the kernel reports its rest).
  bool holdsInput() const override;
  void finish() override;

private:
  SMPPSocketTls(SSL* ssl, int descriptor) : ssl_(ssl), descriptor_(descriptor) {}
  // errno for an SSL call's failure `result`; records the reason of a fatal one.
  int failWith(int result);

  mutable SpinningMutex mutex_; // one SSL call at a time, whatever thread calls
  SSL* ssl_;                    // owned
  int descriptor_;              // connected socket (owned by the caller)
  bool established_ = false;    // the handshake is complete
  bool mayHold_ = false;        // the last read filled its buffer, or the handshake just ended
  bool endPending_ = false;     // an end or error follows the data already returned
  int pendingError_ = 0;        // its errno, 0 for the peer's end of stream
  std::string failure_;         // reason of the first fatal error, empty = none
};

} // namespace quorvex::smpp
