#include "driver/wdm/midi_codec.h"

namespace {

constexpr UCHAR kSysExStart = 0xF0;
constexpr UCHAR kSysExEnd = 0xF7;

bool IsData(UCHAR byte) { return byte < 0x80; }

class CPacketWriter {
 public:
  CPacketWriter(ULONG cable, ULONG freePlaces, IMidiPacketSink* sink)
      : Cable(cable & 0xF), Free(freePlaces), Sink(sink) {}

  BOOLEAN HasRoom() const { return Free > kMidiEncoderReserve; }
  VOID Put(ULONG cin, UCHAR b1, UCHAR b2 = 0, UCHAR b3 = 0) {
    Sink->PutPacket(MidiPacket(UCHAR((Cable << 4) | cin), b1, b2, b3));
    --Free;
  }

 private:
  ULONG Cable;
  ULONG Free;
  IMidiPacketSink* Sink;
};

// An open system exclusive message ends here whatever status byte ended it.
VOID CloseSysEx(MIDI_ENCODER_STATE* state, CPacketWriter* out) {
  switch (state->PendingCount) {
    case 0:
      out->Put(0x5, kSysExEnd);
      break;
    case 1:
      out->Put(0x6, state->Pending[0], kSysExEnd);
      break;
    default:
      out->Put(0x7, state->Pending[0], state->Pending[1], kSysExEnd);
      break;
  }
  state->RunningStatus = 0;
  state->PendingCount = 0;
}

VOID EncodeStatus(MIDI_ENCODER_STATE* state, UCHAR status, CPacketWriter* out) {
  if (state->RunningStatus == kSysExStart) {
    CloseSysEx(state, out);
  }
  switch (status) {
    case kSysExStart:
      state->RunningStatus = kSysExStart;
      state->Pending[0] = kSysExStart;
      state->PendingCount = 1;
      break;
    case 0xF6:  // tune request: a whole message by itself
      out->Put(0x5, status);
      state->RunningStatus = 0;
      break;
    case 0xF4:
    case 0xF5:  // undefined system common bytes
      state->RunningStatus = 0;
      break;
    case kSysExEnd:
      break;
    default:  // channel messages, F1, F2, F3
      state->RunningStatus = status;
      state->PendingCount = 0;
      break;
  }
}

VOID EncodeData(MIDI_ENCODER_STATE* state, UCHAR data, CPacketWriter* out) {
  const UCHAR status = state->RunningStatus;
  if (status == 0) {
    return;  // no message to belong to
  }
  if (status == kSysExStart) {
    if (state->PendingCount < 2) {
      state->Pending[state->PendingCount++] = data;
      return;
    }
    out->Put(0x4, state->Pending[0], state->Pending[1], data);
    state->PendingCount = 0;
    return;
  }
  if (status >= 0xC0 && status <= 0xDF) {  // program change, channel pressure
    out->Put(status >> 4, status, data);
    return;
  }
  if (status == 0xF1 || status == 0xF3) {
    out->Put(0x2, status, data);
    state->RunningStatus = 0;
    return;
  }
  // Two data bytes: note off/on, poly pressure, control change, pitch bend
  // (running status holds) and song position (it does not).
  if (state->PendingCount == 0) {
    state->Pending[0] = data;
    state->PendingCount = 1;
    return;
  }
  state->PendingCount = 0;
  if (status == 0xF2) {
    out->Put(0x3, status, state->Pending[0], data);
    state->RunningStatus = 0;
    return;
  }
  out->Put(status >> 4, status, state->Pending[0], data);
}

}  // namespace

ULONG EncodeMidiBytes(MIDI_ENCODER_STATE* state, ULONG cable, const UCHAR* bytes, ULONG length,
                      ULONG freePlaces, IMidiPacketSink* sink) {
  CPacketWriter out(cable, freePlaces, sink);
  ULONG consumed = 0;
  for (; consumed < length && out.HasRoom(); ++consumed) {
    const UCHAR byte = bytes[consumed];
    if (byte >= 0xF8) {
      out.Put(0xF, byte);  // real-time: may sit inside any message
    } else if (IsData(byte)) {
      EncodeData(state, byte, &out);
    } else {
      EncodeStatus(state, byte, &out);
    }
  }
  return consumed;
}

ULONG DecodeMidiPacket(ULONG packet, ULONG cable, UCHAR* bytes) {
  if (MidiPacketCable(packet) != cable) {
    return 0;
  }
  const UCHAR b1 = MidiPacketByte(packet, 1);
  const UCHAR b2 = MidiPacketByte(packet, 2);
  const UCHAR b3 = MidiPacketByte(packet, 3);
  const ULONG cin = MidiPacketCin(packet);
  ULONG count = 0;
  switch (cin) {
    case 0x2:
      count = (b1 == 0xF1 || b1 == 0xF3) && IsData(b2) ? 2 : 0;
      break;
    case 0x3:
      count = b1 == 0xF2 && IsData(b2) && IsData(b3) ? 3 : 0;
      break;
    case 0x4:
    case 0x7:
      count = 3;
      break;
    case 0x5:
      count = 1;
      break;
    case 0x6:
      count = 2;
      break;
    case 0x8:
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xE:
      count = ULONG(b1 >> 4) == cin && IsData(b2) && IsData(b3) ? 3 : 0;
      break;
    case 0xC:
    case 0xD:
      count = ULONG(b1 >> 4) == cin && IsData(b2) ? 2 : 0;
      break;
    case 0xF:
      count = b1 == 0xF6 || b1 >= 0xF8 ? 1 : 0;
      break;
    default:  // 0 and 1: reserved
      break;
  }
  const UCHAR all[kMidiPacketMaxBytes] = {b1, b2, b3};
  for (ULONG i = 0; i < count; ++i) {
    bytes[i] = all[i];
  }
  return count;
}
