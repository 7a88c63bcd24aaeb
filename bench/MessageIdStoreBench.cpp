// Fills the on-disk message-id store with COUNT live mappings and reports
// what they cost: memory of the process holding them, put and take rates,
// and the time to close and reopen the store.
//
//   quorvex-msgstore-bench DIRECTORY COUNT
//
// Prints one line of key=value pairs. Puts are paced at one sync per 100 000
// so the queue in front of the disk stays as short as in a gateway, whose
// submit rate is far below the store's.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "tracker/DiskMessageIdStore.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A /proc/self/status figure in MiB ("VmRSS", "VmHWM").
double statusMiB(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) {
      return std::strtod(line.c_str() + key.size() + 1, nullptr) / 1024.0;
    }
  }
  return 0;
}

// An SMSC-style message id: 16 hexadecimal digits.
std::string idOf(uint64_t n) {
  char text[24];
  std::snprintf(text, sizeof(text), "%016llx",
                static_cast<unsigned long long>(n * 0x9E3779B97F4A7C15ULL));
  return text;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIRECTORY COUNT\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const uint64_t count = std::strtoull(argv[2], nullptr, 10);
  std::string error;
  auto store = quorvex::DiskMessageIdStore::open(path, 72 * 3600, error);
  if (store == nullptr) {
    std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  const auto fillStart = Clock::now();
  for (uint64_t i = 0; i < count; ++i) {
    store->put(i & 0xFF, idOf(i), "esme" + std::to_string(i % 50));
    if (i % 100000 == 99999) {
      store->sync();
    }
  }
  store->sync();
  const double fillSeconds = secondsSince(fillStart);
  const double rss = statusMiB("VmRSS");
  const double hwm = statusMiB("VmHWM");

  std::mt19937_64 random(42);
  const uint64_t takes = std::min<uint64_t>(count, 100000);
  uint64_t found = 0;
  const auto takeStart = Clock::now();
  for (uint64_t i = 0; i < takes; ++i) {
    const uint64_t n = random() % count;
    found += store->take(n & 0xFF, idOf(n)).has_value() ? 1 : 0;
  }
  const double takeSeconds = secondsSince(takeStart);

  const auto closeStart = Clock::now();
  store.reset();
  const double closeSeconds = secondsSince(closeStart);
  const auto openStart = Clock::now();
  store = quorvex::DiskMessageIdStore::open(path, 72 * 3600, error);
  const double openSeconds = secondsSince(openStart);
  std::printf("mappings=%llu put_per_s=%.0f rss_mib=%.1f hwm_mib=%.1f take_us=%.1f found=%llu/%llu "
              "close_ms=%.0f reopen_ms=%.0f\n",
              static_cast<unsigned long long>(count), count / fillSeconds, rss, hwm,
              takes > 0 ? takeSeconds * 1e6 / takes : 0.0, static_cast<unsigned long long>(found),
              static_cast<unsigned long long>(takes), closeSeconds * 1000, openSeconds * 1000);
  return store != nullptr ? 0 : 1;
}
