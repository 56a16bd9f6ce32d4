// The port-class audio framework: adapter registration and dispatch, power
// management, WaveCyclic and MIDI ports with their miniport and stream
// interfaces, service groups, subdevice registration and the descriptor
// records a miniport hands to its port.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <punknown.h>
#include <stdunk.h>

#define PORTCLASSAPI
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))
static_assert(PORT_CLASS_DEVICE_EXTENSION_SIZE == 512);

// The I/O and power records the framework passes by pointer or by value;
// their definitions come with the I/O manager.
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _CM_RESOURCE_LIST;
struct _DEVICE_CAPABILITIES;
union _POWER_STATE;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
typedef struct _IRP* PIRP;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
typedef struct _DEVICE_CAPABILITIES* PDEVICE_CAPABILITIES;
typedef union _POWER_STATE POWER_STATE;
typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject,
                                   struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
struct _ADAPTER_OBJECT;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

// ---------------------------------------------------------------------------
// Interface and class identifiers

#define PORTCLS_GUID(name, l)                                                              \
  DEFINE_GUID(name, l, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44)
PORTCLS_GUID(IID_IMiniport, 0xB4C90A24);
PORTCLS_GUID(IID_IPort, 0xB4C90A25);
PORTCLS_GUID(IID_IPortWaveCyclic, 0xB4C90A26);
PORTCLS_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27);
PORTCLS_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28);
PORTCLS_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A);
PORTCLS_GUID(IID_IPortMidi, 0xB4C90A40);
PORTCLS_GUID(IID_IMiniportMidi, 0xB4C90A41);
PORTCLS_GUID(IID_IMiniportMidiStream, 0xB4C90A42);
PORTCLS_GUID(CLSID_PortMidi, 0xB4C90A43);
#undef PORTCLS_GUID

#define PORTCLS_SUPPORT_GUID(name, l)                                                      \
  DEFINE_GUID(name, l, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE)
PORTCLS_SUPPORT_GUID(IID_IDmaChannel, 0x22C6AC30);
PORTCLS_SUPPORT_GUID(IID_IServiceSink, 0x22C6AC36);
PORTCLS_SUPPORT_GUID(IID_IServiceGroup, 0x22C6AC37);
PORTCLS_SUPPORT_GUID(IID_IResourceList, 0x22C6AC60);
#undef PORTCLS_SUPPORT_GUID

DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9,
            0x0A, 0xB1, 0xB0);
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xEA, 0xF9, 0x5D,
            0x1D, 0x4F, 0xA0);
DEFINE_GUID(IID_IDrmAudioStream, 0x1915C967, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B,
            0x30, 0x6E);

// ---------------------------------------------------------------------------
// Descriptors a miniport reports

struct _PCPROPERTY_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(struct _PCPROPERTY_REQUEST* PropertyRequest);

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES
#define PCPROPERTY_ITEM_FLAG_SERIALIZESET KSPROPERTY_TYPE_SERIALIZESET

typedef struct {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PVOID Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PVOID Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct {
  ULONG PropertyItemSize;
  ULONG PropertyCount;
  const PCPROPERTY_ITEM* Properties;
  ULONG MethodItemSize;
  ULONG MethodCount;
  const PCMETHOD_ITEM* Methods;
  ULONG EventItemSize;
  ULONG EventCount;
  const PCEVENT_ITEM* Events;
  ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                      \
  const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                   \
                                              ARRAYSIZE(PropertyTable),                   \
                                              (const PCPROPERTY_ITEM*)PropertyTable,      \
                                              0, 0, NULL, 0, 0, NULL, 0}

// What the port hands a property handler. Verb carries the KSPROPERTY_TYPE_
// flags; the handler sets ValueSize to the bytes it wrote (or needs).
typedef struct _PCPROPERTY_REQUEST {
  PUNKNOWN MajorTarget;  // the miniport
  PUNKNOWN MinorTarget;  // the stream, for pin properties of an open pin
  ULONG Node;
  const PCPROPERTY_ITEM* PropertyItem;
  ULONG Verb;
  ULONG InstanceSize;
  PVOID Instance;
  ULONG ValueSize;
  PVOID Value;
  PIRP Irp;
} PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

typedef struct {
  ULONG MaxGlobalInstanceCount;
  ULONG MaxFilterInstanceCount;
  ULONG MinFilterInstanceCount;
  const PCAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);

typedef struct {
  ULONG Flags;
  const PCAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

#define PCFILTER_NODE ((ULONG)-1)

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;

typedef struct {
  ULONG Version;
  const PCAUTOMATION_TABLE* AutomationTable;
  ULONG PinSize;
  ULONG PinCount;
  const PCPIN_DESCRIPTOR* Pins;
  ULONG NodeSize;
  ULONG NodeCount;
  const PCNODE_DESCRIPTOR* Nodes;
  ULONG ConnectionCount;
  const PCCONNECTION_DESCRIPTOR* Connections;
  ULONG CategoryCount;
  const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);

// ---------------------------------------------------------------------------
// Interfaces

struct IServiceSink;
struct IServiceGroup;
struct IDmaChannel;
struct IResourceList;
struct IPort;
struct IPortWaveCyclic;
struct IPortMidi;
struct IMiniport;
struct IMiniportWaveCyclic;
struct IMiniportWaveCyclicStream;
struct IMiniportMidi;
struct IMiniportMidiStream;
struct IUnregisterSubdevice;
struct IAdapterPowerManagement;
struct IDrmAudioStream;
typedef IServiceSink* PSERVICESINK;
typedef IServiceGroup* PSERVICEGROUP;
typedef IDmaChannel* PDMACHANNEL;
typedef IResourceList* PRESOURCELIST;
typedef IPort* PPORT;
typedef IPortWaveCyclic* PPORTWAVECYCLIC;
typedef IPortMidi* PPORTMIDI;
typedef IMiniport* PMINIPORT;
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;
typedef IMiniportMidi* PMINIPORTMIDI;
typedef IMiniportMidiStream* PMINIPORTMIDISTREAM;
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;
typedef IDrmAudioStream* PDRMAUDIOSTREAM;

struct IResourceList : IUnknown {
  STDMETHOD_(ULONG, NumberOfEntries)() PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)() PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)() PURE;
};

struct IServiceSink : IUnknown {
  STDMETHOD_(void, RequestService)() PURE;
};

// Members' RequestService runs from the group's DPC, at DISPATCH_LEVEL.
struct IServiceGroup : IServiceSink {
  STDMETHOD_(NTSTATUS, AddMember)(PSERVICESINK ServiceSink) PURE;
  STDMETHOD_(void, RemoveMember)(PSERVICESINK ServiceSink) PURE;
  STDMETHOD_(void, SupportDelayedService)() PURE;
  // Delay in 100-ns units; negative is relative, as for KeSetTimer.
  STDMETHOD_(void, RequestDelayedService)(ULONGLONG DelayIn100ns) PURE;
  STDMETHOD_(void, CancelDelayedService)() PURE;
};

struct IDmaChannel : IUnknown {
  STDMETHOD_(NTSTATUS, AllocateBuffer)(ULONG BufferSize,
                                       PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
  STDMETHOD_(void, FreeBuffer)() PURE;
  STDMETHOD_(ULONG, TransferCount)() PURE;
  STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
  STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
  STDMETHOD_(ULONG, BufferSize)() PURE;
  STDMETHOD_(void, SetBufferSize)(ULONG BufferSize) PURE;
  STDMETHOD_(PVOID, SystemAddress)() PURE;
  STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)() PURE;
  STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
  // CopyTo fills the DMA buffer (Destination) from Source; CopyFrom empties it.
  STDMETHOD_(void, CopyTo)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
  STDMETHOD_(void, CopyFrom)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
};

struct IPort : IUnknown {
  STDMETHOD_(NTSTATUS, Init)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                             PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE;
};

struct IPortWaveCyclic : IPort {
  STDMETHOD_(void, Notify)(PSERVICEGROUP ServiceGroup) PURE;
};

struct IPortMidi : IPort {
  STDMETHOD_(void, Notify)(PSERVICEGROUP ServiceGroup) PURE;
  STDMETHOD_(void, RegisterServiceGroup)(PSERVICEGROUP ServiceGroup) PURE;
};

struct IMiniport : IUnknown {
  STDMETHOD_(NTSTATUS, GetDescription)(PPCFILTER_DESCRIPTOR* Description) PURE;
  STDMETHOD_(NTSTATUS, DataRangeIntersection)(ULONG PinId, PKSDATARANGE DataRange,
                                              PKSDATARANGE MatchingDataRange,
                                              ULONG OutputBufferLength, PVOID ResultantFormat,
                                              PULONG ResultantFormatLength) PURE;
};

struct IMiniportWaveCyclicStream : IUnknown {
  STDMETHOD_(NTSTATUS, SetFormat)(PKSDATAFORMAT DataFormat) PURE;
  STDMETHOD_(ULONG, SetNotificationFreq)(ULONG Interval, PULONG FramingSize) PURE;
  STDMETHOD_(NTSTATUS, SetState)(KSSTATE State) PURE;
  STDMETHOD_(NTSTATUS, GetPosition)(PULONG Position) PURE;
  STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(PLONGLONG PhysicalPosition) PURE;
  STDMETHOD_(void, Silence)(PVOID Buffer, ULONG ByteCount) PURE;
};

struct IMiniportWaveCyclic : IMiniport {
  STDMETHOD_(NTSTATUS, Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                             PPORTWAVECYCLIC Port) PURE;
  STDMETHOD_(NTSTATUS, NewStream)(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown,
                                  POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,
                                  PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                                  PSERVICEGROUP* ServiceGroup) PURE;
};

struct IMiniportMidiStream : IUnknown {
  STDMETHOD_(NTSTATUS, SetFormat)(PKSDATAFORMAT DataFormat) PURE;
  STDMETHOD_(NTSTATUS, SetState)(KSSTATE State) PURE;
  STDMETHOD_(NTSTATUS, Read)(PVOID BufferAddress, ULONG BufferLength, PULONG BytesRead) PURE;
  STDMETHOD_(NTSTATUS, Write)(PVOID BufferAddress, ULONG BytesToWrite, PULONG BytesWritten) PURE;
};

struct IMiniportMidi : IMiniport {
  STDMETHOD_(NTSTATUS, Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTMIDI Port,
                             PSERVICEGROUP* ServiceGroup) PURE;
  STDMETHOD_(void, Service)() PURE;
  STDMETHOD_(NTSTATUS, NewStream)(PMINIPORTMIDISTREAM* Stream, PUNKNOWN OuterUnknown,
                                  POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,
                                  PKSDATAFORMAT DataFormat, PSERVICEGROUP* ServiceGroup) PURE;
};

struct IUnregisterSubdevice : IUnknown {
  STDMETHOD_(NTSTATUS, UnregisterSubdevice)(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) PURE;
};

struct IAdapterPowerManagement : IUnknown {
  STDMETHOD_(void, PowerChangeState)(POWER_STATE NewState) PURE;
  STDMETHOD_(NTSTATUS, QueryPowerChangeState)(POWER_STATE NewStateQuery) PURE;
  STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};

typedef struct {
  BOOL CopyProtect;
  ULONG Reserved;
  BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;

struct IDrmAudioStream : IUnknown {
  STDMETHOD_(NTSTATUS, SetContentId)(ULONG ContentId, PCDRMRIGHTS DrmRights) PURE;
};

// Declarations of an implementing class, written as `IMP_IMiniportWaveCyclic;`.
#define IMP_IMiniport                                                                       \
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override;       \
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,        \
                                                PKSDATARANGE MatchingDataRange,             \
                                                ULONG OutputBufferLength,                   \
                                                PVOID ResultantFormat,                      \
                                                PULONG ResultantFormatLength) override
#define IMP_IMiniportWaveCyclic                                                             \
  IMP_IMiniport;                                                                            \
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,         \
                               PPORTWAVECYCLIC Port) override;                              \
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, \
                                    POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,         \
                                    PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,      \
                                    PSERVICEGROUP* ServiceGroup) override
#define IMP_IMiniportWaveCyclicStream                                                       \
  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;                     \
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override;    \
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;                                 \
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position) override;                            \
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;   \
  STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override
#define IMP_IMiniportMidi                                                                   \
  IMP_IMiniport;                                                                            \
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,         \
                               PPORTMIDI Port, PSERVICEGROUP* ServiceGroup) override;       \
  STDMETHODIMP_(void) Service() override;                                                   \
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTMIDISTREAM* Stream, PUNKNOWN OuterUnknown,     \
                                    POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,         \
                                    PKSDATAFORMAT DataFormat, PSERVICEGROUP* ServiceGroup)  \
      override
#define IMP_IMiniportMidiStream                                                             \
  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;                     \
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;                                 \
  STDMETHODIMP_(NTSTATUS) Read(PVOID BufferAddress, ULONG BufferLength, PULONG BytesRead)   \
      override;                                                                             \
  STDMETHODIMP_(NTSTATUS) Write(PVOID BufferAddress, ULONG BytesToWrite,                    \
                                PULONG BytesWritten) override
#define IMP_IDmaChannel                                                                     \
  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG BufferSize,                                  \
                                         PPHYSICAL_ADDRESS PhysicalAddressConstraint) override; \
  STDMETHODIMP_(void) FreeBuffer() override;                                                \
  STDMETHODIMP_(ULONG) TransferCount() override;                                            \
  STDMETHODIMP_(ULONG) MaximumBufferSize() override;                                        \
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override;                                      \
  STDMETHODIMP_(ULONG) BufferSize() override;                                               \
  STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;                             \
  STDMETHODIMP_(PVOID) SystemAddress() override;                                            \
  STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;                               \
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;                               \
  STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;    \
  STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override
#define IMP_IAdapterPowerManagement                                                         \
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;                      \
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;        \
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)     \
      override

// ---------------------------------------------------------------------------
// Framework entry points

typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                     PRESOURCELIST ResourceList);

PORTCLASSAPI NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup,
                                              PUNKNOWN OuterUnknown);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name,
                                                PUNKNOWN Unknown);

PORTCLASSAPI NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject,
                                                      PUNICODE_STRING RegistryPathName,
                                                      PDRIVER_ADD_DEVICE AddDevice);
PORTCLASSAPI NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject,
                                               PDEVICE_OBJECT PhysicalDeviceObject,
                                               PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                               ULONG DeviceExtensionSize);
PORTCLASSAPI NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown,
                                                             PVOID DeviceObject);
