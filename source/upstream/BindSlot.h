// One upstream bind as the configuration produces it, and the connection
// bookkeeping the upstream thread keeps for it.
#pragma once

#include <cstdint>
#include <string>

namespace quorvex {

class SMPPSessionClient;

// Bind types of an upstream slot (the command sent to bind).
enum UpstreamBindType : int {
  kBindRX = 0,  // bind_receiver
  kBindTX = 1,  // bind_transmitter
  kBindTRX = 2, // bind_transceiver
};

// "BindRX", "BindTX", "BindTRX" or "" for anything else.
const char* bindTypeWord(int bindType);

struct BindSlot {
  uint64_t smscid = 0;                  // identity of the bind
  std::string targetName;               // configured target name (the name table entry)
  std::string host;                     // SMSC host name or dotted address
  uint32_t port = 2775;                 // SMSC TCP port
  uint8_t interfaceVersion = 0x34;      // sent in the bind
  std::string systemId;                 // bind system_id
  std::string password;                 // bind password
  std::string systemType;               // bind system_type
  int bindType = kBindTRX;              // UpstreamBindType
  uint32_t enquireLinkInterval = 60;    // s of silence before enquire_link
  uint32_t responseTimeout = 60;        // s a submit may wait for its response
  bool adminDown = false;               // kept closed
  uint32_t tpsLimit = 32000;            // submits per second on the bind's session
  bool tls = false;                     // the bind runs over TLS
  bool tlsVerify = true;                // the SMSC's certificate and host name are checked
  std::string tlsCaFile;                // PEM authorities for that check, empty = system store
  uint64_t nextAttempt = 0;             // µs, earliest next connection attempt
  uint64_t attempts = 0;                // consecutive attempts since the last TCP connect
  bool sessionActive = false;           // a session exists (connecting, binding or bound)
  SMPPSessionClient* session = nullptr; // that session, owned by SMPPUpstream
  // The next session continues the sequence numbers where the last one
  // stopped, so that a (bind, sequence number) pair names one submit even
  // while a record of the previous connection still waits for its receipt.
  uint64_t nextSequence = 1;
};

} // namespace quorvex
