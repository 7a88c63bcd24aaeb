// The log writers' line formats, threshold, message cut and size rotation,
// checked on real files in a temporary working directory.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/Log.h"
#include "support/TestProcess.h"

namespace quorvex {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class LogTest : public ::testing::Test {
protected:
  LogTest() {
    std::filesystem::current_path(dir_.path());
    setLogLevel(LOG_INFO);
  }
  ~LogTest() override { closeAuditLog(); }
  // A file of `size` bytes whose content is not read back (sparse).
  void makeFile(const std::string& name, uintmax_t size) {
    dir_.write(name, "");
    std::filesystem::resize_file(dir_.file(name), size);
  }
  uintmax_t sizeOf(const std::string& name) { return std::filesystem::file_size(dir_.file(name)); }
  // `text` with every digit shown as 9, so that lines with time stamps compare whole.
  static std::string digitsAs9(std::string text) {
    std::replace_if(text.begin(), text.end(), ::isdigit, '9');
    return text;
  }

  test::TempDir dir_;
};

TEST_F(LogTest, ThresholdLineFormatAndMessageCut) {
  CaptureStdout();
  logApplication(LOG_FINE, nullptr, "C", "f", "just below the threshold");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(dir_.exists("application.log"));

  CaptureStdout();
  // The object is only printed, right-aligned in 12 columns like the null pointer's text.
  logApplication(LOG_INFO, reinterpret_cast<void*>(0xfacade), "Tracker", "load", "%s of %x",
                 "value", 0xab);
  logApplication(LOG_WARNING, nullptr, "Application", "main", "absent");
  // A long message is cut to 1023 characters.
  logApplication(LOG_INFO, nullptr, "C", "f", "%s", std::string(2000, 'a').c_str());
  const std::string console = GetCapturedStdout();
  // The console and the file carry the same text.
  EXPECT_EQ(console, dir_.read("application.log"));
  EXPECT_EQ(digitsAs9(console), "9999999999.999999     9xfacade    INFO Tracker::load value of ab\n"
                                "9999999999.999999        (nil) WARNING Application::main absent\n"
                                "9999999999.999999        (nil)    INFO C::f " +
                                    std::string(1023, 'a') + "\n");
}

TEST_F(LogTest, ApplicationLogRotatesOnlyAboveLimit) {
  dir_.write("application.1.log", "older generation");
  makeFile("application.log", kLogRotateBytes);
  CaptureStdout();
  logApplication(LOG_INFO, nullptr, "C", "f", "at the limit");
  const std::string first = GetCapturedStdout();
  // Exactly 32 MiB is not more than the limit: the line is appended.
  EXPECT_EQ(sizeOf("application.log"), kLogRotateBytes + first.size());
  EXPECT_EQ(dir_.read("application.1.log"), "older generation");

  CaptureStdout();
  logApplication(LOG_INFO, nullptr, "C", "f", "beyond the limit");
  // Now the old file became the predecessor, replacing the earlier one.
  EXPECT_EQ(dir_.read("application.log"), GetCapturedStdout());
  EXPECT_EQ(sizeOf("application.1.log"), kLogRotateBytes + first.size());
}

TEST_F(LogTest, AuditChecksSizeEveryThousandLines) {
  makeFile("audit.log", kLogRotateBytes + 1);
  for (int i = 1; i <= 999; ++i) {
    logAudit(nullptr, "SMPPUpstream", "sendSubmitSM", "line %d", i);
  }
  // Past the limit, but the size is only looked at on the 1000th line.
  EXPECT_FALSE(dir_.exists("audit.1.log"));
  EXPECT_GT(sizeOf("audit.log"), static_cast<uintmax_t>(kLogRotateBytes + 1));

  logAudit(nullptr, "SMPPUpstream", "sendSubmitSM", "the last");
  ASSERT_TRUE(dir_.exists("audit.1.log"));
  EXPECT_EQ(digitsAs9(dir_.read("audit.log")),
            "9999999999.999999        (nil) SMPPUpstream::sendSubmitSM the last\n");

  closeAuditLog();
  // After closing, the next line reopens the file and appends.
  logAudit(nullptr, "A", "b", "after close");
  EXPECT_NE(dir_.read("audit.log").find("A::b after close\n"), std::string::npos);
}

} // namespace
} // namespace quorvex
