#include "driver/wdm/midi_input_side.h"

#include "driver/usb/usb_device.h"
#include "driver/wdm/midi_codec.h"
#include "driver/wdm/midi_streams.h"

namespace {

// The unit has one input cable; the table maps a cable index to the cable
// number its packets carry.
constexpr ULONG kInputCables[] = {0};
constexpr ULONG kInputCableCount = sizeof(kInputCables) / sizeof(kInputCables[0]);

ULONG RingFreeBytes(const MIDI_IN_CLIENT* client) {
  const ULONG used = client->WritePosition >= client->ReadPosition
                         ? ULONG(client->WritePosition - client->ReadPosition)
                         : kMidiInRingBytes - ULONG(client->ReadPosition - client->WritePosition);
  return kMidiInRingBytes - 1 - used;
}

VOID RingPut(MIDI_IN_CLIENT* client, UCHAR byte) {
  *client->WritePosition++ = byte;
  if (client->WritePosition == client->RingEnd) {
    client->WritePosition = client->Ring;
  }
}

}  // namespace

VOID CMidiInputSide::Setup(CMidiInPipe* pipe) {
  Pipe = pipe;
  Clients = nullptr;
  Pipe->LockPipe();
  Pipe->InputSide = this;
  Pipe->UnlockPipe();
}

NTSTATUS CMidiInputSide::OpenClient(CMidiInStream* stream, ULONG cableIndex,
                                    MIDI_IN_CLIENT** client) {
  *client = nullptr;
  if (cableIndex >= kInputCableCount) {
    return STATUS_UNSUCCESSFUL;
  }
  Pipe->LockPipe();
  const BOOLEAN counted = Pipe->CountStreamOpened();
  Pipe->UnlockPipe();
  if (!counted) {
    return STATUS_UNSUCCESSFUL;
  }
  auto* opened = static_cast<MIDI_IN_CLIENT*>(
      ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(MIDI_IN_CLIENT), kMidiInPoolTag));
  if (!opened) {
    Pipe->LockPipe();
    Pipe->CountStreamClosed();
    Pipe->UnlockPipe();
    return STATUS_UNSUCCESSFUL;
  }
  HoldTimerResolution(&Pipe->Owner->TimerResolutionUsers);
  opened->RingEnd = opened->Ring + kMidiInRingBytes;
  opened->WritePosition = opened->Ring;
  opened->ReadPosition = opened->Ring;
  opened->Running = 0;
  opened->DroppedPackets = 0;
  opened->Stream = stream;
  opened->Next = nullptr;
  Pipe->LockPipe();
  MIDI_IN_CLIENT** tail = &Clients;
  while (*tail) {
    tail = &(*tail)->Next;
  }
  *tail = opened;
  Pipe->UnlockPipe();
  *client = opened;
  return STATUS_SUCCESS;
}

VOID CMidiInputSide::CloseClient(MIDI_IN_CLIENT* client) {
  Pipe->LockPipe();
  for (MIDI_IN_CLIENT** link = &Clients; *link; link = &(*link)->Next) {
    if (*link == client) {
      *link = client->Next;
      break;
    }
  }
  Pipe->CountStreamClosed();
  Pipe->UnlockPipe();
  ExFreePoolWithTag(client, kMidiInPoolTag);
  ReleaseTimerResolution(&Pipe->Owner->TimerResolutionUsers);
}

VOID CMidiInputSide::SetRunning(MIDI_IN_CLIENT* client, BOOLEAN running) {
  Pipe->LockPipe();
  client->Running = running ? 1 : 0;
  Pipe->UnlockPipe();
}

ULONG CMidiInputSide::Read(MIDI_IN_CLIENT* client, PUCHAR buffer, ULONG length) {
  ULONG copied = 0;
  Pipe->LockPipe();
  while (copied < length && client->ReadPosition != client->WritePosition) {
    buffer[copied++] = *client->ReadPosition++;
    if (client->ReadPosition == client->RingEnd) {
      client->ReadPosition = client->Ring;
    }
  }
  Pipe->UnlockPipe();
  return copied;
}

ULONG CMidiInputSide::DroppedPackets(MIDI_IN_CLIENT* client) {
  Pipe->LockPipe();
  const ULONG dropped = client->DroppedPackets;
  Pipe->UnlockPipe();
  return dropped;
}

VOID CMidiInputSide::OnPacketsReceived(const ULONG* packets, ULONG count) {
  CMidiInStream* notify = nullptr;
  for (ULONG i = 0; i < count; ++i) {
    UCHAR bytes[kMidiPacketMaxBytes];
    const ULONG length = DecodeMidiPacket(packets[i], kInputCables[0], bytes);
    if (length == 0) {
      continue;
    }
    for (MIDI_IN_CLIENT* client = Clients; client; client = client->Next) {
      if (!client->Running) {
        continue;
      }
      // Part of a message is worse than none: a packet that does not fit
      // whole is dropped for this client, and unread bytes are never
      // overwritten.
      if (RingFreeBytes(client) < length) {
        ++client->DroppedPackets;
        continue;
      }
      for (ULONG b = 0; b < length; ++b) {
        RingPut(client, bytes[b]);
      }
      notify = client->Stream;
    }
  }
  // One notification covers every client: they share the miniport's group.
  if (notify) {
    notify->NotifyPort();
  }
}
