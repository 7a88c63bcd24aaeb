// Bind slots, weighted pools and receipt owners as the configuration
// rebuilds them.
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

using PoolTest = UpstreamTest;

uint64_t bind0(const char* target) { return smscId(target, 0, false); }

TEST_F(PoolTest, TicketsRunByWeightAndBindAndCountOnlyInKnownEnabledSets) {
  addSet("s1", {makeTarget("A", 1, 1, 3), makeTarget("Z", 1, 1, 0), makeTarget("B", 1, 1, 1)});
  addSet("s2", {makeTarget("C", 1, 2, 2), makeTarget("D", 1, 1, 1)});
  addSet("off", {makeTarget("E", 1, 1, 2)}, false);
  upstream_.reinitUpstreamBinds(false);
  const uint64_t a = bind0("A");
  const uint64_t c1 = smscId("C", 1, false);
  SubmitPool& pool = upstream_.submitPool();
  EXPECT_EQ(pool.tickets("s1"), (std::vector<uint64_t>{a, a, a, bind0("B")}));
  EXPECT_EQ(pool.tickets("s2"),
            (std::vector<uint64_t>{bind0("C"), bind0("C"), c1, c1, bind0("D")}));
  // Weight zero keeps the slot but gives no tickets.
  EXPECT_EQ(slot(bind0("Z")).smscid, bind0("Z"));
  for (const char* name : {"A", "B", "E"}) {
    pool.setUsable(bind0(name), true);
  }
  EXPECT_EQ(upstream_.nextSMSCFromSubmitPool("s1"), a);
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
  EXPECT_EQ(slot(p0).bindType, kBindTX);
  EXPECT_EQ(slot(p0 + 1).bindType, kBindRX);
  EXPECT_EQ(slot(p1).bindType, kBindTX);
  EXPECT_EQ(slot(p1 + 1).bindType, kBindRX);
  EXPECT_EQ(slot(p0 + 1).targetName, "P");
  EXPECT_EQ(slot(bind0("R")).bindType, kBindRX);
  EXPECT_EQ(slot(smscId("R", 1, false)).bindType, kBindRX);
  EXPECT_EQ(slot(bind0("R") + 2).smscid, 0u);
  EXPECT_EQ(upstream_.submitPool().tickets("s1"), (std::vector<uint64_t>{p0, p1}));

  // The receiver of a pair takes new settings like its transmitter.
  target().host = "10.0.0.9";
  target().port = 4000;
  target().adminDown = true;
  target().tpsLimit = 9;
  upstream_.reinitUpstreamBinds(true);
  for (const uint64_t id : {p0, p0 + 1}) {
    const BindSlot changed = slot(id);
    EXPECT_EQ(changed.host, "10.0.0.9");
    EXPECT_EQ(changed.port, 4000u);
    EXPECT_TRUE(changed.adminDown);
    EXPECT_EQ(changed.tpsLimit, 9u);
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
  EXPECT_FALSE(slot(bind0("old")).adminDown);
  EXPECT_FALSE(slot(smscId("A", 1, false)).adminDown);
  upstream_.reinitUpstreamBinds(true);
  EXPECT_TRUE(slot(bind0("old")).adminDown);
  EXPECT_FALSE(slot(bind0("new")).adminDown);
  EXPECT_FALSE(slot(bind0("A")).adminDown);
  EXPECT_TRUE(slot(smscId("A", 1, false)).adminDown);
  EXPECT_TRUE(slot(smscId("A", 2, false)).adminDown);
  EXPECT_EQ(upstream_.submitPool().tickets("s1"),
            (std::vector<uint64_t>{bind0("new"), bind0("A")}));
  target(1).bindQty = 3;
  upstream_.reinitUpstreamBinds(true);
  EXPECT_FALSE(slot(smscId("A", 1, false)).adminDown);
  EXPECT_FALSE(slot(smscId("A", 2, false)).adminDown);
  EXPECT_EQ(upstream_.submitPool().tickets("s1").size(), 4u);
}

TEST_F(PoolTest, OnlyATargetsSoleEsmeOwnsItsUnknownReceipts) {
  addSet("s1", {makeTarget("A", 1, 2, 1)});
  addSet("s2", {makeTarget("B", 1, 2, 1)});
  config_.confESME["esme1"].sharedTargetSetId = "s1";
  config_.confESME["esme2"].sharedTargetSetId = "nosuchset";
  upstream_.reinitUpstreamBinds(false);
  // Any bind of the target finds the owner, though no id was mapped.
  EXPECT_EQ(tracker_.getMessageIDMapping(smscId("A", 1, false), "never-seen").value_or(""),
            "esme1");
  // A second account reaching the target through its own rule: nobody's.
  config_.confESME["esme2"].routesMT.push_back(
      {{"criteria", {{"match", "destination"}, {"type", "exact"}, {"value", "1"}}},
       {"targetset", "s1"}});
  upstream_.reinitUpstreamBinds(true);
  EXPECT_FALSE(tracker_.getMessageIDMapping(smscId("A", 1, false), "never-seen").has_value());
  EXPECT_FALSE(tracker_.getMessageIDMapping(bind0("B"), "never-seen").has_value());
}

} // namespace
} // namespace quorvex::upstream::test
