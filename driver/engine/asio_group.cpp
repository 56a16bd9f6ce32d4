#include "driver/engine/asio_group.h"

namespace {

bool Registered(const ASIO_MEMBER_ENTRY& entry) {
  return entry.Query != nullptr && entry.Record != nullptr;
}

LONG CycleStateOf(const ASIO_MEMBER_ENTRY& entry) {
  return static_cast<LONG>(entry.Query(entry.Record, AsioQueryCycleState));
}

bool AllMembersReady(const CAsioGroup* g) {
  for (const ASIO_MEMBER_ENTRY& entry : g->Members) {
    if (Registered(entry) && CycleStateOf(entry) < AsioCycleWaitingForGroup) return false;
  }
  return true;
}

ASIO_MEMBER_ENTRY* FirstRunningMember(CAsioGroup* g) {
  for (ASIO_MEMBER_ENTRY& entry : g->Members) {
    if (Registered(entry) && CycleStateOf(entry) == AsioCycleRunning) return &entry;
  }
  return nullptr;
}

bool AnyMember(const CAsioGroup* g) {
  for (const ASIO_MEMBER_ENTRY& entry : g->Members) {
    if (Registered(entry)) return true;
  }
  return false;
}

VOID SetIfHeld(PKEVENT event) {
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

VOID StorePair(CAsioGroup* g, ASIO_SLOT_STAMP pair) {
  KIRQL irql;
  KeAcquireSpinLock(&g->PairLock, &irql);
  g->Published = pair;
  KeReleaseSpinLock(&g->PairLock, irql);
}

// The published index moves only once every running member has reached it;
// the switch event wakes the client either way.
ULONG OfferPair(CAsioGroup* g, const ASIO_SLOT_STAMP* offered) {
  bool agreed = true;
  for (const ASIO_MEMBER_ENTRY& entry : g->Members) {
    if (Registered(entry) && CycleStateOf(entry) == AsioCycleRunning &&
        entry.Query(entry.Record, AsioQuerySlotIndex) != offered->SlotIndex) {
      agreed = false;
      break;
    }
  }
  ULONG stored = 0;
  if (agreed) {
    KIRQL irql;
    KeAcquireSpinLock(&g->PairLock, &irql);
    if (g->Published.SlotIndex != offered->SlotIndex) {
      g->Published = *offered;
      stored = 1;
    }
    KeReleaseSpinLock(&g->PairLock, irql);
  }
  SetIfHeld(g->SwitchEvent);
  return stored;
}

template <class T>
VOID StoreOut(ULONG_PTR out, T value) {
  if (out != 0) *reinterpret_cast<T*>(out) = value;
}

ULONG ReadWord(ULONG_PTR base, ULONG offset) {
  ULONG value;
  RtlCopyMemory(&value, reinterpret_cast<const UCHAR*>(base) + offset, sizeof(value));
  return value;
}

VOID WriteWord(ULONG_PTR base, ULONG offset, ULONG value) {
  RtlCopyMemory(reinterpret_cast<UCHAR*>(base) + offset, &value, sizeof(value));
}

}  // namespace

VOID CAsioGroup::Initialize() {
  KeInitializeSpinLock(&Lock);
  for (ASIO_MEMBER_ENTRY& entry : Members) entry = {nullptr, nullptr};
  Running = 0;
  Started = 0;
  BaseOffset = 0;
  SwitchEvent = nullptr;
  StatusEvent = nullptr;
  Published = {0, 0};
  KeInitializeSpinLock(&PairLock);
  ClientValues[0] = ClientValues[1] = 0;
  BufferFrames = 0;
  SizeReport = {0, 0, 0, 0};
  EventFlags = 0;
  SampleRate = kInitialSampleRate;
}

ULONG AsioMemberQuery(AsioMemberRecord* record, ULONG query) {
  switch (query) {
    case AsioQueryRealigning: {
      const SHARED_BLOCK_SERVICE_PAIR* pair = record->BlockService;
      if (pair == nullptr || pair->Function == nullptr) return 0;
      return pair->Function(pair->Context, SbEitherFlag, 0);
    }
    case AsioQueryPositionSnapshot: return static_cast<ULONG>(*record->PositionSnapshot);
    case AsioQueryFrameOffset: return static_cast<ULONG>(*record->FrameOffset);
    case AsioQuerySlotIndex: return record->SlotStamp->SlotIndex;
    case AsioQueryCycleState: return static_cast<ULONG>(*record->CycleState);
  }
  return kServiceUnlisted;
}

ULONG AsioGroupService(PVOID group, ULONG command, ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) {
  auto* g = static_cast<CAsioGroup*>(group);
  const auto a32 = static_cast<ULONG>(a);
  switch (command) {
    case AgStartIfAllReady:
      if (!AllMembersReady(g)) return 0;
      g->Started = 1;
      return 1;
    case AgGetRunning: return g->Running;
    case AgGetStarted: return g->Started;
    case AgHasStatusEvent: return g->StatusEvent != nullptr ? 1 : 0;
    case AgSetSampleRate: {
      const bool changed = g->SampleRate != a32;
      g->SampleRate = a32;
      return changed ? 1 : 0;
    }
    case AgGetBaseOffset: return g->BaseOffset;
    case AgGetSampleRate: return g->SampleRate;
    case AgFetchEventFlags: {
      const ULONG flags = g->EventFlags;
      g->EventFlags = 0;
      return flags;
    }
    case AgGetPublishedPair: StoreOut(a, &g->Published); return 0;
    case AgGetRunningMember: StoreOut(a, FirstRunningMember(g)); return 0;
    case AgGetStatusEvent: StoreOut(a, g->StatusEvent); return 0;
    case AgGetGroup: StoreOut(a, g); return 0;
    case AgSetRunning: g->Running = a32; return 0;
    case AgSetStarted: g->Started = a32; return 0;
    case AgSetBaseOffset: g->BaseOffset = a32; return 0;
    case AgOfferPair:
      if (a == 0) return 0;
      return OfferPair(g, reinterpret_cast<const ASIO_SLOT_STAMP*>(a));
    case AgSetSwitchEvent: g->SwitchEvent = reinterpret_cast<PKEVENT>(a); return 0;
    case AgSetStatusEvent: g->StatusEvent = reinterpret_cast<PKEVENT>(a); return 0;
    case AgForgetSwitchEventIfEmpty:
      if (!AnyMember(g)) g->SwitchEvent = nullptr;
      return 0;
    case AgClearSizeReport:
      // The minimum stays: it is what the unit can do at all.
      g->BufferFrames = 0;
      g->SizeReport.Maximum = g->SizeReport.Preferred = g->SizeReport.Granularity = 0;
      return 0;
    case AgClearClient:
      g->ClientValues[0] = g->ClientValues[1] = 0;
      g->BufferFrames = 0;
      g->SizeReport = {0, 0, 0, 0};
      return 0;
    case AgRequestReset:
    case AgRateChanged:
      g->EventFlags |= command == AgRequestReset ? kAsioEventReset : kAsioEventRateChanged;
      SetIfHeld(g->StatusEvent);
      return 0;
    case AgSetPublishedPair: StorePair(g, {a32, static_cast<ULONG>(b)}); return 0;
    case AgSetMember:
      // A slot number from outside the table is refused, not written.
      if (a32 >= kAsioGroupMembers) return 0;
      g->Members[a32] = {reinterpret_cast<ASIO_MEMBER_QUERY>(b),
                         reinterpret_cast<AsioMemberRecord*>(c)};
      return 1;
    case AgSetClientValues:
      if (a == 0) return 0;
      g->ClientValues[0] = ReadWord(a, 4);
      g->ClientValues[1] = ReadWord(a, 8);
      return 0;
    case AgWriteClientRecord:
      if (a == 0) return 0;
      WriteWord(a, 4, g->ClientValues[0]);
      WriteWord(a, 8, g->ClientValues[1]);
      WriteWord(a, 12, g->BufferFrames);
      WriteWord(a, 16, g->SizeReport.Minimum);
      WriteWord(a, 20, g->SizeReport.Maximum);
      WriteWord(a, 24, g->SizeReport.Preferred);
      WriteWord(a, 28, g->SizeReport.Granularity);
      return 0;
    case AgSetSizeReport:
      g->BufferFrames = a32;
      if (b != 0) {
        g->SizeReport = {ReadWord(b, 0), ReadWord(b, 4), ReadWord(b, 8), ReadWord(b, 12)};
      }
      return 0;
  }
  return kServiceUnlisted;
}
