#include "downstream/PasswordVerifier.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <utility>

#include "downstream/BindChecks.h"
#include "smpp/EventLoop.h"

namespace quorvex {

PasswordVerifier::PasswordVerifier() {
  if (RAND_bytes(salt_.data(), static_cast<int>(salt_.size())) != 1) {
    // Without randomness the digests are still never logged or stored;
    // the salt only keeps them from being compared across processes.
    salt_.fill(0x5a);
  }
}

PasswordVerifier::~PasswordVerifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wakeLoop_ = nullptr;
  }
  jobReady_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
}

PasswordVerifier::Digest PasswordVerifier::digestOf(const std::string& password) const {
  Digest digest{};
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  unsigned int length = 0;
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(context, salt_.data(), salt_.size()) != 1 ||
      EVP_DigestUpdate(context, password.data(), password.size()) != 1 ||
      EVP_DigestFinal_ex(context, digest.data(), &length) != 1) {
    // An all-zero digest never matches a remembered one: it is never stored.
    digest.fill(0);
  }
  EVP_MD_CTX_free(context);
  return digest;
}

bool PasswordVerifier::rememberedLocked(const std::string& account, const std::string& hash,
                                        const Digest& digest) {
  const auto found = remembered_.find(account);
  if (found == remembered_.end()) {
    return false;
  }
  if (found->second.hash != hash) {
    remembered_.erase(found);
    return false;
  }
  return CRYPTO_memcmp(found->second.digest.data(), digest.data(), digest.size()) == 0;
}

bool PasswordVerifier::remembered(const std::string& account, const std::string& hash,
                                  const std::string& password) {
  const Digest digest = digestOf(password);
  std::lock_guard<std::mutex> lock(mutex_);
  return rememberedLocked(account, hash, digest);
}

void PasswordVerifier::submit(int descriptor, uint64_t sessionId, const std::string& account,
                              const std::string& hash, const std::string& password) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{descriptor, sessionId, account, hash, password});
    if (!worker_.joinable()) {
      worker_ = std::thread([this] { work(); });
    }
  }
  jobReady_.notify_one();
}

void PasswordVerifier::cancel(uint64_t sessionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  // At most one job per open connection, so the walk is short.
  for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
    if (it->sessionId == sessionId) {
      OPENSSL_cleanse(it->password.data(), it->password.size());
      jobs_.erase(it);
      return;
    }
  }
}

void PasswordVerifier::takeVerdicts(std::vector<Verdict>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.insert(out.end(), verdicts_.begin(), verdicts_.end());
  verdicts_.clear();
}

void PasswordVerifier::setWakeLoop(smpp::EventLoop* loop) {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeLoop_ = loop;
  if (loop != nullptr && !verdicts_.empty()) {
    loop->wake();
  }
}

void PasswordVerifier::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) {
      return;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    const Digest digest = digestOf(job.password);
    // A storm of binds to one account pays for one hash: the first verdict
    // answers the others from memory.
    bool match = rememberedLocked(job.account, job.hash, digest);
    if (!match) {
      lock.unlock();
      match = checkPasswordHash(job.password, job.hash);
      lock.lock();
      if (match) {
        remembered_[job.account] = Remembered{job.hash, digest};
      }
    }
    OPENSSL_cleanse(job.password.data(), job.password.size());
    verdicts_.push_back(Verdict{job.descriptor, job.sessionId, match});
    if (wakeLoop_ != nullptr) {
      wakeLoop_->wake();
    }
  }
}

PasswordVerifier& passwordVerifier() {
  static PasswordVerifier verifier;
  return verifier;
}

} // namespace quorvex
