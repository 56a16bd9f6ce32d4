// Audio and MIDI kernel-streaming types: audio and music data ranges, wave
// data formats, and the audio categories, node types and format identifiers.
#pragma once

#include <ks.h>
#include <mmreg.h>

DEFINE_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
DEFINE_GUID(KSCATEGORY_RENDER, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);

DEFINE_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00,
            0x38, 0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_TYPE_MUSIC, 0xE725D360, 0x62CC, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);

// The wave format subtypes carry the format tag in the first field.
#define DEFINE_WAVEFORMATEX_GUID(x) \
  { (ULONG)(USHORT)(x), 0x0000, 0x0010, { 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 } }
#define IS_VALID_WAVEFORMATEX_GUID(Guid)                                                 \
  ((((Guid)->Data1) & 0xFFFF0000u) == 0 && (Guid)->Data2 == 0x0000 &&                   \
   (Guid)->Data3 == 0x0010 && (Guid)->Data4[0] == 0x80 && (Guid)->Data4[1] == 0x00 &&   \
   (Guid)->Data4[2] == 0x00 && (Guid)->Data4[3] == 0xAA && (Guid)->Data4[4] == 0x00 &&  \
   (Guid)->Data4[5] == 0x38 && (Guid)->Data4[6] == 0x9B && (Guid)->Data4[7] == 0x71)
#define EXTRACT_WAVEFORMATEX_ID(Guid) (USHORT)((Guid)->Data1)

inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_PCM);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT =
    DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_IEEE_FLOAT);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6DBA3190, 0x67BD, 0x11CF, 0xA0, 0xF7, 0x00, 0x20, 0xAF,
            0xD1, 0x56, 0xE4);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_MIDI, 0x1D262760, 0xE957, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_MIDI_BUS, 0x2CA15FA0, 0x6CFE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB,
            0x04, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00,
            0xAA, 0x00, 0x55, 0x59, 0x5A);

DEFINE_GUID(KSNODETYPE_DAC, 0x507AE360, 0xC554, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_ADC, 0x4D837FE0, 0xC555, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_LINE_CONNECTOR, 0xDFF21FE3, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9,
            0x22, 0x31, 0x96);
DEFINE_GUID(KSNODETYPE_SPEAKER, 0xDFF21CE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_MICROPHONE, 0xDFF21BE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);

DEFINE_GUID(KSMUSIC_TECHNOLOGY_PORT, 0x86C92E60, 0x62E8, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);

#define KSAUDIO_SPEAKER_MONO (SPEAKER_FRONT_CENTER)
#define KSAUDIO_SPEAKER_STEREO (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT)

typedef struct {
  KSDATARANGE DataRange;
  ULONG MaximumChannels;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);

typedef struct {
  KSDATARANGE DataRange;
  GUID Technology;
  ULONG Channels;
  ULONG Notes;
  ULONG ChannelMask;
} KSDATARANGE_MUSIC, *PKSDATARANGE_MUSIC;
static_assert(sizeof(KSDATARANGE_MUSIC) == 96);

typedef struct {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEX WaveFormatEx;
} KSDATAFORMAT_WAVEFORMATEX, *PKSDATAFORMAT_WAVEFORMATEX;
// The format size counts the two records, not the tail padding.
#define KSDATAFORMAT_WAVEFORMATEX_SIZE (sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
static_assert(KSDATAFORMAT_WAVEFORMATEX_SIZE == 82);

typedef struct {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104);
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt) == 64);
