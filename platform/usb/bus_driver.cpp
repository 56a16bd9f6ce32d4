#include "platform/usb/bus_driver.h"

#include <algorithm>
#include <cstring>

#include <usbbusif.h>
#include <usbioctl.h>

#include "platform/usb/host_controller.h"

namespace sim::usb {
namespace {

struct PdoExtension {
  AttachedUnit* device;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- USBDI bus interface ------------------------------------------------------

// The interface lives as long as the unit's record, which outlives every
// driver; reference counting has nothing to keep alive.
VOID InterfaceReference(PVOID) {}
VOID InterfaceDereference(PVOID) {}

VOID USB_BUSIFFN GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
  if (version != nullptr) {
    version->USBDI_Version = 0x600;
    version->Supported_USB_Version = 0x200;
  }
  if (capabilities != nullptr) *capabilities = 0;
}

NTSTATUS USB_BUSIFFN QueryBusTime(PVOID context, PULONG currentFrame) {
  if (currentFrame == nullptr) return STATUS_INVALID_PARAMETER;
  *currentFrame = static_cast<AttachedUnit*>(context)->controller().FrameNumber();
  return STATUS_SUCCESS;
}

NTSTATUS USB_BUSIFFN SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS USB_BUSIFFN QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) {
  return STATUS_NOT_SUPPORTED;
}

BOOLEAN USB_BUSIFFN IsDeviceHighSpeed(PVOID context) {
  return static_cast<AttachedUnit*>(context)->highSpeed() ? TRUE : FALSE;
}

NTSTATUS QueryInterface(AttachedUnit& device, PIRP irp) {
  const auto& query = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
  // Other interfaces are not ours to answer: the status stays as it came.
  if (query.InterfaceType == nullptr || !IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID))
    return irp->IoStatus.Status;
  if (query.Interface == nullptr || query.Size < sizeof(USB_BUS_INTERFACE_USBDI_V0))
    return STATUS_INVALID_PARAMETER;
  USB_BUS_INTERFACE_USBDI_V1 bus{};
  const bool v1 = query.Version >= USB_BUSIF_USBDI_VERSION_1 && query.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1);
  bus.Size = v1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
  bus.Version = v1 ? USB_BUSIF_USBDI_VERSION_1 : USB_BUSIF_USBDI_VERSION_0;
  bus.BusContext = &device;
  bus.InterfaceReference = InterfaceReference;
  bus.InterfaceDereference = InterfaceDereference;
  bus.GetUSBDIVersion = GetUsbdiVersion;
  bus.QueryBusTime = QueryBusTime;
  bus.SubmitIsoOutUrb = SubmitIsoOutUrb;
  bus.QueryBusInformation = QueryBusInformation;
  bus.IsDeviceHighSpeed = IsDeviceHighSpeed;
  std::memcpy(query.Interface, &bus, bus.Size);
  return STATUS_SUCCESS;
}

// ---- dispatch -------------------------------------------------------------------

// The name as IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME returns it: the length
// of the name copied, then the name, within the caller's `size` bytes.
NTSTATUS ControllerName(AttachedUnit& device, PUSB_HUB_NAME reply, ULONG_PTR size) {
  if (reply == nullptr || size < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  const std::u16string& name = device.controller().name();
  const size_t room = (size - sizeof(ULONG)) / sizeof(WCHAR);
  const size_t characters = std::min(name.size(), room);
  std::memcpy(reply->HubName, name.data(), characters * sizeof(WCHAR));
  if (characters < room) reply->HubName[characters] = 0;
  reply->ActualLength = static_cast<ULONG>(characters * sizeof(WCHAR));
  return characters == name.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  AttachedUnit& device = DeviceOf(pdo);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto& arguments = stack->Parameters.Others;
  irp->IoStatus.Information = 0;
  const bool connected = device.connected();
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return device.controller().SubmitUrb(device, irp, static_cast<PURB>(arguments.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(arguments.Argument1);
      if (status == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
      *status = connected ? USBD_PORT_CONNECTED | USBD_PORT_ENABLED : 0;
      return Complete(irp, connected ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    }
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME:
      if (!connected) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
      if (device.controller().RefusesNameRequests()) return Complete(irp, STATUS_UNSUCCESSFUL);
      return Complete(irp, ControllerName(device, static_cast<PUSB_HUB_NAME>(arguments.Argument1),
                                          reinterpret_cast<ULONG_PTR>(arguments.Argument2)));
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return Complete(irp, connected ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  AttachedUnit& device = DeviceOf(pdo);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, device.connected() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities == nullptr || capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_INVALID_PARAMETER);
      capabilities->Removable = 1;
      capabilities->SurpriseRemovalOK = 1;
      capabilities->Address = device.address();
      capabilities->UINumber = device.address();
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_INTERFACE:
      return Complete(irp, QueryInterface(device, irp));
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PoStartNextPowerIrp(irp);
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) return Complete(irp, STATUS_SUCCESS);
  return Complete(irp, irp->IoStatus.Status);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Information = 0;
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

void InstallBusDispatch(PDRIVER_OBJECT hubDriver) {
  for (auto& dispatch : hubDriver->MajorFunction) dispatch = DispatchUnsupported;
  hubDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  hubDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  hubDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
}

NTSTATUS CreatePdo(PDRIVER_OBJECT hubDriver, AttachedUnit* device, PDEVICE_OBJECT* pdo) {
  NTSTATUS status = IoCreateDevice(hubDriver, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, pdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<PdoExtension*>((*pdo)->DeviceExtension)->device = device;
  (*pdo)->Flags |= DO_POWER_PAGABLE;
  (*pdo)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

AttachedUnit& DeviceOf(PDEVICE_OBJECT pdo) {
  return *static_cast<PdoExtension*>(pdo->DeviceExtension)->device;
}

}  // namespace sim::usb
