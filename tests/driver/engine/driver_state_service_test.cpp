#include "driver/engine/driver_state_service.h"

#include <memory>

#include <gtest/gtest.h>

#include "platform/sim/machine.h"

namespace {

class DriverStateServiceTest : public testing::Test {
 protected:
  DriverStateServiceTest() : state(std::make_unique<CDriverState>()) { state->Initialize(); }

  ULONG Call(ULONG command, ULONG_PTR a = 0, ULONG_PTR b = 0) {
    return DriverStateService(state.get(), command, a, b, &out1, &out2);
  }

  sim::Machine machine;
  std::unique_ptr<CDriverState> state;
  ULONG out1 = 0, out2 = 0;
};

TEST_F(DriverStateServiceTest, LatencyAndBufferLevelQueries) {
  EXPECT_EQ(Call(DsInputDeviceLatency, 48000), 49u);
  EXPECT_EQ(Call(DsOutputLatency, 44100), 576u);
  EXPECT_EQ(Call(DsRequestFramesInFlight), 12u);
  EXPECT_EQ(Call(DsRequestMilliseconds), 3u);
  EXPECT_EQ(Call(DsRequestsInFlight), 4u);
  EXPECT_EQ(Call(DsAsioRingOffsets, 256, 48000), 1u);
  EXPECT_EQ(out1, 228u);
  EXPECT_EQ(out2, 179u);
  EXPECT_EQ(Call(DsAsioRingOffsets, 0, 48000), 0u);
  EXPECT_EQ(Call(DsNothing), 0u);
  for (ULONG unlisted : {29u, 64u, 0xFFFFFFFFu}) EXPECT_EQ(Call(unlisted), kServiceUnlisted);
}

struct RecordCase {
  const char* name;
  ULONG set, get;
  ULONG value;
};

const RecordCase kRecordCases[] = {
    {"in last frame", DsSetInLastFrame, DsGetInLastFrame, 123456},
    {"in base frame", DsSetInBaseFrame, DsGetInBaseFrame, 777},
    {"out last frame", DsSetOutLastFrame, DsGetOutLastFrame, 0xFFFFFFF0},
    {"out base frame", DsSetOutBaseFrame, DsGetOutBaseFrame, 42},
    {"in active", DsSetInActive, DsGetInActive, 1},
    {"out active", DsSetOutActive, DsGetOutActive, 1},
    {"start state", DsSetStartState, DsGetStartState, 4},
};

TEST_F(DriverStateServiceTest, RecordFieldsPerDeviceAndDirection) {
  for (const RecordCase& c : kRecordCases) {
    SCOPED_TRACE(c.name);
    Call(c.set, 3, c.value);
    EXPECT_EQ(Call(c.get, 3), c.value);
    // Other devices keep their idle records.
    EXPECT_EQ(Call(c.get, 2), c.get == DsGetStartState ? 0xFFFFFFFFu : 0u);
  }
  // The IN and OUT halves clear separately, command 10 clears both.
  Call(DsClearInRecord, 3);
  EXPECT_EQ(Call(DsGetInLastFrame, 3), 0u);
  EXPECT_EQ(Call(DsGetStartState, 3), 0xFFFFFFFFu);
  EXPECT_EQ(Call(DsGetOutLastFrame, 3), 0xFFFFFFF0u);
  Call(DsClearOutRecord, 3);
  EXPECT_EQ(Call(DsGetOutActive, 3), 0u);
  Call(DsSetInActive, 1);
  Call(DsSetOutBaseFrame, 1, 5);
  Call(DsClearDeviceRecords, 1);
  EXPECT_EQ(Call(DsGetInActive, 1), 0u);
  EXPECT_EQ(Call(DsGetOutBaseFrame, 1), 0u);
}

TEST_F(DriverStateServiceTest, StartStateIsCappedAtSix) {
  Call(DsSetStartState, 0, 9);
  EXPECT_EQ(Call(DsGetStartState, 0), 6u);
}

TEST_F(DriverStateServiceTest, DevicesFromEightUpChangeNothingAndReadIdle) {
  Call(DsSetInLastFrame, 8, 99);
  Call(DsSetInActive, 9);
  EXPECT_EQ(Call(DsGetInLastFrame, 8), 0u);
  EXPECT_EQ(Call(DsGetInActive, 9), 0u);
  EXPECT_EQ(Call(DsGetStartState, 8), 0xFFFFFFFFu);
  for (const DEVICE_START_RECORD& r : state->StartRecords) {
    EXPECT_EQ(r.Active, 0);
    EXPECT_EQ(r.LastFrame, 0u);
  }
}

struct PartnerCase {
  const char* name;
  struct { ULONG device; LONG state; } active[3];
  ULONG caller;
  LONG partner;
};

const PartnerCase kPartnerCases[] = {
    {"none active", {{99, 0}, {99, 0}, {99, 0}}, 0, -1},
    {"only the caller", {{0, 6}, {99, 0}, {99, 0}}, 0, -1},
    {"tie goes to the lower index", {{2, 4}, {5, 4}, {99, 0}}, 0, 2},
    {"state six wins", {{2, 4}, {5, 6}, {99, 0}}, 0, 5},
    {"first state six ends the scan", {{1, 6}, {2, 6}, {99, 0}}, 0, 1},
    {"highest state", {{1, 2}, {4, 5}, {6, 3}}, 0, 4},
    {"idle active record", {{3, -1}, {99, 0}, {99, 0}}, 0, 3},
};

TEST_F(DriverStateServiceTest, FindPartner) {
  for (const PartnerCase& c : kPartnerCases) {
    SCOPED_TRACE(c.name);
    state->Initialize();
    for (const auto& r : c.active) {
      if (r.device >= 8) continue;
      Call(DsSetInActive, r.device);
      Call(DsSetStartState, r.device, static_cast<ULONG>(r.state));
    }
    EXPECT_EQ(static_cast<LONG>(Call(DsFindPartner, c.caller)), c.partner);
  }
}

TEST_F(DriverStateServiceTest, BusyCountCommitsPendingOnlyWhenIdle) {
  state->Pending.BufSize2 = 2;
  state->Pending.DeviceOptionA = 7;  // beyond the commit range
  EXPECT_EQ(Call(DsStreamStarted), 1u);
  EXPECT_EQ(Call(DsStreamStarted), 2u);
  EXPECT_EQ(Call(DsStreamStopped), 1u);
  EXPECT_EQ(state->Active.BufSize2, 5u);
  EXPECT_EQ(Call(DsStreamStopped), 0u);
  EXPECT_EQ(state->Active.BufSize2, 2u);
  EXPECT_EQ(state->Active.DeviceOptionA, 1u);
}

TEST_F(DriverStateServiceTest, WaiterIsWokenWhenOneStreamIsLeftAndARestartIsPending) {
  KEVENT waiter;
  KeInitializeEvent(&waiter, NotificationEvent, FALSE);
  Call(DsStreamStartedWithWaiter, reinterpret_cast<ULONG_PTR>(&waiter));
  Call(DsStreamStarted);
  Call(DsStreamStarted);
  state->Pending.FsSyncOff = 1;
  EXPECT_EQ(Call(DsStreamStopped), 2u);
  EXPECT_EQ(KeReadStateEvent(&waiter), 0);
  EXPECT_EQ(Call(DsStreamStopped), 1u);
  EXPECT_NE(KeReadStateEvent(&waiter), 0);
  EXPECT_EQ(state->WaiterEvent, nullptr);
  EXPECT_EQ(state->Active.FsSyncOff, 0u);  // still one stream
}

TEST_F(DriverStateServiceTest, WaiterIsLeftAloneWithoutARestartChange) {
  KEVENT waiter;
  KeInitializeEvent(&waiter, NotificationEvent, FALSE);
  Call(DsStreamStartedWithWaiter, reinterpret_cast<ULONG_PTR>(&waiter));
  Call(DsStreamStarted);
  state->Pending.MidiInLite = 1;  // not compared
  Call(DsStreamStopped);
  EXPECT_EQ(KeReadStateEvent(&waiter), 0);
  EXPECT_EQ(state->WaiterEvent, &waiter);
  EXPECT_EQ(Call(DsStreamStoppedForgetWaiter), 0u);
  EXPECT_EQ(state->WaiterEvent, nullptr);
  EXPECT_EQ(state->Active.MidiInLite, 1u);
}

}  // namespace
