#include <gtest/gtest.h>

#include <tuple>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPTime.h"

namespace quorvex::smpp {
namespace {

constexpr uint64_t kNoon = 1704110400000000ULL; // 2024-01-01 12:00:00 UTC
constexpr int64_t kNoonSeconds = 1704110400;

// (parsedFully, messageId, state, error) of a parsed receipt.
std::tuple<bool, std::string, int, int> parsed(std::string_view text) {
  const ReceiptInfo info = parseReceiptText(text);
  return {info.parsedFully, info.messageId, info.state, info.error};
}

TEST(SMPPTimeTest, AbsoluteAndIsoFormats) {
  EXPECT_EQ(formatSMPPAbsoluteTime(kNoon), "240101120000000+");
  EXPECT_EQ(formatSMPPAbsoluteTime(kNoon + 999999), "240101120000000+");
  EXPECT_EQ(formatSMPPAbsoluteTime(0), "");
  EXPECT_EQ(formatISOTime(kNoon * 1000 + 999), "2024-01-01T12:00:00Z");
  EXPECT_EQ(formatISOTime(0), "1970-01-01T00:00:00Z");
}

TEST(SMPPTimeTest, ParseOffsetsCenturyAndRelative) {
  EXPECT_EQ(parseSMPPAbsoluteTime("240101120000000+"), kNoonSeconds);
  EXPECT_EQ(parseSMPPAbsoluteTime("240101120000004+"), kNoonSeconds - 3600);
  EXPECT_EQ(parseSMPPAbsoluteTime("240101120000004-"), kNoonSeconds + 3600);
  EXPECT_EQ(parseSMPPAbsoluteTime("240101120000004R"), kNoonSeconds);
  EXPECT_EQ(parseSMPPAbsoluteTime("690101000000000+"), 3124224000);
  EXPECT_EQ(parseSMPPAbsoluteTime("700102000000000+"), 86400);
  EXPECT_EQ(parseSMPPAbsoluteTime("2401011200"), 0);
  EXPECT_EQ(parseSMPPRelativeTime("000001020304000R"), 93784);
  EXPECT_EQ(parseSMPPRelativeTime("010000000000000R"), 0);
  EXPECT_EQ(parseSMPPRelativeTime("0000010203"), 0);
}

TEST(ReceiptTextTest, FormatLayoutAtAGivenOrTheCurrentMinute) {
  EXPECT_EQ(formatReceiptText("m1", kStateDelivered, 0, kNoon + 59 * 1000000ULL),
            "id:m1 sub:000 dlvrd:001 submit date:2401011200 done date:2401011200 stat:DELIVRD "
            "err:000 text:");
  EXPECT_EQ(formatReceiptText("x", kStateUndeliverable, 255, kNoon),
            "id:x sub:000 dlvrd:000 submit date:2401011200 done date:2401011200 stat:UNDELIV "
            "err:255 text:");
  for (int state : {0, 1, 3, 4, 6, 7, 8, 42}) {
    const char* word = state == 3 || state == 4 || state == 6 ? " stat:EXPIRED " : " stat:UNKNOWN ";
    EXPECT_NE(formatReceiptText("x", state, 0, kNoon).find(word), std::string::npos) << state;
  }
  // Without a time the current minute is used.
  EXPECT_EQ(parsed(formatReceiptText("m1", kStateDelivered, 0)),
            std::tuple(true, "m1", kStateDelivered, 0));
}

TEST(ReceiptTextTest, ParseFullAndFallback) {
  EXPECT_EQ(parsed("id:abc123 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 "
                   "stat:SKIPPED err:012 text:hello"),
            std::tuple(true, "abc123", kStateRejected, 12));
  // Exact match only in the full parse: a lower-case word is no state.
  EXPECT_EQ(parsed("id:a sub:1 dlvrd:1 submit date:1 done date:1 stat:delivrd err:1 text:"),
            std::tuple(true, "a", kStateNone, 1));
  EXPECT_EQ(parsed("stat:UNDELIV"), std::tuple(false, "", kStateUndeliverable, 0));
  EXPECT_EQ(parseReceiptText("UNDELIVERABLE then DELIVRD").state, kStateDelivered);
  EXPECT_EQ(parseReceiptText("nothing here").state, kStateNone);
  // The text ends at its first NUL.
  EXPECT_EQ(parseReceiptText(std::string_view("x\0DELIVRD", 9)).state, kStateNone);
}

TEST(ReceiptTextTest, OverlongWordsAreNotParsedFully) {
  const std::string tail = " sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 "
                           "stat:DELIVRD err:000 text:";
  EXPECT_TRUE(parseReceiptText("id:" + std::string(kReceiptIdMax, 'a') + tail).parsedFully);
  // One octet over: a scanf with a width would cut the id and read on.
  EXPECT_EQ(parsed("id:" + std::string(kReceiptIdMax + 1, 'a') + tail),
            std::tuple(false, "", kStateDelivered, 0));
  EXPECT_FALSE(parseReceiptText("id:a sub:1 dlvrd:1 submit date:1 done date:1 stat:" +
                                std::string(500, 'Z') + " err:1")
                   .parsedFully);
}

} // namespace
} // namespace quorvex::smpp
