#include "cli/AdminClient.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "app/Log.h"

namespace quorvex {

namespace {

const char* const kClass = "Application";
// A gateway that accepts but never answers must not hang the command.
constexpr long kRequestTimeoutSeconds = 30;

size_t appendReceived(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// libcurl's pin of the public key of the first certificate in `file`
// ("sha256//" and the Base64 of the key's SHA-256), empty when unreadable.
std::string publicKeyPin(const std::string& file) {
  FILE* in = std::fopen(file.c_str(), "r");
  if (in == nullptr) {
    return {};
  }
  X509* certificate = PEM_read_X509(in, nullptr, nullptr, nullptr);
  std::fclose(in);
  unsigned char* der = nullptr;
  const int length = certificate != nullptr ? i2d_PUBKEY(X509_get0_pubkey(certificate), &der) : -1;
  X509_free(certificate);
  if (length <= 0) {
    return {};
  }
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(der, static_cast<size_t>(length), digest);
  OPENSSL_free(der);
  unsigned char text[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
  EVP_EncodeBlock(text, digest, SHA256_DIGEST_LENGTH);
  return "sha256//" + std::string(reinterpret_cast<const char*>(text));
}

} // namespace

AdminClient::AdminClient(std::string baseUrl, std::ostream& err, std::string caFile)
    : baseUrl_(std::move(baseUrl)), err_(err) {
  if (!caFile.empty()) {
    pin_ = publicKeyPin(caFile);
    if (pin_.empty()) {
      err_ << "Unable to read the certificate " << caFile << "\n";
      pin_ = "sha256//unreadable"; // matches no key: every request fails
    }
  }
}

bool AdminClient::requestAccessToken(const std::string& clientId, const std::string& clientSecret,
                                     std::ostream& out) {
  const std::string body = "grant_type=client_credentials&scope=api&client_id=" + clientId +
                           "&client_secret=" + clientSecret;
  std::string response;
  long status = 0;
  const bool ok = makeHTTPRequest("POST", baseUrl_ + "/oauth2/v1/token",
                                  {"Content-Type: application/x-www-form-urlencoded"}, body,
                                  response, status, false);
  if (ok && status == 200) {
    try {
      accessToken_ = nlohmann::json::parse(response).at("access_token").get<std::string>();
      return true;
    } catch (const nlohmann::json::exception&) {
      // An answer without a token is a refusal too.
    }
  }
  out << "Failed\n";
  out.flush();
  return false;
}

bool AdminClient::makeHTTPRequest(const std::string& method, const std::string& url,
                                  const std::vector<std::string>& headers, const std::string& body,
                                  std::string& response, long& status, bool jsonContentType) {
  logApplication(LOG_FINE, this, kClass, "makeHTTPRequest", "URL: %s; JSON: %s", url.c_str(),
                 body.c_str());
  std::vector<std::string> all;
  if (jsonContentType) {
    all.push_back("Content-Type: application/json");
  }
  all.insert(all.end(), headers.begin(), headers.end());
  return perform(method == "POST" ? nullptr : method.c_str(), url, all, &body, response, status);
}

bool AdminClient::makeGETHTTPRequest(const std::string& url,
                                     const std::vector<std::string>& headers, std::string& response,
                                     long& status) {
  logApplication(LOG_FINE, this, kClass, "makeGETHTTPRequest", "URL: %s", url.c_str());
  return perform(nullptr, url, headers, nullptr, response, status);
}

bool AdminClient::perform(const char* method, const std::string& url,
                          const std::vector<std::string>& headers, const std::string* body,
                          std::string& response, long& status) {
  received_.clear();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    return false;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // The gateway is on this machine; a proxy from the environment must not get in between.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
  if (!pin_.empty()) {
    // The gateway's own key and no other: no authority is involved, and no
    // host name, since the gateway is reached by its loopback address.
    curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin_.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  if (method != nullptr) {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  }
  if (body != nullptr) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendReceived);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received_);
  struct curl_slist* list = nullptr;
  for (const auto& header : headers) {
    list = curl_slist_append(list, header.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);

  const CURLcode code = curl_easy_perform(curl);
  bool ok = false;
  if (code != CURLE_OK) {
    char line[512];
    std::snprintf(line, sizeof(line), "curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
    err_ << line;
    err_.flush();
  } else {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response = received_;
    ok = status >= 200 && status <= 299;
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return ok;
}

} // namespace quorvex
