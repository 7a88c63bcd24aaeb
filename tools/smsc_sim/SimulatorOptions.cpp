#include "smsc_sim/SimulatorOptions.h"

#include "common/Arguments.h"

namespace quorvex::tools {
namespace {

bool parseIdForm(const std::string& text, IdForm& out) {
  if (text == "hex") {
    out = IdForm::kHex;
  } else if (text == "dec") {
    out = IdForm::kDecimal;
  } else {
    return false;
  }
  return true;
}

bool parseReceiptForm(const std::string& text, ReceiptForm& out) {
  if (text == "none") {
    out = ReceiptForm::kNone;
  } else if (text == "text") {
    out = ReceiptForm::kText;
  } else if (text == "tlv") {
    out = ReceiptForm::kTlv;
  } else if (text == "both") {
    out = ReceiptForm::kBoth;
  } else {
    return false;
  }
  return true;
}

// "DEST=STATUS", the status in decimal or 0x hex.
bool parseFailure(const std::string& text, std::map<std::string, uint32_t>& failures) {
  const size_t equals = text.find('=');
  uint64_t status = 0;
  if (equals == 0 || equals == std::string::npos ||
      !parseUnsigned(text.substr(equals + 1), 1, 0xFFFFFFFF, status)) {
    return false;
  }
  failures[text.substr(0, equals)] = static_cast<uint32_t>(status);
  return true;
}

} // namespace

bool parseSimulatorOptions(int argc, char** argv, SimulatorOptions& options, std::string& error) {
  Arguments args(argc, argv);
  bool receiptIdFormSet = false;
  while (args.next()) {
    const std::string& name = args.name();
    std::string text;
    uint64_t number = 0;
    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--host") {
      if (!args.value(options.host, error)) {
        return false;
      }
    } else if (name == "--port") {
      if (!args.unsignedValue(0, 65535, number, error)) {
        return false;
      }
      options.port = static_cast<uint16_t>(number);
    } else if (name == "--password") {
      if (!args.value(options.password, error)) {
        return false;
      }
    } else if (name == "--refuse-binds") {
      options.refuseBinds = true;
    } else if (name == "--id-form" || name == "--receipt-id-form") {
      IdForm form = IdForm::kHex;
      if (!args.value(text, error)) {
        return false;
      }
      if (!parseIdForm(text, form)) {
        error = "option " + name + ": expected hex or dec, got '" + text + "'";
        return false;
      }
      (name == "--id-form" ? options.idForm : options.receiptIdForm) = form;
      receiptIdFormSet = receiptIdFormSet || name == "--receipt-id-form";
    } else if (name == "--first-id") {
      if (!args.unsignedValue(0, 0x7FFFFFFFFFFFFFFF, options.firstId, error)) {
        return false;
      }
    } else if (name == "--receipts") {
      if (!args.value(text, error)) {
        return false;
      }
      if (!parseReceiptForm(text, options.receipts)) {
        error = "option --receipts: expected none, text, tlv or both, got '" + text + "'";
        return false;
      }
    } else if (name == "--receipts-always") {
      options.receiptsAlways = true;
    } else if (name == "--receipt-before-response") {
      options.receiptBeforeResponse = true;
    } else if (name == "--receipt-delay-ms") {
      if (!args.unsignedValue(0, 3600000, options.receiptDelayMillis, error)) {
        return false;
      }
    } else if (name == "--receipt-on-other-bind") {
      options.receiptOnOtherBind = true;
    } else if (name == "--receipt-state") {
      if (!args.unsignedValue(0, 8, number, error)) {
        return false;
      }
      options.receiptState = static_cast<int>(number);
    } else if (name == "--receipt-error") {
      if (!args.unsignedValue(0, 65535, number, error)) {
        return false;
      }
      options.receiptError = static_cast<uint16_t>(number);
    } else if (name == "--fail" || name == "--nack") {
      if (!args.value(text, error)) {
        return false;
      }
      if (!parseFailure(text, name == "--fail" ? options.failures : options.nacks)) {
        error =
            "option " + name + ": expected DEST=STATUS with a non-zero status, got '" + text + "'";
        return false;
      }
    } else if (name == "--silent") {
      if (!args.value(text, error)) {
        return false;
      }
      options.silent.insert(text);
    } else if (name == "--drop-after") {
      if (!args.unsignedValue(0, UINT64_MAX, options.dropAfter, error)) {
        return false;
      }
    } else if (name == "--tls") {
      options.tls = true;
    } else if (name == "--cert" || name == "--key") {
      if (!args.value(name == "--cert" ? options.certFile : options.keyFile, error)) {
        return false;
      }
    } else if (name == "--verbose") {
      options.verbose = true;
    } else {
      error = "unknown argument '" + name + "' (see --help)";
      return false;
    }
  }
  if (!receiptIdFormSet) {
    options.receiptIdForm = options.idForm;
  }
  if (options.tls && (options.certFile.empty() || options.keyFile.empty())) {
    error = "--tls needs --cert and --key";
    return false;
  }
  if (options.receiptBeforeResponse && options.receiptDelayMillis > 0) {
    error = "--receipt-before-response and --receipt-delay-ms exclude each other";
    return false;
  }
  return true;
}

const char* simulatorUsage() {
  return R"(Usage: quorvex-smsc-sim [options]

An SMPP 3.4 SMSC for tests and demonstrations. It accepts binds, answers
submit_sm and data_sm with message ids, sends delivery receipts and injects
mobile-originated messages.

Listening:
  --host ADDR               listening address (default 0.0.0.0)
  --port N                  listening port (default 2775; 0 = any free port)
  --tls                     speak SMPP over TLS (the handshake of each
                            connection completes before the next is accepted)
  --cert FILE, --key FILE   the PEM certificate chain and private key for --tls

Binds:
  --password PW             refuse binds whose password differs (default: any)
  --refuse-binds            refuse every bind (ESME_RBINDFAIL)

Submits:
  --id-form hex|dec         message ids in submit_sm_resp (default hex, lower case)
  --first-id N              number of the first message id (default 1000000000)
  --fail DEST=STATUS        answer submits to DEST with STATUS (decimal or 0x hex);
                            repeatable; no receipt follows
  --nack DEST=STATUS        answer submits to DEST with generic_nack STATUS
  --silent DEST             never answer submits to DEST
  --drop-after N            close a connection right after answering its N-th
                            submit (default 0 = never)

Receipts (sent for accepted submits whose registered_delivery asks for one):
  --receipts none|text|tlv|both
                            text: receipt text in short_message; tlv:
                            receipted_message_id, message_state and
                            network_error_code; both: text and TLVs (default text)
  --receipts-always         send receipts whatever registered_delivery says
  --receipt-id-form hex|dec message ids quoted in receipts (default: --id-form)
  --receipt-before-response send the receipt before the submit_sm_resp
  --receipt-delay-ms N      send the receipt N ms after the response (default 0)
  --receipt-on-other-bind   prefer another receiver-capable bind of the same
                            system_id over the submitting one
  --receipt-state N         message state 0-8 (default 2, DELIVRD)
  --receipt-error N         error code (default 0)
  Receipts go to the submitting session when it is a transceiver, otherwise to
  a receiver or transceiver of the same system_id; with none bound they wait
  until one binds.

Other:
  --verbose                 print the SMPP library's log lines
  --help                    this text

Standard output (one line per event, flushed at once):
  smsc-sim listening port=N
  smsc-sim bind system_id=S type=TX|RX|TRX   (or: smsc-sim bind refused system_id=S)
  smsc-sim counts connections=N binds=N bind_refusals=N submits=N data_sm=N
      submit_errors=N receipts=N receipts_waiting=N receipts_dropped=N mo=N
      deliver_resps=N unbinds=N drops=N
  smsc-sim stopped

Control (lines on standard input):
  mo SRC DST TEXT...        send a mobile-originated deliver_sm (data_coding 0)
                            to the next receiver-capable session
  mo-ucs2 SRC DST TEXT...   the same with the UTF-8 TEXT sent as UCS-2 (data_coding 8)
  stats                     print the counts line
  quit                      print the counts and exit
  Each mo command answers "smsc-sim mo sent session=N system_id=S" or
  "smsc-sim mo failed: REASON".

SIGINT or SIGTERM print the counts and exit with status 0.
)";
}

} // namespace quorvex::tools
