#include "loadgen/LoadGenerator.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "common/Network.h"
#include "common/StopSignal.h"
#include "loadgen/DeliverReader.h"
#include "loadgen/RequestBody.h"

namespace quorvex::tools {
namespace {

// Longest single wait; keeps deadlines and signals prompt.
constexpr int kMaxWaitMillis = 100;
// Time allowed for unbind_resp at the end.
constexpr uint64_t kUnbindMicros = 2000000;

uint64_t seconds(double s) { return static_cast<uint64_t>(s * 1e6); }

} // namespace

uint64_t monotonicMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

LoadGenerator::LoadGenerator(const LoadOptions& options)
    : options_(options), requestBody_(buildRequestBody(options)),
      requestCommand_(requestCommandId(options)) {
  result_.sessions = options.sessions;
  result_.receiptsOn = options.receipts;
}

LoadGenerator::~LoadGenerator() {
  for (auto& client : clients_) {
    loop_.remove(client->descriptor());
  }
}

int LoadGenerator::run() {
  std::string error;
  if (!loop_.valid() || !connectAll(error)) {
    std::fprintf(stderr, "quorvex-loadgen: %s\n", error.c_str());
    return 1;
  }
  if (!bindAll()) {
    std::fprintf(stderr, "quorvex-loadgen: %u of %u sessions bound\n", result_.bound,
                 result_.sessions);
    unbindAll();
    std::printf("%s\n", formatResult(result_).c_str());
    return 3;
  }
  sendAndDrain();
  unbindAll();
  result_.receiptsMissing = awaiting_.size();
  result_.receiptsUnmatched += early_.size();
  if (lastResponseMicros_ > startMicros_) {
    result_.elapsedSeconds = (lastResponseMicros_ - startMicros_) / 1e6;
  }
  if (lastReceiptMicros_ > startMicros_) {
    result_.receiptSeconds = (lastReceiptMicros_ - startMicros_) / 1e6;
  }
  std::printf("%s\n", formatResult(result_).c_str());
  std::fflush(stdout);
  return exitStatus();
}

int LoadGenerator::exitStatus() const {
  if (result_.responses < result_.sent) {
    return 4;
  }
  return options_.receipts && result_.receiptsMissing > 0 ? 5 : 0;
}

bool LoadGenerator::connectAll(std::string& error) {
  const int timeoutMillis = static_cast<int>(options_.bindTimeoutSeconds * 1000);
  if (options_.tls && tls_ == nullptr) {
    tls_ = smpp::TlsContext::client("", false, error);
    if (tls_ == nullptr) {
      return false;
    }
  }
  for (uint32_t i = 0; i < options_.sessions; ++i) {
    const int fd = connectTcp(options_.host, options_.port, timeoutMillis, error);
    if (fd < 0) {
      return false;
    }
    std::unique_ptr<smpp::SMPPSocket> stream;
    if (tls_ != nullptr) {
      stream = handshakeTls(smpp::SMPPSocketTls::connecting(*tls_, fd, options_.host),
                            timeoutMillis, error);
      if (stream == nullptr) {
        ::close(fd);
        return false;
      }
    }
    clients_.push_back(std::make_unique<EsmeClient>(*this, fd, std::move(stream)));
    if (!loop_.add(fd, clients_.back().get())) {
      error = "cannot watch a connection";
      return false;
    }
  }
  return true;
}

bool LoadGenerator::bindAll() {
  for (auto& client : clients_) {
    client->sendBind(options_.transceiver, options_.systemId, options_.password,
                     options_.systemType);
  }
  const uint64_t deadline = monotonicMicros() + seconds(options_.bindTimeoutSeconds);
  for (;;) {
    flushAll();
    const bool waiting = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) {
      return c->state() == EsmeClient::State::kBinding;
    });
    const uint64_t now = monotonicMicros();
    if (!waiting || now >= deadline || stopSignalled()) {
      break;
    }
    loop_.poll(waitMillis(now, deadline));
  }
  startMicros_ = monotonicMicros();
  return result_.bound == options_.sessions;
}

void LoadGenerator::sendAndDrain() {
  const uint64_t sendUntil =
      options_.durationSeconds > 0 ? startMicros_ + seconds(options_.durationSeconds) : UINT64_MAX;
  uint64_t drainUntil = 0;
  for (;;) {
    const uint64_t now = monotonicMicros();
    const bool countLeft = options_.count == 0 || result_.sent < options_.count;
    const bool sending = countLeft && now < sendUntil && !stopSignalled() && anyBound();
    if (sending) {
      pump(now);
    } else if (drainUntil == 0) {
      drainUntil = now + seconds(options_.drainSeconds);
    }
    flushAll();
    if (!sending && (drained() || now >= drainUntil || !anyBound())) {
      return;
    }
    uint64_t until = sending ? sendUntil : drainUntil;
    if (sending && options_.rate > 0) {
      // The instant the next submit is allowed.
      until =
          std::min(until, startMicros_ + static_cast<uint64_t>(result_.sent * 1e6 / options_.rate));
    }
    loop_.poll(outputPending() ? 1 : waitMillis(now, until));
  }
}

void LoadGenerator::pump(uint64_t now) {
  uint64_t budget = options_.count == 0 ? UINT64_MAX : options_.count - result_.sent;
  if (options_.rate > 0) {
    const double elapsed = (now - startMicros_) / 1e6;
    const uint64_t allowed = static_cast<uint64_t>(std::floor(options_.rate * elapsed)) + 1;
    budget = std::min(budget, allowed > result_.sent ? allowed - result_.sent : 0);
  }
  const size_t n = clients_.size();
  for (size_t k = 0; k < n && budget > 0; ++k) {
    EsmeClient& client = *clients_[(nextClient_ + k) % n];
    while (client.state() == EsmeClient::State::kBound && client.outstanding() < options_.window &&
           budget > 0) {
      client.sendSubmit(requestCommand_, requestBody_, monotonicMicros());
      ++result_.sent;
      --budget;
    }
  }
  nextClient_ = (nextClient_ + 1) % n;
}

bool LoadGenerator::drained() const {
  const bool responsesDone = std::all_of(clients_.begin(), clients_.end(),
                                         [](const auto& c) { return c->outstanding() == 0; });
  return responsesDone && (!options_.receipts || awaiting_.empty());
}

bool LoadGenerator::anyBound() const {
  return std::any_of(clients_.begin(), clients_.end(),
                     [](const auto& c) { return c->state() == EsmeClient::State::kBound; });
}

void LoadGenerator::flushAll() {
  for (auto& client : clients_) {
    client->flush();
  }
}

bool LoadGenerator::outputPending() {
  return std::any_of(clients_.begin(), clients_.end(),
                     [](const auto& c) { return c->pendingOutput() > 0; });
}

int LoadGenerator::waitMillis(uint64_t now, uint64_t until) const {
  if (until <= now) {
    return 0;
  }
  const uint64_t millis = (until - now + 999) / 1000;
  return static_cast<int>(std::min<uint64_t>(millis, kMaxWaitMillis));
}

void LoadGenerator::unbindAll() {
  for (auto& client : clients_) {
    if (client->state() == EsmeClient::State::kBound) {
      client->sendUnbind();
    }
  }
  const uint64_t deadline = monotonicMicros() + kUnbindMicros;
  for (;;) {
    flushAll();
    const bool waiting = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) {
      return c->state() == EsmeClient::State::kUnbinding;
    });
    const uint64_t now = monotonicMicros();
    if (!waiting || now >= deadline) {
      return;
    }
    loop_.poll(waitMillis(now, deadline));
  }
}

void LoadGenerator::bindAnswered(EsmeClient&, uint32_t status) {
  if (status == 0) {
    ++result_.bound;
  } else {
    std::fprintf(stderr, "quorvex-loadgen: bind refused with status 0x%08x\n", status);
  }
}

void LoadGenerator::submitAnswered(EsmeClient&, uint32_t status, const std::string& messageId,
                                   uint64_t sentMicros) {
  const uint64_t now = monotonicMicros();
  ++result_.responses;
  ++result_.statuses[status];
  result_.responseLatency.record(now - sentMicros);
  lastResponseMicros_ = now;
  if (!options_.receipts || status != 0) {
    return;
  }
  // A receipt may have overtaken its response (quoting the id either way).
  auto early = early_.find(messageId);
  if (early == early_.end()) {
    early = early_.find(decimalFromHex(messageId));
  }
  if (early != early_.end()) {
    result_.receiptLatency.record(early->second - sentMicros);
    early_.erase(early);
    return;
  }
  awaiting_[messageId] = sentMicros;
}

void LoadGenerator::delivered(EsmeClient&, const uint8_t* body, size_t length) {
  DeliverSummary summary;
  if (!readDeliver(body, length, summary) || !summary.receipt) {
    ++result_.mo;
    return;
  }
  const uint64_t now = monotonicMicros();
  ++result_.receipts;
  lastReceiptMicros_ = now;
  if (summary.messageId.empty()) {
    ++result_.receiptsUnmatched;
    return;
  }
  auto found = awaiting_.find(summary.messageId);
  if (found == awaiting_.end()) {
    found = awaiting_.find(hexFromDecimal(summary.messageId));
  }
  if (found == awaiting_.end()) {
    early_[summary.messageId] = now;
    return;
  }
  result_.receiptLatency.record(now - found->second);
  awaiting_.erase(found);
}

void LoadGenerator::closing(EsmeClient& client) {
  loop_.remove(client.descriptor());
  if (client.outstanding() > 0) {
    std::fprintf(stderr, "quorvex-loadgen: a session closed with %zu submits unanswered\n",
                 client.outstanding());
  }
}

} // namespace quorvex::tools
