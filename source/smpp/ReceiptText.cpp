#include "smpp/ReceiptText.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/Log.h"

namespace quorvex::smpp {
namespace {

struct StatWord {
  const char* word; // stat word as it appears in receipts
  int state;        // MessageState it stands for
};

// Search order matters: DELIVRD is found before UNDELIVERABLE.
constexpr StatWord kStatWords[] = {
    {"ENROUTE", kStateEnroute},       {"DELIVERED", kStateDelivered},
    {"DELIVRD", kStateDelivered},     {"EXPIRED", kStateExpired},
    {"DELETED", kStateDeleted},       {"UNDELIVERABLE", kStateUndeliverable},
    {"UNDELIV", kStateUndeliverable}, {"ACCEPTED", kStateAccepted},
    {"ACCEPTD", kStateAccepted},      {"UNKNOWN", kStateUnknown},
    {"REJECTED", kStateRejected},     {"REJECTD", kStateRejected},
    {"SKIPPED", kStateRejected},
};

constexpr const char* kReceiptFormat =
    "id:%s sub:000 dlvrd:%03d submit date:%s done date:%s stat:%s err:%03d text:";
constexpr const char* kReceiptScan =
    "id:%s sub:%*d dlvrd:%*d submit date:%s done date:%s stat:%s err:%d text:";

// A scanf-like matcher for kReceiptScan with a bound per word: a word longer
// than its bound stops the scan instead of being cut, so a truncated id can
// never pass for a parsed one. Returns the number of converted items.
class ReceiptScanner {
public:
  explicit ReceiptScanner(std::string_view text) : text_(text) {}

  int scan(std::string_view* words, const size_t* bounds, int& number) {
    int items = 0;
    int word = 0;
    for (const char* f = kReceiptScan; *f != 0; ++f) {
      if (isReceiptSpace(*f)) {
        skipSpace();
      } else if (*f != '%') {
        if (at_ >= text_.size() || text_[at_] != *f) {
          return items;
        }
        ++at_;
      } else if (f[1] == 's') {
        ++f;
        if (!readWord(words[word], bounds[word])) {
          return items;
        }
        ++word;
        ++items;
      } else if (f[1] == 'd' || (f[1] == '*' && f[2] == 'd')) {
        const bool stored = f[1] == 'd';
        f += stored ? 1 : 2;
        int value = 0;
        if (!readNumber(value)) {
          return items;
        }
        if (stored) {
          number = value;
          ++items;
        }
      }
    }
    return items;
  }

private:
  void skipSpace() {
    while (at_ < text_.size() && isReceiptSpace(text_[at_])) {
      ++at_;
    }
  }
  bool readWord(std::string_view& out, size_t bound) {
    skipSpace();
    const size_t start = at_;
    while (at_ < text_.size() && !isReceiptSpace(text_[at_])) {
      ++at_;
    }
    if (at_ == start || at_ - start > bound) {
      return false;
    }
    out = text_.substr(start, at_ - start);
    return true;
  }
  bool readNumber(int& out) {
    skipSpace();
    bool negative = false;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
      negative = text_[at_] == '-';
      ++at_;
    }
    const size_t start = at_;
    long long value = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      value = std::min<long long>(value * 10 + (text_[at_] - '0'), INT_MAX);
      ++at_;
    }
    if (at_ == start) {
      return false;
    }
    out = static_cast<int>(negative ? -value : value);
    return true;
  }

  std::string_view text_; // the receipt text up to its first NUL
  size_t at_ = 0;         // next character to match
};

const char* statWordFor(int state) {
  switch (state) {
  case kStateDelivered:
    return "DELIVRD";
  case kStateUndeliverable:
    return "UNDELIV";
  case kStateExpired:
  case kStateDeleted:
  case kStateAccepted:
    return "EXPIRED";
  default:
    return "UNKNOWN";
  }
}

} // namespace

std::string formatReceiptText(std::string_view messageId, int state, uint8_t error,
                              uint64_t nowMicros) {
  const time_t seconds = static_cast<time_t>(nowMicros / 1000000ULL);
  struct tm broken;
  char date[16] = "";
  if (gmtime_r(&seconds, &broken) != nullptr) {
    strftime(date, sizeof(date), "%y%m%d%H%M", &broken);
  }
  const char* stat = statWordFor(state);
  const int delivered = state == kStateDelivered ? 1 : 0;
  const std::string id(messageId);
  const int length =
      std::snprintf(nullptr, 0, kReceiptFormat, id.c_str(), delivered, date, date, stat, error);
  std::string text(static_cast<size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, kReceiptFormat, id.c_str(), delivered, date, date,
                stat, error);
  return text;
}

std::string formatReceiptText(std::string_view messageId, int state, uint8_t error) {
  return formatReceiptText(messageId, state, error, quorvex::nowMicros());
}

ReceiptInfo parseReceiptText(std::string_view text) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    text = text.substr(0, nul);
  }
  ReceiptInfo info;
  std::string_view words[4];
  const size_t bounds[4] = {kReceiptIdMax, kReceiptWordMax, kReceiptWordMax, kReceiptWordMax};
  int error = 0;
  if (ReceiptScanner(text).scan(words, bounds, error) == 5) {
    info.parsedFully = true;
    info.messageId.assign(words[0]);
    info.error = error;
    for (const StatWord& s : kStatWords) {
      if (words[3] == s.word) {
        info.state = s.state;
        break;
      }
    }
    return info;
  }
  for (const StatWord& s : kStatWords) {
    if (text.find(s.word) != std::string_view::npos) {
      info.state = s.state;
      break;
    }
  }
  return info;
}

} // namespace quorvex::smpp
