// Bind slots, smscid identities, weighted pools and their rebuilds.
#include <gtest/gtest.h>

#include <random>

#include "tracker/SmscId.h"
#include "upstream/SubmitPool.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

std::vector<uint64_t> take(SMPPUpstream& upstream, const std::string& set, int n) {
  std::vector<uint64_t> out;
  for (int i = 0; i < n; ++i) {
    out.push_back(upstream.nextSMSCFromSubmitPool(set));
  }
  return out;
}

// The rotation as it was before usable tickets were indexed: every take
// moves the front by one, and the caller tries candidates until one is
// usable or every ticket was tried.
struct WalkedRing {
  std::vector<uint64_t> tickets;
  size_t front = 0;

  uint64_t take(const std::set<uint64_t>& usable) {
    for (size_t tried = 0; tried < tickets.size(); ++tried) {
      const uint64_t id = tickets[front];
      front = (front + 1) % tickets.size();
      if (usable.count(id) != 0) {
        return id;
      }
    }
    return 0;
  }
  void append(uint64_t id, int weight) {
    tickets.insert(tickets.begin() + static_cast<std::ptrdiff_t>(front), weight, id);
    front = tickets.empty() ? 0 : (front + static_cast<size_t>(weight)) % tickets.size();
  }
};

TEST(SubmitPoolTicketTest, IndexedTakesPickWhatTryingEachTicketInTurnPicked) {
  std::mt19937 random(7);
  TarnConfiguration config;
  config.confSharedTargetSets["s"].submitsEnabled = true;
  for (int round = 0; round < 200; ++round) {
    SubmitPool pool;
    WalkedRing walked;
    std::set<uint64_t> usable;
    for (int step = 0; step < 60; ++step) {
      const uint64_t id = 1 + random() % 6;
      switch (random() % 8) {
      case 0: {
        const int weight = static_cast<int>(random() % 4);
        pool.append("s", id, weight);
        walked.append(id, weight);
        break;
      }
      case 1: {
        const bool on = usable.count(id) == 0;
        if (on) {
          usable.insert(id);
        } else {
          usable.erase(id);
        }
        pool.setUsable(id, on);
        break;
      }
      case 2:
        if (random() % 8 == 0) {
          pool.clear("s");
          walked = WalkedRing();
        }
        break;
      default:
        ASSERT_EQ(pool.next("s"), walked.take(usable)) << "round " << round << " step " << step;
      }
      const auto usableTickets = std::count_if(walked.tickets.begin(), walked.tickets.end(),
                                               [&](uint64_t t) { return usable.count(t) != 0; });
      ASSERT_EQ(pool.usableSize("s", config), usableTickets);
    }
  }
}

using PoolTest = UpstreamTest;

TEST_F(PoolTest, WeightsGiveRunsAndBindsOfOneTargetTakeTheirTicketsInTurn) {
  addSet("s1", {makeTarget("A", 1, 1, 3), makeTarget("B", 1, 1, 1)});
  addSet("s2", {makeTarget("C", 1, 2, 2), makeTarget("D", 1, 1, 1)});
  upstream_->reinitUpstreamBinds(false);
  const uint64_t a = smscId("A", 0, false);
  const uint64_t b = smscId("B", 0, false);
  for (const char* name : {"A", "B", "C", "D"}) {
    upstream_->submitPool().setUsable(smscId(name, 0, false), true);
  }
  upstream_->submitPool().setUsable(smscId("C", 1, false), true);
  EXPECT_EQ(upstream_->submitPoolSize("s1"), 4);
  EXPECT_EQ(take(*upstream_, "s1", 8), (std::vector<uint64_t>{a, a, a, b, a, a, a, b}));
  const uint64_t c0 = smscId("C", 0, false);
  const uint64_t c1 = smscId("C", 1, false);
  EXPECT_EQ(c1, c0 + 1);
  EXPECT_EQ(take(*upstream_, "s2", 5),
            (std::vector<uint64_t>{c0, c0, c1, c1, smscId("D", 0, false)}));
}

TEST_F(PoolTest, WeightZeroDisabledUnknownAndRemovedSetsHaveNoUsableTickets) {
  addSet("zero", {makeTarget("Z", 1, 1, 0), makeTarget("Y", 1, 1, 1)});
  addSet("off", {makeTarget("A", 1, 1, 2)}, false);
  addSet("gone", {makeTarget("B", 1, 1, 2)});
  upstream_->reinitUpstreamBinds(false);
  upstream_->submitPool().setUsable(smscId("A", 0, false), true);
  upstream_->submitPool().setUsable(smscId("B", 0, false), true);
  // Weight zero keeps the slot but gives no tickets.
  EXPECT_TRUE(hasSlot(smscId("Z", 0, false)));
  EXPECT_EQ(upstream_->submitPool().tickets("zero"),
            (std::vector<uint64_t>{smscId("Y", 0, false)}));
  EXPECT_EQ(upstream_->submitPool().tickets("off").size(), 2u);
  EXPECT_EQ(upstream_->submitPoolSize("off"), 0);
  EXPECT_EQ(upstream_->submitPoolSize("nosuchset"), 0);
  EXPECT_EQ(upstream_->submitPoolSize("gone"), 2);
  config_.confSharedTargetSets.erase("gone");
  upstream_->reinitUpstreamBinds(true);
  // The queue of a removed set keeps its tickets, but the set is unknown.
  EXPECT_EQ(upstream_->submitPool().tickets("gone").size(), 2u);
  EXPECT_EQ(upstream_->submitPoolSize("gone"), 0);
}

TEST_F(PoolTest, TxRxPairsGiveTransmitterAndReceiverSlotsThatTakeNewSettingsAlike) {
  ConfTarget t = makeTarget("P", 1, 2, 1);
  t.useTxRx = true;
  addSet("s1", {t});
  upstream_->reinitUpstreamBinds(false);
  const uint64_t base = smscId("P", 0, true);
  EXPECT_EQ(slot(base).bindType, kBindTX);
  EXPECT_EQ(slot(base + 1).bindType, kBindRX);
  EXPECT_EQ(slot(base + 2).bindType, kBindTX);
  EXPECT_EQ(slot(base + 3).bindType, kBindRX);
  EXPECT_EQ(smscId("P", 1, true), base + 2);
  EXPECT_EQ(upstream_->submitPool().tickets("s1"), (std::vector<uint64_t>{base, base + 2}));
  EXPECT_EQ(slot(base + 1).targetName, "P");

  ConfTarget& changed = config_.confSharedTargetSets["s1"].targets[0];
  changed.port = 4000;
  changed.adminDown = true;
  changed.tpsLimit = 9;
  upstream_->reinitUpstreamBinds(true);
  const BindSlot rx = slot(base + 1);
  EXPECT_EQ(rx.port, 4000u);
  EXPECT_TRUE(rx.adminDown);
  EXPECT_EQ(rx.tpsLimit, 9u);
  EXPECT_EQ(rx.bindType, kBindRX);
}

TEST_F(PoolTest, ReceiveOnlyTargetsBindAsReceiverWithoutTickets) {
  ConfTarget t = makeTarget("R", 1, 2, 5);
  t.useRxOnly = true;
  addSet("s1", {t, makeTarget("B", 1, 1, 1)});
  upstream_->reinitUpstreamBinds(false);
  EXPECT_EQ(slot(smscId("R", 0, false)).bindType, kBindRX);
  EXPECT_EQ(slot(smscId("R", 1, false)).bindType, kBindRX);
  EXPECT_FALSE(hasSlot(smscId("R", 0, false) + 2));
  EXPECT_EQ(upstream_->submitPool().tickets("s1"), (std::vector<uint64_t>{smscId("B", 0, false)}));
}

TEST_F(PoolTest, RenamingATargetLeavesTheOldSlotsAdminDown) {
  addSet("s1", {makeTarget("old", 1, 1, 1)});
  upstream_->reinitUpstreamBinds(false);
  config_.confSharedTargetSets["s1"].targets[0].name = "new";
  upstream_->reinitUpstreamBinds(true);
  EXPECT_TRUE(slot(smscId("old", 0, false)).adminDown);
  EXPECT_FALSE(slot(smscId("new", 0, false)).adminDown);
  EXPECT_EQ(upstream_->submitPool().tickets("s1"),
            (std::vector<uint64_t>{smscId("new", 0, false)}));
}

TEST_F(PoolTest, LoweringAndRaisingBindQuantityReusesIdentities) {
  addSet("s1", {makeTarget("A", 1, 3, 1)});
  upstream_->reinitUpstreamBinds(false);
  config_.confSharedTargetSets["s1"].targets[0].bindQty = 1;
  // The start-up variant skips the pass that takes unused binds down.
  upstream_->reinitUpstreamBinds(false);
  EXPECT_FALSE(slot(smscId("A", 1, false)).adminDown);
  upstream_->reinitUpstreamBinds(true);
  EXPECT_FALSE(slot(smscId("A", 0, false)).adminDown);
  EXPECT_TRUE(slot(smscId("A", 1, false)).adminDown);
  EXPECT_TRUE(slot(smscId("A", 2, false)).adminDown);
  config_.confSharedTargetSets["s1"].targets[0].bindQty = 3;
  upstream_->reinitUpstreamBinds(true);
  EXPECT_FALSE(slot(smscId("A", 1, false)).adminDown);
  EXPECT_FALSE(slot(smscId("A", 2, false)).adminDown);
  EXPECT_EQ(upstream_->submitPool().tickets("s1").size(), 3u);
}

TEST_F(PoolTest, ChangeKeepsConnectionStateAndResetsRotation) {
  addSet("s1", {makeTarget("A", 1, 1, 1), makeTarget("B", 1, 1, 1)});
  upstream_->reinitUpstreamBinds(false);
  upstream_->submitPool().setUsable(smscId("A", 0, false), true);
  upstream_->submitPool().setUsable(smscId("B", 0, false), true);
  EXPECT_EQ(upstream_->nextSMSCFromSubmitPool("s1"), smscId("A", 0, false));
  config_.confSharedTargetSets["s1"].targets[1].host = "10.0.0.9";
  upstream_->reinitUpstreamBinds(true);
  EXPECT_EQ(slot(smscId("B", 0, false)).host, "10.0.0.9");
  EXPECT_EQ(upstream_->nextSMSCFromSubmitPool("s1"), smscId("A", 0, false));
}

TEST_F(PoolTest, OnlyATargetsSoleEsmeOwnsItsUnknownReceipts) {
  addSet("s1", {makeTarget("A", 1, 2, 1)});
  addSet("s2", {makeTarget("B", 1, 2, 1)});
  addEsme("esme1", "s1");
  addEsme("esme2", "nosuchset");
  upstream_->reinitUpstreamBinds(false);
  // Any bind of the target finds the owner, though no id was mapped.
  EXPECT_EQ(tracker_.getMessageIDMapping(smscId("A", 1, false), "never-seen").value_or(""),
            "esme1");
  // A second account reaching the target through its own rule: nobody's.
  config_.confESME["esme2"].routesMT.push_back(
      {{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", "1"}}},
       {"targetset", "s1"}});
  upstream_->reinitUpstreamBinds(true);
  EXPECT_FALSE(tracker_.getMessageIDMapping(smscId("A", 1, false), "never-seen").has_value());
  EXPECT_FALSE(tracker_.getMessageIDMapping(smscId("B", 0, false), "never-seen").has_value());
}

} // namespace
} // namespace quorvex::upstream::test
