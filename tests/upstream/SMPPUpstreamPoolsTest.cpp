// Bind slots, weighted pools and receipt owners as the configuration
// rebuilds them.
#include <tuple>

#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

using PoolTest = UpstreamTest;

uint64_t idOf(const char* target, int bind = 0) { return smscId(target, bind, false); }

TEST_F(PoolTest, TicketsRunByWeightAndBindAndCountOnlyInKnownEnabledSets) {
  addSet("s1", {makeTarget("A", 1, 1, 3), makeTarget("Z", 1, 1, 0), makeTarget("B", 1, 1, 1)});
  addSet("s2", {makeTarget("C", 1, 2, 2), makeTarget("D", 1, 1, 1)});
  addSet("off", {makeTarget("E", 1, 1, 2)}, false);
  upstream_.reinitUpstreamBinds(false);
  SubmitPool& pool = upstream_.submitPool();
  EXPECT_EQ(pool.tickets("s1"),
            (std::vector<uint64_t>{idOf("A"), idOf("A"), idOf("A"), idOf("B")}));
  EXPECT_EQ(pool.tickets("s2"),
            (std::vector<uint64_t>{idOf("C"), idOf("C"), idOf("C", 1), idOf("C", 1), idOf("D")}));
  // Weight zero keeps the slot but gives no tickets.
  EXPECT_EQ(slot(idOf("Z")).smscid, idOf("Z"));
  for (const char* name : {"A", "B", "E"}) {
    pool.setUsable(idOf(name), true);
  }
  EXPECT_EQ(upstream_.nextSMSCFromSubmitPool("s1"), idOf("A"));
  EXPECT_EQ(upstream_.submitPoolSize("s1"), 4);
  EXPECT_EQ(pool.tickets("off").size(), 2u);
  EXPECT_EQ(upstream_.submitPoolSize("off"), 0);
  EXPECT_EQ(upstream_.submitPoolSize("nosuchset"), 0);
  // The queue of a removed set keeps its tickets, but the set is unknown.
  config_.confSharedTargetSets.erase("s1");
  upstream_.reinitUpstreamBinds(true);
  EXPECT_EQ(pool.tickets("s1").size(), 4u);
  EXPECT_EQ(upstream_.submitPoolSize("s1"), 0);
}

TEST_F(PoolTest, PairsAndReceiveOnlyTargetsGiveReceiverSlotsWithoutTickets) {
  ConfTarget pair = makeTarget("P", 1, 2, 1);
  pair.useTxRx = true;
  ConfTarget rxOnly = makeTarget("R", 1, 2, 5);
  rxOnly.useRxOnly = true;
  addSet("s1", {pair, rxOnly});
  upstream_.reinitUpstreamBinds(false);
  const uint64_t p0 = smscId("P", 0, true);
  const uint64_t p1 = smscId("P", 1, true);
  const auto type = [](int t) { return [t](const BindSlot& s) { return s.bindType == t; }; };
  EXPECT_EQ(slotsWhere(type(kBindRX)),
            (std::set<uint64_t>{p0 + 1, p1 + 1, idOf("R"), idOf("R", 1)}));
  EXPECT_EQ(slotsWhere(type(kBindTX)), (std::set<uint64_t>{p0, p1}));
  EXPECT_TRUE(slotsWhere(type(kBindTRX)).empty());
  EXPECT_EQ(slot(p0 + 1).targetName, "P");
  EXPECT_EQ(upstream_.submitPool().tickets("s1"), (std::vector<uint64_t>{p0, p1}));

  // The receiver of a pair takes new settings like its transmitter.
  target().host = "10.0.0.9";
  target().port = 4000;
  target().adminDown = true;
  target().tpsLimit = 9;
  upstream_.reinitUpstreamBinds(true);
  for (const uint64_t id : {p0, p0 + 1}) {
    const BindSlot s = slot(id);
    EXPECT_EQ(std::tie(s.host, s.port, s.adminDown, s.tpsLimit),
              std::tuple("10.0.0.9", 4000u, true, 9u));
  }
  EXPECT_EQ(slot(p0 + 1).bindType, kBindRX);
}

TEST_F(PoolTest, ChangesTakeUnusedSlotsDownAndReuseIdentities) {
  addSet("s1", {makeTarget("old", 1, 1, 1), makeTarget("A", 1, 3, 1)});
  upstream_.reinitUpstreamBinds(false);
  target(0).name = "new";
  target(1).bindQty = 1;
  // The start-up variant skips the pass that takes unused binds down.
  upstream_.reinitUpstreamBinds(false);
  const auto down = [](const BindSlot& s) { return s.adminDown; };
  EXPECT_TRUE(slotsWhere(down).empty());
  upstream_.reinitUpstreamBinds(true);
  EXPECT_EQ(slotsWhere(down), (std::set<uint64_t>{idOf("old"), idOf("A", 1), idOf("A", 2)}));
  EXPECT_EQ(upstream_.submitPool().tickets("s1"), (std::vector<uint64_t>{idOf("new"), idOf("A")}));
  target(1).bindQty = 3;
  upstream_.reinitUpstreamBinds(true);
  EXPECT_EQ(slotsWhere(down), std::set<uint64_t>{idOf("old")});
  EXPECT_EQ(upstream_.submitPool().tickets("s1").size(), 4u);
}

TEST_F(PoolTest, OnlyATargetsSoleEsmeOwnsItsUnknownReceipts) {
  addSet("s1", {makeTarget("A", 1, 2, 1)});
  addSet("s2", {makeTarget("B", 1, 2, 1)});
  config_.confESME["esme1"].sharedTargetSetId = "s1";
  config_.confESME["esme2"].sharedTargetSetId = "nosuchset";
  upstream_.reinitUpstreamBinds(false);
  // Any bind of the target finds the owner, though no id was mapped.
  EXPECT_EQ(tracker_.getMessageIDMapping(idOf("A", 1), "never-seen").value_or(""), "esme1");
  // A second account reaching the target through its own rule: nobody's.
  config_.confESME["esme2"].routesMT.push_back(
      {{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", "1"}}},
       {"targetset", "s1"}});
  upstream_.reinitUpstreamBinds(true);
  EXPECT_FALSE(tracker_.getMessageIDMapping(idOf("A", 1), "never-seen").has_value());
  EXPECT_FALSE(tracker_.getMessageIDMapping(idOf("B"), "never-seen").has_value());
}

} // namespace
} // namespace quorvex::upstream::test
