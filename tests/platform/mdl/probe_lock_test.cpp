// Probing and locking: only registered user memory with the access asked for
// locks; everything else raises through __try/__except and leaves nothing
// locked.

#include <cstring>

#include "tests/platform/mdl/mdl_fixture.h"

namespace {

using mdltest::MdlTest;
using mdltest::ProbeAndLock;

struct ProbeCase {
  const char* name;
  sim::Protection protection;
  long start;     // offset from the buffer's first byte
  ULONG length;   // 0: the whole buffer from `start`
  LOCK_OPERATION operation;
  KPROCESSOR_MODE mode;
  NTSTATUS expected;
};

constexpr size_t kBufferSize = 3 * PAGE_SIZE + 100;
// Like a heap block: the buffer starts inside its first page.
constexpr size_t kBufferOffset = 48;

class Probe : public MdlTest, public testing::WithParamInterface<ProbeCase> {};

TEST_P(Probe, LocksOnlyRegisteredMemoryWithTheAccessAsked) {
  const ProbeCase& c = GetParam();
  sim::UserBuffer buffer(user(), kBufferSize, c.protection, kBufferOffset);
  ULONG length = c.length != 0 ? c.length : static_cast<ULONG>(kBufferSize - c.start);
  PMDL mdl = IoAllocateMdl(buffer.bytes() + c.start, length, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), (kBufferOffset + c.start) % PAGE_SIZE);

  EXPECT_EQ(ProbeAndLock(mdl, c.mode, c.operation), c.expected);
  if (c.expected == STATUS_SUCCESS) {
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(mdl->Process, &user());
    EXPECT_EQ(space().lockCount(), 1u);
    MmUnlockPages(mdl);
  } else {
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
  }
  IoFreeMdl(mdl);
  ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, Probe,
    testing::Values(
        ProbeCase{"WholeBufferForWrite", sim::Protection::ReadWrite, 0, 0, IoWriteAccess, UserMode, STATUS_SUCCESS},
        ProbeCase{"InteriorForModify", sim::Protection::ReadWrite, 4000, 300, IoModifyAccess, UserMode,
                  STATUS_SUCCESS},
        ProbeCase{"ReadOnlyForRead", sim::Protection::ReadOnly, 0, 0, IoReadAccess, UserMode, STATUS_SUCCESS},
        ProbeCase{"ReadOnlyForWrite", sim::Protection::ReadOnly, 0, 0, IoWriteAccess, UserMode,
                  STATUS_ACCESS_VIOLATION},
        ProbeCase{"ReadOnlyForModify", sim::Protection::ReadOnly, 0, 0, IoModifyAccess, UserMode,
                  STATUS_ACCESS_VIOLATION},
        ProbeCase{"NoAccessForRead", sim::Protection::NoAccess, 0, 0, IoReadAccess, UserMode,
                  STATUS_ACCESS_VIOLATION},
        ProbeCase{"OneByteOffTheEnd", sim::Protection::ReadWrite, 0, kBufferSize + 1, IoWriteAccess, UserMode,
                  STATUS_ACCESS_VIOLATION},
        ProbeCase{"OneByteBeforeTheStart", sim::Protection::ReadWrite, -1, 16, IoReadAccess, UserMode,
                  STATUS_ACCESS_VIOLATION},
        ProbeCase{"OffTheEndFromKernelMode", sim::Protection::ReadWrite, 100, kBufferSize, IoReadAccess, KernelMode,
                  STATUS_ACCESS_VIOLATION}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

TEST_F(MdlTest, MemoryTheProcessNeverRegisteredRaisesFromUserMode) {
  // Valid host memory, but not the process's: a driver must not lock it on
  // a user's say-so.
  alignas(16) static char hostBuffer[256];
  void* pool = ExAllocatePool2(POOL_FLAG_NON_PAGED, 256, 'tseT');
  for (void* address : {static_cast<void*>(hostBuffer), pool}) {
    PMDL mdl = IoAllocateMdl(address, 256, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(ProbeAndLock(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    IoFreeMdl(mdl);
  }
  ExFreePoolWithTag(pool, 'tseT');
  ExpectNothingHeld();
}

TEST_F(MdlTest, KernelModeLocksKernelMemoryWhereItIs) {
  auto* pool = static_cast<char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 512, 'tseT'));
  PMDL mdl = IoAllocateMdl(pool + 8, 500, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  ASSERT_EQ(ProbeAndLock(mdl, KernelMode, IoWriteAccess), STATUS_SUCCESS);
  EXPECT_EQ(mdl->Process, nullptr);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), pool + 8);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  ExFreePoolWithTag(pool, 'tseT');
  ExpectNothingHeld();
}

TEST_F(MdlTest, AddressSpacesBelongToTheirProcess) {
  // A 32-bit process: its memory lies low, and the user process cannot lock it.
  sim::Process* other = machine.objects().CreateProcess(true);
  sim::UserBuffer foreign(*other, 4096);
  EXPECT_LT(reinterpret_cast<uintptr_t>(foreign.data()), uintptr_t{1} << 32);

  PMDL mdl = IoAllocateMdl(foreign.data(), 4096, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(ProbeAndLock(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);

  // From a thread of that process the same range locks, for that process.
  struct Context {
    PMDL mdl;
    NTSTATUS status;
    PEPROCESS process;
  } context{mdl, STATUS_UNSUCCESSFUL, nullptr};
  PKTHREAD thread = nullptr;
  ASSERT_EQ(sim::CreateSimulatedThread(
                machine, other,
                [](PVOID raw) {
                  auto* c = static_cast<Context*>(raw);
                  c->status = ProbeAndLock(c->mdl, UserMode, IoWriteAccess);
                  c->process = c->mdl->Process;
                  MmUnlockPages(c->mdl);
                },
                &context, false, "32-bit", &thread),
            STATUS_SUCCESS);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  EXPECT_EQ(context.status, STATUS_SUCCESS);
  EXPECT_EQ(context.process, other);
  EXPECT_TRUE(other->is32Bit);
  IoFreeMdl(mdl);
  EXPECT_EQ(sim::UserAddressSpace::Of(*other).lockCount(), 0u);
}

TEST_F(MdlTest, AllocationRefusesWhatNoMdlCanDescribe) {
  sim::UserBuffer buffer(user(), 64);
  EXPECT_EQ(IoAllocateMdl(buffer.data(), 0, FALSE, FALSE, nullptr), nullptr);
  auto* nearTop = reinterpret_cast<PVOID>(~ULONG_PTR{0} - 100);
  EXPECT_EQ(IoAllocateMdl(nearTop, 200, FALSE, FALSE, nullptr), nullptr);
  machine.pool().FailNthAllocation(1);
  EXPECT_EQ(IoAllocateMdl(buffer.data(), 64, FALSE, FALSE, nullptr), nullptr);
  ExpectNothingHeld();
}

TEST_F(MdlTest, MdlsChainOnTheirIrp) {
  sim::UserBuffer buffer(user(), 3 * 64);
  IRP irp;
  std::memset(&irp, 0, sizeof irp);
  PMDL first = IoAllocateMdl(buffer.bytes(), 64, FALSE, FALSE, &irp);
  PMDL second = IoAllocateMdl(buffer.bytes() + 64, 64, TRUE, FALSE, &irp);
  PMDL third = IoAllocateMdl(buffer.bytes() + 128, 64, TRUE, FALSE, &irp);
  EXPECT_EQ(irp.MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  EXPECT_EQ(second->Next, third);
  for (PMDL mdl : {first, second, third}) IoFreeMdl(mdl);
  ExpectNothingHeld();
}

struct UserProbeCase {
  const char* name;
  long start;
  size_t length;
  ULONG alignment;
  bool write;
  NTSTATUS expected;
};

class UserProbe : public MdlTest, public testing::WithParamInterface<UserProbeCase> {};

TEST_P(UserProbe, RaisesForRangesOutsideTheCallersMemory) {
  const UserProbeCase& c = GetParam();
  sim::UserBuffer readOnly(user(), 256, sim::Protection::ReadOnly, 64);
  char* address = reinterpret_cast<char*>(readOnly.bytes()) + c.start;
  NTSTATUS status = STATUS_SUCCESS;
  __try {
    if (c.write)
      ProbeForWrite(address, c.length, c.alignment);
    else
      ProbeForRead(address, c.length, c.alignment);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    status = GetExceptionCode();
  }
  EXPECT_EQ(status, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, UserProbe,
    testing::Values(UserProbeCase{"ReadInside", 0, 256, 4, false, STATUS_SUCCESS},
                    UserProbeCase{"ReadPastTheEnd", 0, 257, 1, false, STATUS_ACCESS_VIOLATION},
                    UserProbeCase{"WriteToReadOnly", 0, 4, 4, true, STATUS_ACCESS_VIOLATION},
                    UserProbeCase{"Misaligned", 2, 4, 4, false, STATUS_DATATYPE_MISALIGNMENT},
                    UserProbeCase{"NothingToProbe", -4096, 0, 4, true, STATUS_SUCCESS}),
    [](const testing::TestParamInfo<UserProbeCase>& info) { return std::string(info.param.name); });

}  // namespace
