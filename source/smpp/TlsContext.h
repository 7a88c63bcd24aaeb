// The TLS settings shared by the connections of one side: an OpenSSL
// context holding the certificate and key (server) or the trusted
// authorities and the verification mode (client). TLS 1.2 and 1.3 only, the
// library's default cipher list, no renegotiation.
//
// Building a context reads its files: done at start (or once per CA file on
// first use), never per connection. A context is immutable once built and
// shared by any number of connections on any thread.
#pragma once

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace quorvex::smpp {

class TlsContext {
public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // The side that accepts: a PEM certificate chain and its private key.
  // Null with `error` naming the file and the reason when either cannot be
  // used (the key's contents never appear in it).
  static std::unique_ptr<TlsContext> server(const std::string& certFile, const std::string& keyFile,
                                            std::string& error);
  // The side that connects. With `verify` the peer's chain must lead to an
  // authority of `caFile` (empty: the system store) and its certificate name
  // the host; without it any certificate is taken.
  static std::unique_ptr<TlsContext> client(const std::string& caFile, bool verify,
                                            std::string& error);

  SSL_CTX* handle() const { return context_; }
  bool verifies() const { return verify_; }

  // The reason of the calling thread's oldest queued OpenSSL error (then
  // cleared), or `fallback` when none is queued.
  static std::string takeErrorText(const char* fallback);

private:
  TlsContext(SSL_CTX* context, bool verify) : context_(context), verify_(verify) {}

  SSL_CTX* context_; // owned
  bool verify_;      // client: the peer's certificate and name are checked
};

} // namespace quorvex::smpp
