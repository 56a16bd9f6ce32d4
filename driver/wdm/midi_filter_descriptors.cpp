#include "driver/wdm/midi_filter_descriptors.h"

#include <ksmedia.h>

namespace {

constexpr ULONG kUnlimitedInstances = 0xFFFFFFFF;

const KSDATARANGE_MUSIC kHostRange = {
    {{sizeof(KSDATARANGE_MUSIC), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI,
      KSDATAFORMAT_SPECIFIER_NONE}},
    KSMUSIC_TECHNOLOGY_PORT,
    0,
    0,
    0xFFFF};

const KSDATARANGE kBridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC,
                                   KSDATAFORMAT_SUBTYPE_MIDI_BUS, KSDATAFORMAT_SPECIFIER_NONE}};

const PKSDATARANGE kHostRanges[] = {
    const_cast<PKSDATARANGE>(reinterpret_cast<const KSDATARANGE*>(&kHostRange))};
const PKSDATARANGE kBridgeRanges[] = {const_cast<PKSDATARANGE>(&kBridgeRange)};

constexpr PCPIN_DESCRIPTOR HostPin(KSPIN_DATAFLOW flow) {
  return {kUnlimitedInstances,
          kUnlimitedInstances,
          0,
          nullptr,
          {0, nullptr, 0, nullptr, 1, kHostRanges, flow, KSPIN_COMMUNICATION_SINK,
           &KSCATEGORY_AUDIO, nullptr, {0}}};
}

constexpr PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW flow) {
  return {0,
          0,
          0,
          nullptr,
          {0, nullptr, 0, nullptr, 1, kBridgeRanges, flow, KSPIN_COMMUNICATION_NONE,
           &KSCATEGORY_AUDIO, nullptr, {0}}};
}

// Render flows into the filter from the host; capture flows out to it.
const PCPIN_DESCRIPTOR kBothPins[] = {HostPin(KSPIN_DATAFLOW_IN), BridgePin(KSPIN_DATAFLOW_OUT),
                                      HostPin(KSPIN_DATAFLOW_OUT), BridgePin(KSPIN_DATAFLOW_IN)};
const PCPIN_DESCRIPTOR kOutputPins[] = {HostPin(KSPIN_DATAFLOW_IN),
                                        BridgePin(KSPIN_DATAFLOW_OUT)};
const PCPIN_DESCRIPTOR kInputPins[] = {HostPin(KSPIN_DATAFLOW_OUT),
                                       BridgePin(KSPIN_DATAFLOW_IN)};

const PCCONNECTION_DESCRIPTOR kBothConnections[] = {{PCFILTER_NODE, 0, PCFILTER_NODE, 1},
                                                    {PCFILTER_NODE, 3, PCFILTER_NODE, 2}};
const PCCONNECTION_DESCRIPTOR kOutputConnections[] = {{PCFILTER_NODE, 0, PCFILTER_NODE, 1}};
const PCCONNECTION_DESCRIPTOR kInputConnections[] = {{PCFILTER_NODE, 1, PCFILTER_NODE, 0}};

template <ULONG Pins, ULONG Connections>
constexpr PCFILTER_DESCRIPTOR Filter(const PCPIN_DESCRIPTOR (&pins)[Pins],
                                     const PCCONNECTION_DESCRIPTOR (&connections)[Connections]) {
  return {0,       nullptr, sizeof(PCPIN_DESCRIPTOR), Pins, pins, 0, 0, nullptr, Connections,
          connections, 0, nullptr};
}

const PCFILTER_DESCRIPTOR kBothFilter = Filter(kBothPins, kBothConnections);
const PCFILTER_DESCRIPTOR kOutputFilter = Filter(kOutputPins, kOutputConnections);
const PCFILTER_DESCRIPTOR kInputFilter = Filter(kInputPins, kInputConnections);

}  // namespace

const PCFILTER_DESCRIPTOR* MidiFilterDescriptor(BOOLEAN hasOutput, BOOLEAN hasInput) {
  if (hasOutput && hasInput) {
    return &kBothFilter;
  }
  if (hasOutput) {
    return &kOutputFilter;
  }
  if (hasInput) {
    return &kInputFilter;
  }
  return nullptr;
}
