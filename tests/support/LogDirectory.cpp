// Runs a suite in a temporary directory, so that the log lines of the
// classes under test ("application.log") land there, not in the build tree.
// Compiled into each suite that wants it: a static library would drop it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "support/TestProcess.h"

namespace {

class LogDirectory : public ::testing::Environment {
public:
  void SetUp() override {
    dir_ = std::make_unique<quorvex::test::TempDir>();
    if (::chdir(dir_->path().c_str()) != 0) {
      FAIL() << "chdir";
    }
  }
  void TearDown() override {
    if (::chdir("/") != 0) {
      return;
    }
    dir_.reset();
  }

private:
  std::unique_ptr<quorvex::test::TempDir> dir_; // working directory of the suite
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LogDirectory);

} // namespace
