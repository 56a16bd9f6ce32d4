#include "platform/portcls/adapter.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/portcls/adapter_registry.h"
#include "platform/portcls/port_base.h"
#include "platform/portcls/subdevice_directory.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/machine.h"
#include "platform/sim/verifier.h"

namespace sim::portcls {

namespace {

constexpr ULONG kFilterTag = PoolTag("PcFl");
constexpr ULONG kResourceTag = PoolTag("PcRs");
constexpr ULONG64 kExtensionMagic = 0x50436C7341647072ull;  // "rpdAslCP"
char filterMarker;

// The framework's record at the start of the device extension.
struct FrameworkArea {
  ULONG64 magic;
  PDEVICE_OBJECT device;
  PDEVICE_OBJECT lowerDevice;
};
static_assert(sizeof(FrameworkArea) <= PORT_CLASS_DEVICE_EXTENSION_SIZE);

class ResourceList final : public IResourceList, public PcObject {
 public:
  static ResourceList* Create(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
    return new (kResourceTag) ResourceList(translated, untranslated);
  }
  PC_OBJECT_UNKNOWN()
  STDMETHODIMP_(ULONG) NumberOfEntries() override { return translated_ ? translated_->Count : 0; }
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return translated_; }
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return untranslated_; }

 private:
  ResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
      : PcObject("resource list"), translated_(translated), untranslated_(untranslated) {}
  void* Query(REFIID iid) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList))
      return static_cast<IResourceList*>(this);
    return nullptr;
  }
  PCM_RESOURCE_LIST translated_;
  PCM_RESOURCE_LIST untranslated_;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS OnForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower drivers to finish with it;
// the caller completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnForwarded, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS PassPowerDown(PDEVICE_OBJECT lower, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lower, irp);
}

std::u16string FileNameOf(PFILE_OBJECT file) {
  if (!file) return {};
  std::u16string name = FromUnicodeString(&file->FileName);
  while (!name.empty() && name.front() == u'\\') name.erase(name.begin());
  return name;
}

AdapterRegistry& Adapters() { return Machine::CurrentChecked().service<AdapterRegistry>(); }

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  std::u16string name = FileNameOf(stack->FileObject);
  if (name.empty()) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  PortBase* port = Machine::CurrentChecked().service<SubdeviceDirectory>().Find(name, device);
  if (!port) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
  FilterObject* filter = nullptr;
  NTSTATUS status = FilterObject::Open(port, &filter);
  port->unknown()->Release();
  if (NT_SUCCESS(status)) {
    stack->FileObject->FsContext = filter;
    stack->FileObject->FsContext2 = &filterMarker;
  }
  return Complete(irp, status);
}

NTSTATUS DispatchClose(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (FilterObject* filter = FilterObject::FromFile(stack->FileObject)) {
    stack->FileObject->FsContext = nullptr;
    stack->FileObject->FsContext2 = nullptr;
    filter->Close();
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, PIRP irp, const AdapterRegistry::Adapter& adapter) {
  NTSTATUS status = ForwardAndWait(adapter.lowerDevice, irp);
  if (NT_SUCCESS(status) && adapter.startDevice) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ResourceList* resources =
        ResourceList::Create(stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                             stack->Parameters.StartDevice.AllocatedResources);
    if (!resources) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    status = adapter.startDevice(device, irp, resources);
    resources->Release();
  }
  return Complete(irp, status);
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, PIRP irp, const AdapterRegistry::Adapter& adapter) {
  NTSTATUS status = ForwardAndWait(adapter.lowerDevice, irp);
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (NT_SUCCESS(status) && capabilities) {
    if (PADAPTERPOWERMANAGEMENT power = Adapters().ReferencePower(device)) {
      status = power->QueryDeviceCapabilities(capabilities);
      power->Release();
    }
    if (NT_SUCCESS(status)) Adapters().SetCapabilities(device, *capabilities);
  }
  return Complete(irp, status);
}

// Subdevices first, then the adapter's power object: its destructor may
// tear down what the miniports used. Then the stack goes.
NTSTATUS RemoveDevice(PDEVICE_OBJECT device, PIRP irp, const AdapterRegistry::Adapter& adapter) {
  Machine& machine = Machine::CurrentChecked();
  ReleaseDeviceSubdevices(machine, device);
  if (PADAPTERPOWERMANAGEMENT power = Adapters().Remove(device)) power->Release();
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(adapter.lowerDevice, irp);
  IoDetachDevice(adapter.lowerDevice);
  auto* area = static_cast<FrameworkArea*>(device->DeviceExtension);
  area->magic = 0;
  IoDeleteDevice(device);
  return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp, const AdapterRegistry::Adapter& adapter) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(device, irp, adapter);
    case IRP_MN_QUERY_CAPABILITIES:
      return QueryCapabilities(device, irp, adapter);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(device, irp, adapter);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(adapter.lowerDevice, irp);
    default:
      return PassDown(adapter.lowerDevice, irp);
  }
}

DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE system, const AdapterRegistry::Adapter& adapter) {
  DEVICE_POWER_STATE state =
      system < PowerSystemMaximum ? adapter.systemToDevice[system] : PowerDeviceUnspecified;
  if (state == PowerDeviceUnspecified)
    state = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
  return state;
}

// Query: the adapter may refuse the device state (for a system query, the
// state that system state maps to). Set: powering up lets the lower drivers
// go first, powering down tells the adapter first.
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp, const AdapterRegistry::Adapter& adapter) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  POWER_STATE state = stack->Parameters.Power.State;
  bool deviceType = stack->Parameters.Power.Type == DevicePowerState;
  PADAPTERPOWERMANAGEMENT power = Adapters().ReferencePower(device);
  NTSTATUS status = STATUS_SUCCESS;
  if (stack->MinorFunction == IRP_MN_QUERY_POWER && power) {
    POWER_STATE query;
    query.DeviceState = deviceType ? state.DeviceState : DeviceStateFor(state.SystemState, adapter);
    status = power->QueryPowerChangeState(query);
    if (!NT_SUCCESS(status)) {
      power->Release();
      PoStartNextPowerIrp(irp);
      return Complete(irp, status);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
  } else if (stack->MinorFunction == IRP_MN_SET_POWER && deviceType) {
    bool up = state.DeviceState < adapter.devicePower;
    if (up) {
      status = ForwardAndWait(adapter.lowerDevice, irp);
      if (NT_SUCCESS(status)) {
        if (power) power->PowerChangeState(state);
        PoSetPowerState(device, DevicePowerState, state);
        Adapters().SetDevicePower(device, state.DeviceState);
      }
      if (power) power->Release();
      PoStartNextPowerIrp(irp);
      return Complete(irp, status);
    }
    if (power) power->PowerChangeState(state);
    PoSetPowerState(device, DevicePowerState, state);
    Adapters().SetDevicePower(device, state.DeviceState);
    irp->IoStatus.Status = STATUS_SUCCESS;
  } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  if (power) power->Release();
  return PassPowerDown(adapter.lowerDevice, irp);
}

std::atomic<ULONG> adapterNumber{0};

}  // namespace

// ---------------------------------------------------------------------------
// Filter files

NTSTATUS FilterObject::Open(PortBase* port, FilterObject** out) {
  *out = nullptr;
  NTSTATUS status = port->OpenFilter();
  if (!NT_SUCCESS(status)) return status;
  auto* filter = new (kFilterTag) FilterObject(port);
  if (!filter) {
    port->CloseFilter();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *out = filter;
  return STATUS_SUCCESS;
}

FilterObject* FilterObject::FromFile(PFILE_OBJECT file) {
  if (!file || file->FsContext2 != &filterMarker) return nullptr;
  return static_cast<FilterObject*>(file->FsContext);
}

FilterObject::FilterObject(PortBase* port) : PcObject("filter"), port_(port) {
  port_->unknown()->AddRef();
}

FilterObject::~FilterObject() {
  port_->CloseFilter();
  port_->unknown()->Release();
}

std::u16string AdapterDevicePath(PDEVICE_OBJECT device) {
  auto* registry = Machine::CurrentChecked().findService<AdapterRegistry>();
  if (!device || !registry || !registry->Find(device, nullptr)) return {};
  return InfoOf(device).name;
}

}  // namespace sim::portcls

using namespace sim::portcls;

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice) {
  if (!DriverObject || !AddDevice) return STATUS_INVALID_PARAMETER;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL,
                      IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL})
    DriverObject->MajorFunction[major] = PcDispatchIrp;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                  ULONG DeviceExtensionSize) {
  if (!DriverObject || !PhysicalDeviceObject || !StartDevice) return STATUS_INVALID_PARAMETER;
  if (DeviceExtensionSize == 0) DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
  if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) return STATUS_INVALID_PARAMETER;
  std::u16string name = u"\\Device\\PcAdapter";
  std::string number = std::to_string(adapterNumber.fetch_add(1) + 1);
  name.append(4 - std::min<size_t>(4, number.size()), u'0');
  for (char c : number) name.push_back(static_cast<char16_t>(c));
  UNICODE_STRING deviceName;
  deviceName.Buffer = name.data();
  deviceName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  deviceName.MaximumLength = deviceName.Length;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, &deviceName, FILE_DEVICE_KS,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (!lower) {
    IoDeleteDevice(device);
    return STATUS_DEVICE_REMOVED;
  }
  auto* area = static_cast<FrameworkArea*>(device->DeviceExtension);
  area->magic = kExtensionMagic;
  area->device = device;
  area->lowerDevice = lower;
  AdapterRegistry::Adapter adapter;
  adapter.device = device;
  adapter.lowerDevice = lower;
  adapter.startDevice = StartDevice;
  adapter.maxObjects = MaxObjects;
  Adapters().Add(adapter);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // A file opened before the device was removed still closes.
  if (Irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_CLOSE) return DispatchClose(Irp);
    if (major == IRP_MJ_CLEANUP) return Complete(Irp, STATUS_SUCCESS);
  }
  AdapterRegistry::Adapter adapter;
  if (!DeviceObject || !Irp || !Adapters().Find(DeviceObject, &adapter))
    return Irp ? Complete(Irp, STATUS_INVALID_DEVICE_REQUEST) : STATUS_INVALID_PARAMETER;
  auto* area = static_cast<FrameworkArea*>(DeviceObject->DeviceExtension);
  if (area->magic != kExtensionMagic || area->device != DeviceObject ||
      area->lowerDevice != adapter.lowerDevice)
    sim::VerifierFail("PORTCLS_EXTENSION_OVERWRITTEN",
                      "the first 512 bytes of the device extension belong to the framework");
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      return DispatchCreate(DeviceObject, Irp);
    case IRP_MJ_PNP:
      return DispatchPnp(DeviceObject, Irp, adapter);
    case IRP_MJ_POWER:
      return DispatchPower(DeviceObject, Irp, adapter);
    case IRP_MJ_SYSTEM_CONTROL:
      return PassDown(adapter.lowerDevice, Irp);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID DeviceObject) {
  auto device = static_cast<PDEVICE_OBJECT>(DeviceObject);
  if (!Unknown || !device || !Adapters().Find(device, nullptr)) return STATUS_INVALID_PARAMETER;
  PADAPTERPOWERMANAGEMENT power = nullptr;
  NTSTATUS status =
      Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
  if (!NT_SUCCESS(status)) return status;
  if (!power) return STATUS_INVALID_PARAMETER;
  if (PADAPTERPOWERMANAGEMENT previous = Adapters().SetPower(device, power)) previous->Release();
  return STATUS_SUCCESS;
}
