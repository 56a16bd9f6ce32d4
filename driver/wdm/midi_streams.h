// The MIDI subdevice's streams. An output stream encodes what the port
// writes into USB-MIDI packets on the MIDI OUT pipe's queue; an input
// stream hands out the bytes its client ring received.
//
// Write and Read come from the port at up to DISPATCH_LEVEL and take the
// pipe's PipeLock (Write releases it before handing over to the pipe);
// construction, Open and destruction run at PASSIVE_LEVEL. SetState runs
// at PASSIVE_LEVEL; the input stream's running flag lives under the input
// pipe's lock.
#pragma once

#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

#include "driver/usb/midi_pipes.h"
#include "driver/wdm/midi_codec.h"
#include "driver/wdm/midi_input_side.h"

class CMidiMiniport;

inline constexpr ULONG kMidiStreamPoolTag = 'wNcP';  // "PcNw"

class CMidiOutStream : public IMiniportMidiStream, public CUnknown {
 public:
  DECLARE_STD_UNKNOWN();
  CMidiOutStream(PUNKNOWN outerUnknown, CMidiMiniport* miniport);
  ~CMidiOutStream() override;
  IMP_IMiniportMidiStream;

  // Counts the stream on the pipe (at most four) and holds the 1 ms timer
  // resolution; STATUS_UNSUCCESSFUL for a fifth.
  NTSTATUS Open(CMidiOutPipe* pipe);

 private:
  KSSTATE State;
  CMidiMiniport* Miniport;
  CMidiOutPipe* Pipe;  // the output side; null until opened
  MIDI_ENCODER_STATE Encoder;
  ULONG Cable;
};

class CMidiInStream : public IMiniportMidiStream, public CUnknown {
 public:
  DECLARE_STD_UNKNOWN();
  CMidiInStream(PUNKNOWN outerUnknown, CMidiMiniport* miniport);
  ~CMidiInStream() override;
  IMP_IMiniportMidiStream;

  // A stopped client on cable index 0; STATUS_UNSUCCESSFUL for a fifth
  // stream or without memory for the client.
  NTSTATUS Open(CMidiInputSide* side);
  // From the receiving side, with the input pipe's lock held.
  VOID NotifyPort();
  ULONG DroppedPackets();

 private:
  KSSTATE State;
  CMidiMiniport* Miniport;
  CMidiInputSide* Side;
  MIDI_IN_CLIENT* Client;
};
