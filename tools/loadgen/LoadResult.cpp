#include "loadgen/LoadResult.h"

#include <cstdio>

namespace quorvex::tools {
namespace {

void put(std::string& line, const char* key, uint64_t value) {
  line += ' ';
  line += key;
  line += '=';
  line += std::to_string(value);
}

void putRate(std::string& line, const char* key, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), " %s=%.1f", key, value);
  line += text;
}

} // namespace

std::string formatResult(const LoadResult& r) {
  std::string line = "loadgen result";
  put(line, "sessions", r.sessions);
  put(line, "bound", r.bound);
  put(line, "sent", r.sent);
  put(line, "responses", r.responses);
  put(line, "missing", r.sent - r.responses);
  for (const auto& [status, count] : r.statuses) {
    char key[32];
    std::snprintf(key, sizeof(key), "status_0x%08x", status);
    put(line, key, count);
  }
  char elapsed[48];
  std::snprintf(elapsed, sizeof(elapsed), " elapsed_s=%.3f", r.elapsedSeconds);
  line += elapsed;
  putRate(line, "rate", r.elapsedSeconds > 0 ? r.responses / r.elapsedSeconds : 0);
  put(line, "resp_p50_us", r.responseLatency.percentile(50));
  put(line, "resp_p90_us", r.responseLatency.percentile(90));
  put(line, "resp_p99_us", r.responseLatency.percentile(99));
  put(line, "resp_p999_us", r.responseLatency.percentile(99.9));
  put(line, "resp_max_us", r.responseLatency.max());
  put(line, "mo", r.mo);
  if (r.receiptsOn) {
    put(line, "receipts", r.receipts);
    put(line, "receipts_missing", r.receiptsMissing);
    put(line, "receipts_unmatched", r.receiptsUnmatched);
    putRate(line, "receipt_rate", r.receiptSeconds > 0 ? r.receipts / r.receiptSeconds : 0);
    put(line, "rcpt_p50_us", r.receiptLatency.percentile(50));
    put(line, "rcpt_p99_us", r.receiptLatency.percentile(99));
  }
  return line;
}

} // namespace quorvex::tools
