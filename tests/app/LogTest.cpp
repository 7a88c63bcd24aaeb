// The log writers' line formats, threshold, message cut and size rotation,
// checked on real files in a temporary working directory.
#include <filesystem>
#include <regex>
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
  void SetUp() override {
    std::filesystem::current_path(dir_.path());
    setLogLevel(LOG_INFO);
  }
  void TearDown() override {
    closeAuditLog();
    std::filesystem::current_path(previous_);
  }
  // A file of `size` bytes whose content is not read back (sparse).
  void makeFile(const std::string& name, uintmax_t size) {
    dir_.write(name, "");
    std::filesystem::resize_file(dir_.file(name), size);
  }
  uintmax_t sizeOf(const std::string& name) { return std::filesystem::file_size(dir_.file(name)); }

  test::TempDir dir_;
  const std::filesystem::path previous_ = std::filesystem::current_path();
};

TEST_F(LogTest, ThresholdLineFormatAndMessageCut) {
  CaptureStdout();
  logApplication(LOG_DEBUG, nullptr, "C", "f", "debug");
  logApplication(LOG_FINEST, nullptr, "C", "f", "finest");
  logApplication(LOG_FINE, nullptr, "C", "f", "fine");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(dir_.exists("application.log"));

  int object = 0;
  CaptureStdout();
  logApplication(LOG_INFO, &object, "Tracker", "load", "value %d of %s", 42, "x");
  logApplication(LOG_WARNING, nullptr, "Application", "main", "absent");
  // A long message is cut to 1023 characters.
  logApplication(LOG_INFO, nullptr, "C", "f", "%s", std::string(2000, 'a').c_str());
  const std::string console = GetCapturedStdout();
  // The console and the file carry the same text.
  EXPECT_EQ(console, dir_.read("application.log"));
  const std::regex info(R"(^\d+\.\d{6} +0x[0-9a-f]+    INFO Tracker::load value 42 of x\n)");
  EXPECT_TRUE(std::regex_search(console, info)) << console;
  // A missing object prints the null-pointer text right-aligned in 12 columns.
  EXPECT_NE(console.find("        (nil) WARNING Application::main absent\n"), std::string::npos)
      << console;
  const std::string cutTail = " C::f " + std::string(1023, 'a') + "\n";
  ASSERT_GE(console.size(), cutTail.size());
  EXPECT_EQ(console.substr(console.size() - cutTail.size()), cutTail);
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

  logAudit(nullptr, "SMPPUpstream", "sendSubmitSM", "line %d", 1000);
  ASSERT_TRUE(dir_.exists("audit.1.log"));
  const std::string fresh = dir_.read("audit.log");
  const std::regex line(R"(^\d+\.\d{6} +\(nil\) SMPPUpstream::sendSubmitSM line 1000\n$)");
  EXPECT_TRUE(std::regex_match(fresh, line)) << fresh;

  closeAuditLog();
  // After closing, the next line reopens the file and appends.
  logAudit(nullptr, "A", "b", "after close");
  EXPECT_NE(dir_.read("audit.log").find("A::b after close\n"), std::string::npos);
}

} // namespace
} // namespace quorvex
