// Service groups: members run from the group's DPC at DISPATCH_LEVEL, are
// referenced while they belong to the group, and delayed service waits for
// its due time.
#include <gtest/gtest.h>

#include <atomic>

#include <portcls.h>

#include "platform/sim/machine.h"

namespace {

class RecordingSink : public IServiceSink {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP_(void) RequestService() override {
    irql = KeGetCurrentIrql();
    thread = KeGetCurrentThread();
    ++calls;
  }

  std::atomic<ULONG> references{1};
  std::atomic<int> calls{0};
  std::atomic<KIRQL> irql{PASSIVE_LEVEL};
  std::atomic<PKTHREAD> thread{nullptr};
};

class ServiceGroupTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS); }
  void TearDown() override {
    if (group) group->Release();
  }
  sim::Machine machine;
  PSERVICEGROUP group = nullptr;
};

TEST_F(ServiceGroupTest, MembersRunFromADpcAtDispatchLevel) {
  RecordingSink first, second;
  ASSERT_EQ(group->AddMember(&first), STATUS_SUCCESS);
  ASSERT_EQ(group->AddMember(&second), STATUS_SUCCESS);
  group->RequestService();
  KeFlushQueuedDpcs();
  for (RecordingSink* sink : {&first, &second}) {
    EXPECT_EQ(sink->calls, 1);
    EXPECT_EQ(sink->irql, DISPATCH_LEVEL);
    EXPECT_NE(sink->thread, KeGetCurrentThread());
  }
  group->RemoveMember(&first);
  group->RemoveMember(&second);
}

TEST_F(ServiceGroupTest, MembersAreReferencedUntilRemoved) {
  RecordingSink sink;
  group->AddMember(&sink);
  EXPECT_EQ(sink.references, 2u);
  group->RemoveMember(&sink);
  EXPECT_EQ(sink.references, 1u);
  group->RequestService();
  KeFlushQueuedDpcs();
  EXPECT_EQ(sink.calls, 0);
  // Removing a stranger changes nothing.
  group->RemoveMember(&sink);
  EXPECT_EQ(sink.references, 1u);
}

TEST_F(ServiceGroupTest, DestroyedGroupReleasesItsMembers) {
  RecordingSink sink;
  group->AddMember(&sink);
  group->Release();
  group = nullptr;
  EXPECT_EQ(sink.references, 1u);
}

TEST_F(ServiceGroupTest, DelayedServiceRunsAtItsDueTime) {
  RecordingSink sink;
  group->AddMember(&sink);
  group->SupportDelayedService();
  group->RequestDelayedService(static_cast<ULONGLONG>(-5 * LONGLONG(sim::kMillisecond)));
  machine.RunFor(4 * sim::kMillisecond);
  EXPECT_EQ(sink.calls, 0);
  machine.RunFor(2 * sim::kMillisecond);
  EXPECT_EQ(sink.calls, 1);

  group->RequestDelayedService(static_cast<ULONGLONG>(-5 * LONGLONG(sim::kMillisecond)));
  group->CancelDelayedService();
  machine.RunFor(10 * sim::kMillisecond);
  EXPECT_EQ(sink.calls, 1);
  group->RemoveMember(&sink);
}

TEST_F(ServiceGroupTest, RefusesAggregation) {
  PSERVICEGROUP aggregated = reinterpret_cast<PSERVICEGROUP>(1);
  EXPECT_EQ(PcNewServiceGroup(&aggregated, group), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(aggregated, nullptr);
}

}  // namespace
