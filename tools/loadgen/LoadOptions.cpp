#include "loadgen/LoadOptions.h"

#include "common/Arguments.h"
#include "smpp/SMPPConstants.h"

namespace quorvex::tools {
namespace {

// A C-octet field must fit its limit (which counts the NUL).
bool fits(const std::string& name, const std::string& value, size_t limit, std::string& error) {
  if (value.size() < limit) {
    return true;
  }
  error = "option " + name + ": at most " + std::to_string(limit - 1) + " characters";
  return false;
}

} // namespace

bool parseLoadOptions(int argc, char** argv, LoadOptions& o, std::string& error) {
  Arguments args(argc, argv);
  bool countSet = false;
  while (args.next()) {
    const std::string& name = args.name();
    uint64_t number = 0;
    std::string text;
    bool ok = true;
    if (name == "--help" || name == "-h") {
      o.help = true;
    } else if (name == "--host") {
      ok = args.value(o.host, error);
    } else if (name == "--port") {
      ok = args.unsignedValue(1, 65535, number, error);
      o.port = static_cast<uint16_t>(number);
    } else if (name == "--sessions") {
      ok = args.unsignedValue(1, 10000, number, error);
      o.sessions = static_cast<uint32_t>(number);
    } else if (name == "--bind") {
      ok = args.value(text, error);
      if (ok && text != "tx" && text != "trx") {
        error = "option --bind: expected tx or trx, got '" + text + "'";
        return false;
      }
      o.transceiver = text == "trx";
    } else if (name == "--system-id") {
      ok = args.value(o.systemId, error) && fits(name, o.systemId, smpp::limit::kSystemId, error);
    } else if (name == "--password") {
      ok = args.value(o.password, error) && fits(name, o.password, smpp::limit::kPassword, error);
    } else if (name == "--system-type") {
      ok = args.value(o.systemType, error) &&
           fits(name, o.systemType, smpp::limit::kSystemType, error);
    } else if (name == "--window") {
      ok = args.unsignedValue(1, 100000, number, error);
      o.window = static_cast<uint32_t>(number);
    } else if (name == "--count") {
      ok = args.unsignedValue(1, UINT64_MAX, o.count, error);
      countSet = true;
    } else if (name == "--duration") {
      ok = args.doubleValue(o.durationSeconds, error);
      if (ok && o.durationSeconds <= 0) {
        error = "option --duration: must be above 0";
        return false;
      }
    } else if (name == "--rate") {
      ok = args.doubleValue(o.rate, error);
    } else if (name == "--receipts") {
      o.receipts = true;
    } else if (name == "--tls") {
      o.tls = true;
    } else if (name == "--data-sm") {
      o.dataSM = true;
    } else if (name == "--source") {
      ok = args.value(o.source, error) && fits(name, o.source, smpp::limit::kAddress, error);
    } else if (name == "--destination") {
      ok = args.value(o.destination, error) &&
           fits(name, o.destination, smpp::limit::kAddress, error);
    } else if (name == "--text") {
      ok = args.value(o.text, error) && fits(name, o.text, 255, error);
    } else if (name == "--drain") {
      ok = args.doubleValue(o.drainSeconds, error);
    } else if (name == "--bind-timeout") {
      ok = args.doubleValue(o.bindTimeoutSeconds, error);
    } else {
      error = "unknown argument '" + name + "' (see --help)";
      return false;
    }
    if (!ok) {
      return false;
    }
  }
  if (countSet && o.durationSeconds > 0) {
    error = "--count and --duration exclude each other";
    return false;
  }
  if (!countSet && o.durationSeconds == 0) {
    o.count = 1000;
  }
  if (o.receipts && !o.transceiver) {
    error = "--receipts needs --bind trx (a transmitter receives no deliver_sm)";
    return false;
  }
  return true;
}

const char* loadUsage() {
  return R"(Usage: quorvex-loadgen [options]

Opens ESME sessions to an SMPP 3.4 server, sends submit_sm (or data_sm) with a
window of outstanding requests per session, and prints one result line.

Connection:
  --host ADDR         server address (default 127.0.0.1)
  --port N            server port (default 2775)
  --sessions N        sessions opened at once (default 1)
  --bind tx|trx       bind as transmitter or transceiver (default trx)
  --system-id ID      bind system_id (default loadgen)
  --password PW       bind password (default pw)
  --system-type T     bind system_type (default empty)
  --bind-timeout S    seconds to wait for connections and binds (default 10)
  --tls               speak SMPP over TLS (the server's certificate is not
                      checked: this is a load generator)

Load:
  --window N          outstanding submits per session (default 10)
  --count N           submits in all, shared by the sessions (default 1000)
  --duration S        send for S seconds instead of a count
  --rate R            at most R submits per second over all sessions (default: no limit)
  --data-sm           send data_sm (payload in message_payload) instead of submit_sm
  --source ADDR       source_addr (default 4915550001)
  --destination ADDR  destination_addr (default 4915550002)
  --text TEXT         message text (default "Quorvex load test")
  --receipts          ask for receipts (registered_delivery 1), answer every
                      deliver_sm and wait for a receipt per accepted submit;
                      needs --bind trx
  --drain S           seconds to wait for outstanding responses and receipts
                      after sending ends (default 10)

Result (one line on standard output; latencies in microseconds, from the
submit being queued to the response or receipt being read; percentiles are
exact below 1024 us and within 0.2 % above, the maximum is exact):
  loadgen result sessions=N bound=N sent=N responses=N missing=N
    status_0x00000000=N [status_0x...=N ...] elapsed_s=S rate=R
    resp_p50_us=N resp_p90_us=N resp_p99_us=N resp_p999_us=N resp_max_us=N mo=N
    [receipts=N receipts_missing=N receipts_unmatched=N receipt_rate=R
     rcpt_p50_us=N rcpt_p99_us=N]
  elapsed_s runs from the moment all sessions are bound to the last response;
  rate is responses per second over it; receipt_rate is receipts per second
  up to the last receipt. Receipts are matched to submits by the message id of
  the submit_sm_resp (a receipt quoting a hex id in decimal also matches).

Exit status:
  0 all responses (and receipts) arrived   1 cannot connect
  2 bad arguments                          3 a bind failed
  4 responses missing at the end           5 receipts missing at the end
)";
}

} // namespace quorvex::tools
