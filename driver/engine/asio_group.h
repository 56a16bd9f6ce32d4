// The driver-wide ASIO group: up to eight member units that run as one ASIO
// device, the published (slot, time) pair, the events of the ASIO client and
// the buffer-size report; and the query a member answers for the group.
//
// AsioGroupService is called with the group's Lock held (DISPATCH_LEVEL);
// it takes PairLock inside for the published pair. Lock order: group lock,
// then a member's slot-stamp lock. Unlisted commands return 0xFFFFFFFF.
#pragma once

#include <wdm.h>

#include "driver/engine/command_service.h"
#include "driver/engine/shared_block_service.h"

inline constexpr ULONG kAsioGroupMembers = 8;

enum ASIO_CYCLE_STATE : LONG {
  AsioCycleIdle = 0,
  AsioCycleJoined = 1,
  AsioCycleJoiningRunning = 2,
  AsioCycleWaitingForGroup = 3,
  AsioCycleRunning = 4,
};

// A (slot index, time in ms) pair: a member's stamp and the group's
// published one.
struct ASIO_SLOT_STAMP {
  ULONG SlotIndex;
  ULONG TimeMs;
};

// What a member exposes to the group; points into the member's ASIO service.
struct AsioMemberRecord {
  SHARED_BLOCK_SERVICE_PAIR* BlockService;
  ASIO_SLOT_STAMP* SlotStamp;
  LONG* PositionSnapshot;
  LONG* FrameOffset;
  LONG* CycleState;
};
static_assert(sizeof(void*) != 8 || sizeof(AsioMemberRecord) == 40);

enum ASIO_MEMBER_QUERY_CODE : ULONG {
  AsioQueryRealigning = 0,  // either flag of the member's shared block
  AsioQueryPositionSnapshot = 1,
  AsioQueryFrameOffset = 2,
  AsioQuerySlotIndex = 3,
  AsioQueryCycleState = 4,
};

typedef ULONG (*ASIO_MEMBER_QUERY)(AsioMemberRecord* record, ULONG query);
ULONG AsioMemberQuery(AsioMemberRecord* record, ULONG query);

struct ASIO_MEMBER_ENTRY {
  ASIO_MEMBER_QUERY Query;
  AsioMemberRecord* Record;
};

struct ASIO_SIZE_REPORT {
  ULONG Minimum;
  ULONG Maximum;
  ULONG Preferred;
  ULONG Granularity;
};

class CAsioGroup {
 public:
  static constexpr ULONG kInitialSampleRate = 44100;

  KSPIN_LOCK Lock;
  ASIO_MEMBER_ENTRY Members[kAsioGroupMembers];
  ULONG Running;
  ULONG Started;
  ULONG BaseOffset;
  PKEVENT SwitchEvent;
  PKEVENT StatusEvent;
  ASIO_SLOT_STAMP Published;
  KSPIN_LOCK PairLock;
  ULONG ClientValues[2];
  ULONG BufferFrames;
  ASIO_SIZE_REPORT SizeReport;
  ULONG EventFlags;
  ULONG SampleRate;

  VOID Initialize();
};

enum ASIO_GROUP_COMMAND : ULONG {
  AgStartIfAllReady = 0,
  AgGetRunning = 1,
  AgGetStarted = 2,
  AgHasStatusEvent = 3,
  AgSetSampleRate = 4,
  AgGetBaseOffset = 5,
  AgGetSampleRate = 6,
  AgFetchEventFlags = 7,
  AgGetPublishedPair = 8,
  AgGetRunningMember = 9,
  AgGetStatusEvent = 10,
  AgGetGroup = 11,
  AgSetRunning = 12,
  AgSetStarted = 13,
  AgSetBaseOffset = 14,
  AgOfferPair = 15,
  AgSetSwitchEvent = 16,
  AgSetStatusEvent = 17,
  AgForgetSwitchEventIfEmpty = 18,
  AgClearSizeReport = 19,
  AgClearClient = 20,
  AgRequestReset = 21,
  AgRateChanged = 22,
  AgSetPublishedPair = 23,
  AgSetMember = 24,
  AgSetClientValues = 25,
  AgWriteClientRecord = 26,
  AgSetSizeReport = 27,
};

inline constexpr ULONG kAsioEventReset = 0x1;
inline constexpr ULONG kAsioEventRateChanged = 0x2;

typedef ULONG (*ASIO_GROUP_SERVICE)(PVOID group, ULONG command, ULONG_PTR a, ULONG_PTR b,
                                    ULONG_PTR c);

// `group` is the CAsioGroup. Pointer arguments (out-parameters, events,
// records) travel in a, b and c.
ULONG AsioGroupService(PVOID group, ULONG command, ULONG_PTR a, ULONG_PTR b, ULONG_PTR c);
