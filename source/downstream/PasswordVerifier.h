// Checks bind passwords against bcrypt hashes on a worker thread of its
// own, so that a hash (tens of milliseconds at a usual cost) never stalls
// the main loop and the sessions it serves.
//
// The main thread asks remembered() first: the last password verified for
// an account is kept as a salted SHA-256 digest beside the hash it matched,
// so a reconnecting ESME costs one digest, not one bcrypt. Otherwise it
// submits the check and carries on; the worker wakes the main loop with the
// verdict, which the loop collects with takeVerdicts(). Verdicts name the
// session by descriptor and session id, so one for a session that has gone
// meanwhile is recognised and dropped.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quorvex {

namespace smpp {
class EventLoop;
}

class PasswordVerifier {
public:
  struct Verdict {
    int descriptor;     // the session's connection
    uint64_t sessionId; // the session asking
    bool match;         // the password hashes to the account's hash
  };

  PasswordVerifier();
  // Stops the worker after the check in progress.
  ~PasswordVerifier();
  PasswordVerifier(const PasswordVerifier&) = delete;
  PasswordVerifier& operator=(const PasswordVerifier&) = delete;

  // True when `password` is the one last verified for `account` while its
  // hash was `hash`; a different hash forgets the account's entry.
  bool remembered(const std::string& account, const std::string& hash, const std::string& password);
  // Queues a check; the worker starts on first use.
  void submit(int descriptor, uint64_t sessionId, const std::string& account,
              const std::string& hash, const std::string& password);
  // Drops the session's check if it has not started (its connection closed).
  void cancel(uint64_t sessionId);
  // Moves the verdicts that have arrived into `out` (appended).
  void takeVerdicts(std::vector<Verdict>& out);
  // The loop woken when a verdict arrives; null stops the waking.
  void setWakeLoop(smpp::EventLoop* loop);

private:
  using Digest = std::array<unsigned char, 32>;
  struct Job {
    int descriptor;       // the session's connection
    uint64_t sessionId;   // the session asking
    std::string account;  // cache key
    std::string hash;     // the account's bcrypt hash
    std::string password; // as the bind carried it
  };
  struct Remembered {
    std::string hash; // the hash the password was verified against
    Digest digest;    // salted SHA-256 of that password
  };

  Digest digestOf(const std::string& password) const;
  // The caller holds mutex_.
  bool rememberedLocked(const std::string& account, const std::string& hash, const Digest& digest);
  void work();

  std::array<unsigned char, 16> salt_{};                   // random per process
  std::mutex mutex_;                                       // guards everything below
  std::condition_variable jobReady_;                       // signalled on submit and stop
  std::deque<Job> jobs_;                                   // checks waiting for the worker
  std::vector<Verdict> verdicts_;                          // verdicts waiting for the loop
  std::unordered_map<std::string, Remembered> remembered_; // by account
  smpp::EventLoop* wakeLoop_ = nullptr;                    // woken with each verdict
  bool stopping_ = false;                                  // set by the destructor
  std::thread worker_;                                     // runs work(); started on first use
};

// The process-wide verifier.
PasswordVerifier& passwordVerifier();

} // namespace quorvex
