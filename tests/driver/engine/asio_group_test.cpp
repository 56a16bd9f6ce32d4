#include "driver/engine/asio_group.h"

#include <memory>

#include <gtest/gtest.h>

#include "platform/sim/machine.h"

namespace {

// One member unit's side of the group: its block, stamp and state words.
struct Member {
  Member() {
    pair = {&SharedBlockService, &block};
    record = {&pair, &stamp, &position, &frameOffset, &cycleState};
  }
  AsioSharedBlock block = {};
  SHARED_BLOCK_SERVICE_PAIR pair;
  ASIO_SLOT_STAMP stamp = {};
  LONG position = 0, frameOffset = 0, cycleState = 0;
  AsioMemberRecord record;
};

class AsioGroupTest : public testing::Test {
 protected:
  AsioGroupTest() : group(std::make_unique<CAsioGroup>()) {
    group->Initialize();
    KeInitializeEvent(&switchEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&statusEvent, NotificationEvent, FALSE);
  }
  ULONG Call(ULONG command, ULONG_PTR a = 0, ULONG_PTR b = 0, ULONG_PTR c = 0) {
    return AsioGroupService(group.get(), command, a, b, c);
  }
  void Register(ULONG slot, Member& m) {
    Call(AgSetMember, slot, reinterpret_cast<ULONG_PTR>(&AsioMemberQuery),
         reinterpret_cast<ULONG_PTR>(&m.record));
  }
  ULONG Offer(ULONG slot, ULONG time) {
    ASIO_SLOT_STAMP offered = {slot, time};
    return Call(AgOfferPair, reinterpret_cast<ULONG_PTR>(&offered));
  }

  sim::Machine machine;
  std::unique_ptr<CAsioGroup> group;
  KEVENT switchEvent, statusEvent;
  Member a, b;
};

TEST_F(AsioGroupTest, MemberQueries) {
  a.position = 1000;
  a.frameOffset = -5;
  a.stamp.SlotIndex = 17;
  a.cycleState = AsioCycleRunning;
  EXPECT_EQ(AsioMemberQuery(&a.record, AsioQueryPositionSnapshot), 1000u);
  EXPECT_EQ(static_cast<LONG>(AsioMemberQuery(&a.record, AsioQueryFrameOffset)), -5);
  EXPECT_EQ(AsioMemberQuery(&a.record, AsioQuerySlotIndex), 17u);
  EXPECT_EQ(AsioMemberQuery(&a.record, AsioQueryCycleState), 4u);
  EXPECT_EQ(AsioMemberQuery(&a.record, AsioQueryRealigning), 0u);
  a.block.acknowledge = 1;
  EXPECT_EQ(AsioMemberQuery(&a.record, AsioQueryRealigning), 1u);
  EXPECT_EQ(AsioMemberQuery(&a.record, 5), kServiceUnlisted);
}

TEST_F(AsioGroupTest, StartsOnlyWhenEveryMemberIsReady) {
  Register(0, a);
  Register(3, b);
  a.cycleState = AsioCycleWaitingForGroup;
  b.cycleState = AsioCycleJoined;
  EXPECT_EQ(Call(AgStartIfAllReady), 0u);
  EXPECT_EQ(Call(AgGetStarted), 0u);
  b.cycleState = AsioCycleRunning;
  EXPECT_EQ(Call(AgStartIfAllReady), 1u);
  EXPECT_EQ(Call(AgGetStarted), 1u);
}

TEST_F(AsioGroupTest, PublishesASlotOnlyWhenEveryRunningMemberReachedIt) {
  Register(0, a);
  Register(1, b);
  Call(AgSetSwitchEvent, reinterpret_cast<ULONG_PTR>(&switchEvent));
  a.cycleState = b.cycleState = AsioCycleRunning;
  a.stamp.SlotIndex = 1;
  EXPECT_EQ(Offer(1, 10), 0u);  // b is still at slot 0
  EXPECT_NE(KeReadStateEvent(&switchEvent), 0);  // set either way
  ASIO_SLOT_STAMP* published = nullptr;
  Call(AgGetPublishedPair, reinterpret_cast<ULONG_PTR>(&published));
  EXPECT_EQ(published->SlotIndex, 0u);
  b.stamp.SlotIndex = 1;
  EXPECT_EQ(Offer(1, 11), 1u);
  EXPECT_EQ(published->SlotIndex, 1u);
  EXPECT_EQ(published->TimeMs, 11u);
  EXPECT_EQ(Offer(1, 12), 0u);  // same index: the first time stays
  EXPECT_EQ(published->TimeMs, 11u);
}

TEST_F(AsioGroupTest, RunningMemberAndSwitchEventForgetting) {
  Register(2, a);
  Register(5, b);
  b.cycleState = AsioCycleRunning;
  ASIO_MEMBER_ENTRY* running = nullptr;
  Call(AgGetRunningMember, reinterpret_cast<ULONG_PTR>(&running));
  EXPECT_EQ(running, &group->Members[5]);
  Call(AgSetSwitchEvent, reinterpret_cast<ULONG_PTR>(&switchEvent));
  Call(AgForgetSwitchEventIfEmpty);
  EXPECT_EQ(group->SwitchEvent, &switchEvent);
  Call(AgSetMember, 2, 0, 0);
  Call(AgSetMember, 5, 0, 0);
  Call(AgForgetSwitchEventIfEmpty);
  EXPECT_EQ(group->SwitchEvent, nullptr);
  EXPECT_EQ(Call(AgSetMember, 8, reinterpret_cast<ULONG_PTR>(&AsioMemberQuery),
                 reinterpret_cast<ULONG_PTR>(&a.record)),
            0u);
}

TEST_F(AsioGroupTest, RateAndEventFlags) {
  EXPECT_EQ(Call(AgGetSampleRate), 44100u);
  EXPECT_EQ(Call(AgSetSampleRate, 48000), 1u);
  EXPECT_EQ(Call(AgSetSampleRate, 48000), 0u);
  Call(AgSetStatusEvent, reinterpret_cast<ULONG_PTR>(&statusEvent));
  EXPECT_EQ(Call(AgHasStatusEvent), 1u);
  Call(AgRateChanged);
  EXPECT_NE(KeReadStateEvent(&statusEvent), 0);
  Call(AgRequestReset);
  EXPECT_EQ(Call(AgFetchEventFlags), 3u);
  EXPECT_EQ(Call(AgFetchEventFlags), 0u);
}

TEST_F(AsioGroupTest, SizeReportAndClientRecord) {
  const ULONG sizes[4] = {64, 2048, 256, 0};
  Call(AgSetSizeReport, 256, reinterpret_cast<ULONG_PTR>(sizes));
  ULONG request[8] = {0, 11, 22, 0, 0, 0, 0, 0};
  Call(AgSetClientValues, reinterpret_cast<ULONG_PTR>(request));
  ULONG reply[8] = {};
  Call(AgWriteClientRecord, reinterpret_cast<ULONG_PTR>(reply));
  const ULONG expected[8] = {0, 11, 22, 256, 64, 2048, 256, 0};
  EXPECT_EQ(0, memcmp(reply, expected, sizeof(reply)));

  Call(AgClearSizeReport);  // the minimum stays
  Call(AgWriteClientRecord, reinterpret_cast<ULONG_PTR>(reply));
  const ULONG cleared[8] = {0, 11, 22, 0, 64, 0, 0, 0};
  EXPECT_EQ(0, memcmp(reply, cleared, sizeof(reply)));

  Call(AgClearClient);
  Call(AgWriteClientRecord, reinterpret_cast<ULONG_PTR>(reply));
  const ULONG empty[8] = {};
  EXPECT_EQ(0, memcmp(reply, empty, sizeof(reply)));
}

TEST_F(AsioGroupTest, PlainFieldsAndUnlisted) {
  Call(AgSetRunning, 1);
  Call(AgSetBaseOffset, 1234);
  Call(AgSetPublishedPair, 9, 99);
  EXPECT_EQ(Call(AgGetRunning), 1u);
  EXPECT_EQ(Call(AgGetBaseOffset), 1234u);
  EXPECT_EQ(group->Published.SlotIndex, 9u);
  EXPECT_EQ(group->Published.TimeMs, 99u);
  CAsioGroup* self = nullptr;
  Call(AgGetGroup, reinterpret_cast<ULONG_PTR>(&self));
  EXPECT_EQ(self, group.get());
  EXPECT_EQ(Call(28), kServiceUnlisted);
}

}  // namespace
