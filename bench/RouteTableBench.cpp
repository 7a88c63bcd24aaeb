// Times the compilation of a global MT rule list of COUNT "exact" rules (the
// shape of the routing scenario: none matches but the last), which happens
// once after every configuration change that alters the list.
//
//   quorvex-route-bench COUNT
//
// Prints one line of key=value pairs: the best of five compilations and of
// five comparisons of the list with the one compiled before (the check that
// decides whether to compile at all), in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "downstream/RouteTable.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

nlohmann::json exactRule(const std::string& value) {
  return {{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", value}}},
          {"targetset", "bench"}};
}

std::vector<nlohmann::json> rules(long count) {
  std::vector<nlohmann::json> out;
  out.reserve(static_cast<size_t>(count));
  char value[32];
  for (long i = 0; i + 1 < count; ++i) {
    std::snprintf(value, sizeof(value), "3%010ld", i);
    out.push_back(exactRule(value));
  }
  out.push_back(exactRule("4915550002"));
  return out;
}

} // namespace

int main(int argc, char** argv) {
  const long count = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (count < 1 || count > 10000000) {
    std::fprintf(stderr, "usage: quorvex-route-bench COUNT (1 to 10000000)\n");
    return 2;
  }
  const std::vector<nlohmann::json> list = rules(count);
  const std::vector<nlohmann::json> copy = list;
  double compile = 1e300;
  double compare = 1e300;
  size_t kept = 0;
  for (int round = 0; round < 5; ++round) {
    Clock::time_point start = Clock::now();
    const quorvex::RouteTable table(list);
    compile = std::min(compile, millisSince(start));
    kept = table.size();
    start = Clock::now();
    const bool same = table.source() == copy;
    compare = std::min(compare, millisSince(start));
    if (!same) {
      return 1;
    }
  }
  std::printf("route-bench rules=%ld kept=%zu compile_ms=%.1f compare_ms=%.1f\n", count, kept,
              compile, compare);
  return 0;
}
