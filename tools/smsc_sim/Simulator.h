// The SMSC simulator: one thread, one readiness loop over the listener, the
// ESME connections and the control input. Receipts wait in a FIFO (their
// delay is one setting, so due times only grow).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "smpp/EventLoop.h"
#include "smpp/TlsContext.h"
#include "smsc_sim/LineReader.h"
#include "smsc_sim/SimulatorOptions.h"
#include "smsc_sim/SimulatorSession.h"

namespace quorvex::tools {

// What the simulator has done since it started.
struct SimulatorCounts {
  uint64_t connections = 0;     // TCP connections accepted
  uint64_t binds = 0;           // binds accepted
  uint64_t bindRefusals = 0;    // binds refused
  uint64_t submits = 0;         // submit_sm and data_sm decoded
  uint64_t dataSM = 0;          // of which data_sm
  uint64_t submitErrors = 0;    // answered with a --fail status
  uint64_t receipts = 0;        // receipt deliver_sm sent
  uint64_t mo = 0;              // MO deliver_sm sent
  uint64_t deliverResps = 0;    // deliver_sm_resp received
  uint64_t unbinds = 0;         // unbind requests answered
  uint64_t drops = 0;           // connections closed by --drop-after
  uint64_t receiptsDropped = 0; // receipts lost: no receiver and the wait list full
};

// The counts line, "smsc-sim counts key=value ...".
std::string formatCounts(const SimulatorCounts& counts, size_t receiptsWaiting);

class Simulator : public SessionOwner, public smpp::EventHandler {
public:
  explicit Simulator(const SimulatorOptions& options);
  ~Simulator() override;

  // Listens and prints the listening line; false with `error` on failure.
  bool start(std::string& error);
  // Serves until a stop signal or "quit"; prints the counts; exit status.
  int run();

  // Listener and control input readiness.
  void onReadable(int fd) override;

  int authorise(SimulatorSession& session, const std::string& systemId, const std::string& password,
                uint32_t bindCommandId) override;
  int submit(SimulatorSession& session, const smpp::SubmitSMRecord& record, uint32_t commandId,
             uint32_t sequenceNumber, std::string& messageId, uint32_t& status) override;
  void deliverResponded(SimulatorSession& session, uint32_t status) override;
  void unbound(SimulatorSession& session) override;
  void finished(SimulatorSession& session) override;

private:
  // A receipt on its way to an ESME.
  struct PendingReceipt {
    uint64_t dueMicros = 0;    // µs when it may go
    uint64_t submitterId = 0;  // session id that submitted the message
    std::string systemId;      // system_id of that session
    std::vector<uint8_t> body; // the deliver_sm body
  };

  void acceptConnections();
  void readControl();
  void handleCommand(const std::string& line);
  void sendMO(const std::vector<std::string>& parts, bool ucs2);
  void routeReceipt(PendingReceipt&& receipt, bool flushNow);
  SimulatorSession* receiverFor(const std::string& systemId, uint64_t submitterId);
  void fireDueReceipts(uint64_t now);
  void retryWaitingReceipts();
  void closeFinishedSessions();
  void flushAll();
  int pollTimeout(uint64_t now) const;
  void printLine(const std::string& line);

  SimulatorOptions options_;              // settings from the command line
  smpp::EventLoop loop_;                  // the one readiness loop
  std::unique_ptr<smpp::TlsContext> tls_; // with --tls: certificate and key
  int listener_ = -1;                     // listening socket
  std::unique_ptr<LineReader> control_;   // standard input, when watchable
  std::map<uint64_t, std::unique_ptr<SimulatorSession>> sessions_; // by session id
  std::vector<uint64_t> finished_;       // sessions to close after this pass
  std::deque<PendingReceipt> scheduled_; // receipts not yet due
  std::deque<PendingReceipt> waiting_;   // due, no receiver bound yet
  bool receiverBound_ = false;           // a receiver bound in this pass
  uint64_t nextId_ = 0;                  // number of the next message id
  uint64_t roundRobin_ = 0;              // rotates receiver choices
  bool quit_ = false;                    // "quit" was read
  SimulatorCounts counts_;               // what has happened
};

} // namespace quorvex::tools
