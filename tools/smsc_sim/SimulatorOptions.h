// Command-line settings of the SMSC simulator.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace quorvex::tools {

// How a message id number is written in PDUs.
enum class IdForm { kHex, kDecimal };

// Where a receipt carries its id, state and error.
enum class ReceiptForm { kNone, kText, kTlv, kBoth };

struct SimulatorOptions {
  std::string host = "0.0.0.0";              // listening address
  uint16_t port = 2775;                      // listening port; 0 = any free port
  std::string password;                      // required bind password; empty = any
  bool refuseBinds = false;                  // answer every bind with ESME_RBINDFAIL
  IdForm idForm = IdForm::kHex;              // message ids in submit_sm_resp
  IdForm receiptIdForm = IdForm::kHex;       // message ids quoted by receipts
  uint64_t firstId = 1000000000;             // number of the first message id
  ReceiptForm receipts = ReceiptForm::kText; // receipt layout
  bool receiptsAlways = false;               // also when registered_delivery asks none
  bool receiptBeforeResponse = false;        // receipt goes out before submit_sm_resp
  uint64_t receiptDelayMillis = 0;           // ms from submit to receipt (after mode)
  bool receiptOnOtherBind = false;           // prefer another receiver of the system_id
  int receiptState = 2;                      // message_state of receipts (2 DELIVERED)
  uint16_t receiptError = 0;                 // err / network error code of receipts
  std::map<std::string, uint32_t> failures;  // destination_addr -> command_status
  std::map<std::string, uint32_t> nacks;     // destination_addr -> generic_nack status
  std::set<std::string> silent;              // destination_addrs whose submits go unanswered
  uint64_t dropAfter = 0;                    // close a connection after N submits; 0 = never
  bool tls = false;                          // binds speak SMPP over TLS
  std::string certFile;                      // with tls: PEM certificate chain
  std::string keyFile;                       // with tls: its PEM private key
  bool verbose = false;                      // library log lines on standard output
  bool help = false;                         // print usage and exit
};

// Fills `options` from main's arguments; false with a message in `error`.
bool parseSimulatorOptions(int argc, char** argv, SimulatorOptions& options, std::string& error);

// The --help text.
const char* simulatorUsage();

} // namespace quorvex::tools
