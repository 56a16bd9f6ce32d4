// The two MIDI pipe objects of interface 3: the output sender, which drains
// the packet queue the MIDI output streams fill, and the input reader,
// which keeps one read pending and hands every received packet to the
// input side (the MIDI input streams).
//
// Locks: PipeLock (a spin lock, DISPATCH_LEVEL) guards every field below it
// and the queue; completion routines run under it, submissions are made
// with it released. The device's PipeEvent is taken before PipeLock by
// every start, stop and recovery (PASSIVE_LEVEL).
#pragma once

#include <wdm.h>

#include "driver/usb/pipe_record.h"
#include "driver/usb/transfer_slot.h"

class CUsbDevice;
class CWorkerThread;

inline constexpr ULONG kMidiQueuePackets = 10240;
inline constexpr ULONG kMidiTransferBytes = 512;
inline constexpr ULONG kMaxMidiStreams = 4;
inline constexpr ULONG kHaltTicksBeforeRecovery = 100;

enum MIDI_PIPE_STATE : LONG {
  MidiPipeRunning = 0,
  MidiPipeRestartRequested = 1,
  MidiPipeStopped = 2,
};

// Receives the packets of a completed MIDI IN transfer, with the input
// pipe's PipeLock held, at DISPATCH_LEVEL.
class IMidiInputSide {
 public:
  virtual VOID OnPacketsReceived(const ULONG* packets, ULONG count) = 0;

 protected:
  ~IMidiInputSide() = default;
};

class CMidiPipe : public ITransferOwner {
 public:
  // Idle: lock and stop event initialised, no pool, not halted.
  CMidiPipe();
  virtual ~CMidiPipe() = default;
  // Slot order: completion, a reserved one, Pump (PipeLock held).
  NTSTATUS OnTransferComplete(CTransferSlot* slot) override = 0;
  virtual VOID Reserved() {}
  virtual VOID Pump() = 0;

  // The one-slot pool with a 512-byte buffer; FALSE leaves nothing behind.
  BOOLEAN CreatePool();
  VOID FreePool();
  // The in-use count changes atomically, so this may be read without PipeLock.
  BOOLEAN InFlight() const { return ReadNoFence(&Pool.InUseCount) > 0; }
  // The pool was created: there is a request to send.
  BOOLEAN HasPool() const { return Pool.Slots[0].Request != nullptr && Pool.Slots[0].HasUrb(); }
  // PipeLock for callers that may pump while holding it.
  VOID LockPipe();
  VOID UnlockPipe();

  // Under PipeLock, Pump.
  VOID StartPipe();
  // Cancels the transfer in flight and waits for its completion.
  VOID StopPipe();
  // StopPipe, then reset a halted pipe when the port is connected; clears
  // Halted and HaltTicks.
  VOID StopAndResetPipe();
  // From the tick DPC: counts ticks while halted and, at the 100th, signals
  // `worker`'s event `eventIndex`.
  VOID CountHaltTick(CWorkerThread* worker, ULONG eventIndex);

  LONG Halted;
  LONG Stopping;
  KEVENT StopEvent;
  KSPIN_LOCK PipeLock;
  CPipeRecord* Record;
  BULK_POOL Pool;
  CUsbDevice* Owner;
  LONG HaltTicks;
  // The port record's open streams of this direction, at most
  // kMaxMidiStreams; changed with PipeLock held.
  LONG OpenStreams;

  // PipeLock held. FALSE when the direction already has its four streams.
  BOOLEAN CountStreamOpened() {
    if (OpenStreams >= LONG(kMaxMidiStreams)) {
      return FALSE;
    }
    ++OpenStreams;
    return TRUE;
  }
  // PipeLock held; the count never goes below 0.
  VOID CountStreamClosed() {
    if (OpenStreams > 0) {
      --OpenStreams;
    }
  }

 protected:
  VOID SetupBase(CUsbDevice* owner, CPipeRecord* record);
  // Bytes one transfer may carry: the pipe's maximum packet size, limited
  // to the slot's buffer.
  ULONG TransferBytes() const;
  // Prepares the slot's request and transfer block for the record's pipe.
  VOID PrepareTransfer(CTransferSlot* slot, ULONG flags, ULONG length);
  // Submits with PipeLock released; on failure the pipe halts and the slot
  // is released. FALSE on failure.
  BOOLEAN SubmitUnlocked(CTransferSlot* slot);
  // Completion tail, PipeLock held: releases the slot, wakes a waiting
  // stop when idle, and pumps when neither stopping nor halted.
  VOID FinishCompletion(CTransferSlot* slot);
  static BOOLEAN TransferFailed(CTransferSlot* slot);
  // Recovery after StopPipe: reset only a connected unit's pipe.
  BOOLEAN ResetConnectedPipe();

  // The IRQL the holder of PipeLock came from; written and read only with
  // the lock held, so Pump can drop and retake it for a submission.
  KIRQL LockIrql;
};

class CMidiOutPipe : public CMidiPipe {
 public:
  // Empty queue, cable 0, no open streams, PipeState stopped.
  VOID Setup(CUsbDevice* owner, CPipeRecord* record, PVOID midiSubdevice);
  NTSTATUS OnTransferComplete(CTransferSlot* slot) override;
  VOID Pump() override;

  // Queue access for the output streams, PipeLock held (the queue pointers
  // are private to it).
  ULONG QueueFreePlaces() const;
  ULONG QueuedPackets() const;
  // FALSE (nothing queued) when the ring is full.
  BOOLEAN QueuePacket(ULONG packet);
  VOID DropQueue();
  BOOLEAN QueueEmpty() const { return QueueWrite == QueueRead; }
  // After packets were queued: takes PipeLock; drops the queue when the
  // pipe is stopped, otherwise pumps when nothing is in flight.
  VOID OnQueueWritten();

  // USB pipe worker: stop, reset, drop the queue, clear the halt.
  VOID Recover();

  ULONG* QueueEnd;
  ULONG* QueueWrite;
  ULONG* QueueRead;
  ULONG* QueueStart;
  ULONG Queue[kMidiQueuePackets];
  PVOID MidiSubdevice;
  ULONG CableNumber;
  LONG PipeState;
};

class CMidiInPipe : public CMidiPipe {
 public:
  // No input side, no open streams.
  VOID Setup(CUsbDevice* owner, CPipeRecord* record, PVOID midiSubdevice);
  NTSTATUS OnTransferComplete(CTransferSlot* slot) override;
  VOID Pump() override;

  // USB pipe worker: stop, reset, clear the halt and read again.
  VOID Recover();

  // The input port record: the MIDI input streams' side sets InputSide and
  // keeps its client list and OpenStreams under PipeLock.
  IMidiInputSide* InputSide;
  PVOID MidiSubdevice;
};
