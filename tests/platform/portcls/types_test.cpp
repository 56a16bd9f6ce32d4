// Identifiers the framework matches on, and the reference-counting rules of
// the CUnknown base that driver objects use.
#include <gtest/gtest.h>

#include <portcls.h>

#include "platform/sim/machine.h"
#include "platform/sim/pool.h"

namespace {

TEST(PortClassIdentifiers, AreDistinct) {
  const GUID* ids[] = {
      &IID_IUnknown, &IID_IMiniport, &IID_IPort, &IID_IPortWaveCyclic,
      &IID_IMiniportWaveCyclic, &IID_IMiniportWaveCyclicStream, &CLSID_PortWaveCyclic,
      &IID_IPortMidi, &IID_IMiniportMidi, &IID_IMiniportMidiStream, &CLSID_PortMidi,
      &IID_IDmaChannel, &IID_IServiceSink, &IID_IServiceGroup, &IID_IResourceList,
      &IID_IAdapterPowerManagement, &IID_IUnregisterSubdevice, &IID_IDrmAudioStream,
      &KSDATAFORMAT_TYPE_AUDIO, &KSDATAFORMAT_TYPE_MUSIC, &KSDATAFORMAT_SUBTYPE_PCM,
      &KSDATAFORMAT_SUBTYPE_ANALOG, &KSDATAFORMAT_SUBTYPE_MIDI, &KSDATAFORMAT_SUBTYPE_MIDI_BUS,
      &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, &KSDATAFORMAT_SPECIFIER_NONE, &KSCATEGORY_AUDIO,
      &KSNODETYPE_DAC, &KSNODETYPE_ADC, &KSNODETYPE_LINE_CONNECTOR, &KSMUSIC_TECHNOLOGY_PORT,
      &KSPROPSETID_Pin};
  for (size_t i = 0; i < std::size(ids); ++i)
    for (size_t j = i + 1; j < std::size(ids); ++j)
      EXPECT_FALSE(IsEqualGUID(*ids[i], *ids[j])) << "identifiers " << i << " and " << j;
}

TEST(PortClassIdentifiers, WaveSubtypesCarryTheFormatTag) {
  EXPECT_TRUE(IS_VALID_WAVEFORMATEX_GUID(&KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_EQ(EXTRACT_WAVEFORMATEX_ID(&KSDATAFORMAT_SUBTYPE_PCM), WAVE_FORMAT_PCM);
  EXPECT_EQ(EXTRACT_WAVEFORMATEX_ID(&KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), WAVE_FORMAT_IEEE_FLOAT);
  EXPECT_FALSE(IS_VALID_WAVEFORMATEX_GUID(&KSDATAFORMAT_SUBTYPE_MIDI));
}

// A CUnknown object that reports its destruction.
class Counted : public IUnknown, public CUnknown {
 public:
  Counted(PUNKNOWN outer, bool* destroyed) : CUnknown(outer), destroyed_(destroyed) {}
  ~Counted() override {
    // A query/release pair during destruction must not delete again.
    PUNKNOWN self = nullptr;
    NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&self));
    self->Release();
    *destroyed_ = true;
  }
  DECLARE_STD_UNKNOWN();
  LONG count() const { return m_ReferenceCount; }

 private:
  bool* destroyed_;
};

STDMETHODIMP_(NTSTATUS) Counted::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

constexpr ULONG kTag = 0x74696E55;  // "Unit"

TEST(CUnknownBase, CountsFromZeroAndDeletesAtTheLastRelease) {
  sim::Machine machine;
  bool destroyed = false;
  auto* object = new (NonPagedPoolNx, kTag) Counted(nullptr, &destroyed);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->count(), 0);
  EXPECT_EQ(machine.pool().liveByTag()["Unit"].blocks, 1u);

  EXPECT_EQ(object->AddRef(), 1u);
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown)),
            STATUS_SUCCESS);
  EXPECT_EQ(object->count(), 2);
  PVOID other = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(object->QueryInterface(IID_IServiceSink, &other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);

  EXPECT_EQ(unknown->Release(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(machine.pool().liveByTag()["Unit"].blocks, 0u);
}

TEST(CUnknownBase, AggregatedObjectCountsOnTheOuterUnknown) {
  sim::Machine machine;
  bool outerDestroyed = false;
  bool innerDestroyed = false;
  auto* outer = new (NonPagedPoolNx, kTag) Counted(nullptr, &outerDestroyed);
  outer->AddRef();
  auto* inner = new (NonPagedPoolNx, kTag) Counted(outer, &innerDestroyed);
  inner->NonDelegatingAddRef();

  inner->AddRef();
  EXPECT_EQ(outer->count(), 2);
  EXPECT_EQ(inner->count(), 1);
  inner->Release();
  EXPECT_EQ(outer->count(), 1);

  inner->NonDelegatingRelease();
  EXPECT_TRUE(innerDestroyed);
  outer->Release();
  EXPECT_TRUE(outerDestroyed);
}

}  // namespace
