// The receiving side of the MIDI subdevice: the open input streams'
// clients, each with a private byte ring, fed from the MIDI IN pipe's
// completions.
//
// Locks: the MIDI IN pipe's PipeLock guards the client list, every
// client's ring positions and running flag, and the pipe's OpenStreams.
// OnPacketsReceived runs with it held (DISPATCH_LEVEL, from the pipe's
// completion); Read and SetRunning take it (up to DISPATCH_LEVEL). Opening
// and closing clients run at PASSIVE_LEVEL (they hold and release the
// timer resolution).
#pragma once

#include <wdm.h>

#include "driver/usb/midi_pipes.h"

class CMidiInStream;

inline constexpr ULONG kMidiInRingBytes = 10240;
inline constexpr ULONG kMidiInPoolTag = 'wNcP';  // "PcNw"

// One input stream's ring. Empty when the positions meet; one byte stays
// free so a full ring is told apart from an empty one.
struct MIDI_IN_CLIENT {
  UCHAR* RingEnd;
  UCHAR* WritePosition;
  UCHAR* ReadPosition;
  UCHAR Ring[kMidiInRingBytes];
  LONG Running;
  // Packets not delivered because the ring could not take all their bytes.
  ULONG DroppedPackets;
  CMidiInStream* Stream;
  MIDI_IN_CLIENT* Next;
};

class CMidiInputSide final : public IMidiInputSide {
 public:
  CMidiInputSide() : Pipe(nullptr), Clients(nullptr) {}
  // Installs this side as the pipe's receiver, with no clients.
  VOID Setup(CMidiInPipe* pipe);

  // A new stopped client with an empty ring, appended to the list; counts
  // the stream and holds the 1 ms timer resolution. Only cable index 0
  // exists. STATUS_UNSUCCESSFUL (nothing counted) for another index, a
  // fifth stream or no memory.
  NTSTATUS OpenClient(CMidiInStream* stream, ULONG cableIndex, MIDI_IN_CLIENT** client);
  // Unlinks and frees the client, then lets go of its counts.
  VOID CloseClient(MIDI_IN_CLIENT* client);

  VOID SetRunning(MIDI_IN_CLIENT* client, BOOLEAN running);
  // Copies up to `length` unread bytes out of the client's ring.
  ULONG Read(MIDI_IN_CLIENT* client, PUCHAR buffer, ULONG length);
  ULONG DroppedPackets(MIDI_IN_CLIENT* client);

  // PipeLock held. Every decoded packet goes whole to every running client
  // whose ring has room for it, and the port hears that data is waiting.
  VOID OnPacketsReceived(const ULONG* packets, ULONG count) override;

  CMidiInPipe* Pipe;

 private:
  MIDI_IN_CLIENT* Clients;
};
