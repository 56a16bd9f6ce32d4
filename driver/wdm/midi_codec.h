// USB-MIDI event packets and MIDI byte streams, both ways.
//
// A packet is 32 bits, byte 0 first: cable number x 16 + code index number
// (CIN), then up to three MIDI bytes padded with 0. The encoder keeps its
// state between calls so a message may be split across writes; the decoder
// is stateless. Pure functions over caller memory: any IRQL, no allocation.
#pragma once

#include <wdm.h>

inline constexpr ULONG kMidiPacketMaxBytes = 3;
// The encoder takes another byte only while the sink has more than this many
// free packet places: one byte emits at most two packets.
inline constexpr ULONG kMidiEncoderReserve = 4;

// One output stream's encoder state; a 32-bit word.
struct MIDI_ENCODER_STATE {
  UCHAR RunningStatus;  // 0: none; 0xF0 while a system exclusive message is open
  UCHAR Pending[2];
  UCHAR PendingCount;
};
static_assert(sizeof(MIDI_ENCODER_STATE) == 4);

inline constexpr ULONG MidiPacket(UCHAR header, UCHAR b1, UCHAR b2 = 0, UCHAR b3 = 0) {
  return ULONG(header) | (ULONG(b1) << 8) | (ULONG(b2) << 16) | (ULONG(b3) << 24);
}
inline constexpr UCHAR MidiPacketByte(ULONG packet, ULONG index) {
  return UCHAR(packet >> (8 * index));
}
inline constexpr ULONG MidiPacketCable(ULONG packet) { return (packet >> 4) & 0xF; }
inline constexpr ULONG MidiPacketCin(ULONG packet) { return packet & 0xF; }

// Where the encoder puts its packets.
class IMidiPacketSink {
 public:
  virtual VOID PutPacket(ULONG packet) = 0;

 protected:
  ~IMidiPacketSink() = default;
};

// Encodes `bytes` for `cable` while more than kMidiEncoderReserve of the
// `freePlaces` packet places remain; returns the bytes consumed. Unconsumed
// bytes are for a later call with the same state.
ULONG EncodeMidiBytes(MIDI_ENCODER_STATE* state, ULONG cable, const UCHAR* bytes, ULONG length,
                      ULONG freePlaces, IMidiPacketSink* sink);

// The MIDI bytes of one packet from `cable` (at most kMidiPacketMaxBytes);
// 0 for another cable, for CIN 0 and 1, and for a packet whose bytes do not
// match its CIN.
ULONG DecodeMidiPacket(ULONG packet, ULONG cable, UCHAR* bytes);
