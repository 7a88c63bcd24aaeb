// Command-line settings of the load generator.
#pragma once

#include <cstdint>
#include <string>

namespace quorvex::tools {

struct LoadOptions {
  std::string host = "127.0.0.1";         // SMPP server address
  uint16_t port = 2775;                   // SMPP server port
  uint32_t sessions = 1;                  // ESME sessions opened at once
  bool transceiver = true;                // bind_transceiver, else bind_transmitter
  std::string systemId = "loadgen";       // bind system_id
  std::string password = "pw";            // bind password
  std::string systemType;                 // bind system_type
  uint32_t window = 10;                   // outstanding submits per session
  uint64_t count = 0;                     // submits in all; 0 with a duration
  double durationSeconds = 0;             // sending time in s; 0 with a count
  double rate = 0;                        // submits per second over all sessions; 0 = no limit
  bool receipts = false;                  // ask for receipts and wait for them
  bool dataSM = false;                    // send data_sm instead of submit_sm
  std::string source = "4915550001";      // source_addr
  std::string destination = "4915550002"; // destination_addr
  std::string text = "Quorvex load test"; // message text (GSM default alphabet)
  double drainSeconds = 10;               // s to wait for responses and receipts at the end
  double bindTimeoutSeconds = 10;         // s to wait for connections and bind responses
  bool tls = false;                       // connect over TLS (the certificate is not checked)
  bool help = false;                      // print usage and exit
};

// Fills `options` from main's arguments; false with a message in `error`.
bool parseLoadOptions(int argc, char** argv, LoadOptions& options, std::string& error);

// The --help text.
const char* loadUsage();

} // namespace quorvex::tools
