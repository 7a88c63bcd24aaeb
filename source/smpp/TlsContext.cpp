#include "smpp/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <csignal>

namespace quorvex::smpp {
namespace {

SSL_CTX* newContext(const SSL_METHOD* method) {
  // OpenSSL writes with write(2), which raises SIGPIPE when the peer has
  // gone; a process speaking TLS takes that as the EPIPE it also returns.
  ::signal(SIGPIPE, SIG_IGN);
  SSL_CTX* context = SSL_CTX_new(method);
  if (context == nullptr) {
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  // A peer that closes without close_notify ends its stream like a TCP
  // close; renegotiation would let SSL_write want to read, which the
  // connections' write path does not wait for.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Writes go out in pieces and are retried from buffers that may have
  // moved; idle connections give their record buffers back (most of a
  // connection's memory when many sit idle).
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  // Reads take what the kernel has, not one record header at a time: half
  // the system calls per record.
  SSL_CTX_set_read_ahead(context, 1);
  // An encrypted key fails at once rather than prompting on a terminal.
  SSL_CTX_set_default_passwd_cb(context, [](char*, int, int, void*) { return 0; });
  return context;
}

bool readable(const std::string& file, std::string& error) {
  if (::access(file.c_str(), R_OK) == 0) {
    return true;
  }
  error = file + ": cannot be read";
  return false;
}

} // namespace

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

std::string TlsContext::takeErrorText(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) {
    return fallback;
  }
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

std::unique_ptr<TlsContext> TlsContext::server(const std::string& certFile,
                                               const std::string& keyFile, std::string& error) {
  ERR_clear_error();
  if (certFile.empty() || keyFile.empty()) {
    error = "tls.cert_file and tls.key_file must both be set";
    return nullptr;
  }
  if (!readable(certFile, error) || !readable(keyFile, error)) {
    return nullptr;
  }
  SSL_CTX* context = newContext(TLS_server_method());
  if (context == nullptr) {
    error = takeErrorText("no TLS context");
    return nullptr;
  }
  std::unique_ptr<TlsContext> built(new TlsContext(context, false));
  if (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1) {
    error = certFile + ": " + takeErrorText("not a PEM certificate");
    return nullptr;
  }
  // The key's reason only: OpenSSL never puts key material in its errors.
  if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = keyFile + ": " + takeErrorText("not a PEM private key");
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error =
        keyFile + ": " + takeErrorText("does not match the certificate") + " (" + certFile + ")";
    return nullptr;
  }
  return built;
}

std::unique_ptr<TlsContext> TlsContext::client(const std::string& caFile, bool verify,
                                               std::string& error) {
  ERR_clear_error();
  if (!caFile.empty() && !readable(caFile, error)) {
    return nullptr;
  }
  SSL_CTX* context = newContext(TLS_client_method());
  if (context == nullptr) {
    error = takeErrorText("no TLS context");
    return nullptr;
  }
  std::unique_ptr<TlsContext> built(new TlsContext(context, verify));
  SSL_CTX_set_verify(context, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  if (!verify) {
    return built;
  }
  if (!caFile.empty()) {
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
      error = caFile + ": " + takeErrorText("no PEM certificates");
      return nullptr;
    }
    return built;
  }
  // The system bundle is read now, in one go; the hashed directory lookup
  // would read certificate files during handshakes, on a loop thread.
  const char* bundle = X509_get_default_cert_file();
  if (::access(bundle, R_OK) != 0 || SSL_CTX_load_verify_locations(context, bundle, nullptr) != 1) {
    ERR_clear_error();
    SSL_CTX_set_default_verify_paths(context);
  }
  return built;
}

} // namespace quorvex::smpp
