// One ESME session of the load generator: bind, pipelined submits matched
// to their responses by sequence number, deliver_sm answered, unbind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "smpp/EventLoop.h"
#include "smpp/SessionConnection.h"

namespace quorvex::tools {

class EsmeClient;

// What a client reports to the generator that drives it.
class ClientObserver {
public:
  virtual ~ClientObserver() = default;
  virtual void bindAnswered(EsmeClient& client, uint32_t status) = 0;
  // A submit was answered; `sentMicros` is when it was queued.
  virtual void submitAnswered(EsmeClient& client, uint32_t status, const std::string& messageId,
                              uint64_t sentMicros) = 0;
  // A deliver_sm arrived (already answered).
  virtual void delivered(EsmeClient& client, const uint8_t* body, size_t length) = 0;
  // The connection is about to close (peer gone, unbind done, send failed).
  virtual void closing(EsmeClient& client) = 0;
};

class EsmeClient : public smpp::EventHandler {
public:
  enum class State { kConnected, kBinding, kBound, kUnbinding, kClosed };

  // Over `stream` (a TLS one) when given, else plain TCP on `descriptor`.
  EsmeClient(ClientObserver& observer, int descriptor,
             std::unique_ptr<smpp::SMPPSocket> stream = nullptr);

  void onReadable(int fd) override;

  void sendBind(bool transceiver, const std::string& systemId, const std::string& password,
                const std::string& systemType);
  // Queues a submit_sm or data_sm body; remembered until its response.
  void sendSubmit(uint32_t commandId, const std::vector<uint8_t>& body, uint64_t nowMicros);
  void sendUnbind();
  // Writes queued output; a broken connection closes the client.
  void flush();
  size_t pendingOutput();

  State state() const { return state_; }
  size_t outstanding() const { return inFlight_.size(); }
  int descriptor() const { return descriptor_; }

private:
  void dispatch();
  void close();
  uint32_t nextSequence() { return sequence_++; }

  ClientObserver& observer_;                        // the generator
  smpp::SessionConnection connection_;              // socket, framing reader, sender
  int descriptor_;                                  // the connected socket
  State state_ = State::kConnected;                 // where the session stands
  uint32_t sequence_ = 1;                           // next sequence number
  std::unordered_map<uint32_t, uint64_t> inFlight_; // submit sequence -> µs queued
};

} // namespace quorvex::tools
