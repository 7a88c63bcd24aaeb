// The weighted submit pool under random appends, clears, binds coming up
// and going, and takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "config/TarnConfiguration.h"
#include "upstream/SubmitPool.h"

namespace quorvex {

// A take answers the first usable ticket from the front and moves the front
// past it, exactly as trying each ticket in turn would.
TEST(SubmitPoolTest, TakesPickTheFirstUsableTicketAndRotatePastIt) {
  std::mt19937 random(7);
  TarnConfiguration config;
  config.confSharedTargetSets["s"].submitsEnabled = true;
  for (int round = 0; round < 200; ++round) {
    SubmitPool pool;
    std::set<uint64_t> usable;
    const auto isUsable = [&](uint64_t t) { return usable.count(t) != 0; };
    for (int step = 0; step < 60; ++step) {
      const uint64_t id = 1 + random() % 6;
      const size_t weight = random() % 4;
      std::vector<uint64_t> queue = pool.tickets("s");
      switch (random() % 8) {
      case 0: // at the back of the rotated queue
        queue.insert(queue.end(), weight, id);
        pool.append("s", id, static_cast<int>(weight));
        break;
      case 1:
        pool.setUsable(id, usable.insert(id).second || usable.erase(id) == 0); // toggles
        break;
      case 2:
        if (weight == 0) {
          pool.clear("s");
          queue.clear();
        }
        break;
      default:
        const auto first = std::find_if(queue.begin(), queue.end(), isUsable);
        ASSERT_EQ(pool.next("s"), first == queue.end() ? 0 : *first) << round << "/" << step;
        std::rotate(queue.begin(), first == queue.end() ? first : first + 1, queue.end());
      }
      ASSERT_EQ(pool.tickets("s"), queue) << round << "/" << step;
      ASSERT_EQ(pool.usableSize("s", config), std::count_if(queue.begin(), queue.end(), isUsable));
    }
  }
}

} // namespace quorvex
