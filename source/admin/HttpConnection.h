// One accepted admin HTTP connection on the server's event loop: it frames
// one request as bytes arrive (never waiting), hands it to its owner, writes
// the reply through its output buffer and closes.
//
// Costs: framing looks at each received byte once, so a request costs time
// linear in its size; the header lines are bounded before anything parses
// them. Every connection has its own deadline timer, so a slow peer holds
// nothing but its own descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "smpp/EventLoop.h"
#include "smpp/SMPPSocket.h"
#include "smpp/SMPPSocketTls.h"
#include "smpp/TimerHeap.h"
#include "smpp/TlsContext.h"

namespace quorvex {

// What the router answers; the connection turns it into bytes.
struct HttpReply {
  enum class Kind {
    None,     // close without answering (unparsable request line, read error)
    Normal,   // send_response
    Options,  // send_options_response (CORS preflight)
    Fallback, // the fixed "HTTP/1.1 200 OK" reply
    TooLarge, // request over the size limit
    Console,  // serve_console_page
  };
  Kind kind = Kind::Fallback; // which reply to send
  int status = 200;           // status code
  std::string reason = "OK";  // reason phrase
  std::string contentType;    // Content-Type of a normal reply
  std::string body;           // the whole body, never cut
};

// Bounds of one request: headers and Content-Length body together, each
// line of the head, the whole head, and the time the peer has to send it.
inline constexpr size_t kMaxRequestBytes = 1024 * 1024;
inline constexpr size_t kMaxLineBytes = 8 * 1024;
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr int kRequestTimeoutMillis = 3000;

enum class ReadResult {
  Complete,        // headers and declared body arrived, or the peer stopped sending
  Error,           // nothing usable arrived (timeout or error before any byte)
  TooLarge,        // more than kMaxRequestBytes
  RequestLineLong, // the request line is over kMaxLineBytes
  HeadersTooLarge, // a header line over kMaxLineBytes, or a head over kMaxHeaderBytes
};

// Reply texts, appended to `out`.
void send_response(std::string& out, int status, const std::string& reason,
                   const std::string& contentType, const std::string& body);
void send_options_response(std::string& out, int status, const std::string& reason,
                           const std::string& body);
// The reply of `reply`'s kind; nothing for Kind::None.
void formatReply(std::string& out, const HttpReply& reply);
// The refusal of a request that broke a bound; empty for Complete and Error.
std::string refusalReply(ReadResult result);

class HttpConnection : public smpp::EventHandler, public smpp::TimerHandler {
public:
  class Owner {
  public:
    virtual ~Owner() = default;
    // The request has arrived (or was refused); returns the reply bytes,
    // empty to close without answering.
    virtual std::string onRequest(ReadResult result, const std::string& text) = 0;
    // The connection has closed its descriptor; the owner destroys it once
    // the loop's pass is over.
    virtual void onClosed(HttpConnection& connection) = 0;
  };

  // With `tls` the connection speaks HTTPS: the handshake runs within the
  // request deadline, driven by the first reads.
  HttpConnection(int fd, smpp::EventLoop& loop, Owner& owner, const smpp::TlsContext* tls);
  // Closes the descriptor if still open.
  ~HttpConnection() override;
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Watches the descriptor and starts the request deadline; false when the
  // loop refuses it (the descriptor is then closed).
  bool start();

  void onReadable(int fd) override;
  void onWritable(int fd) override;
  void onTimer(smpp::Timer& timer) override;

private:
  enum class State {
    Reading,   // framing the request
    Writing,   // output pending
    Lingering, // reply sent; draining what the peer still sends, so that
               // closing with unread input does not reset the reply away
    Closed,    // descriptor closed
  };

  // Frames the bytes from scanned_ on; returns true once reading is done,
  // with its result in `result`.
  bool frame(ReadResult& result);
  void finishReading(ReadResult result);
  // Moves a TLS handshake on; true once it is complete.
  bool handshake();
  void readRequest();
  void flush();
  void linger();
  void closeNow();

  int fd_;                                   // the accepted socket; -1 once closed
  std::unique_ptr<smpp::SMPPSocket> socket_; // the stream on fd_ (TLS or plain); null = broken
  smpp::SMPPSocketTls* tls_ = nullptr;       // socket_ when it is TLS
  smpp::EventLoop& loop_;                    // owning loop
  Owner& owner_;                             // routes the request, destroys the connection
  smpp::Timer deadline_;                     // reading, writing and lingering deadline
  State state_ = State::Reading;
  std::string in_;       // bytes received so far
  size_t scanned_ = 0;   // bytes of in_ already framed
  size_t lineStart_ = 0; // offset of the line being framed
  size_t needed_ = 0;    // whole request size once the head is complete, 0 before
  std::string out_;      // reply bytes
  size_t sent_ = 0;      // bytes of out_ written
};

} // namespace quorvex
