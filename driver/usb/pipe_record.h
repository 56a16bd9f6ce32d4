// One bound pipe of a selected interface: the handle and the first part of
// the bus driver's pipe information, copied from the interface table.
#pragma once

#include <wdm.h>
#include <usb.h>

class CUsbDevice;

class CPipeRecord {
 public:
  CPipeRecord()
      : PipeHandle(nullptr),
        MaximumPacketSize(0),
        EndpointAddress(0),
        Interval(0),
        PipeType(UsbdPipeTypeControl),
        Owner(nullptr),
        InterfaceNumber(0),
        RateSettingSelected(FALSE) {}
  // Which pipe of the interface this record binds: the MIDI interface's
  // second endpoint is MIDI in, every other record takes the first.
  virtual ULONG PipeIndex() const { return 0; }
  virtual ~CPipeRecord() = default;

  USBD_PIPE_HANDLE PipeHandle;
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  CUsbDevice* Owner;
  UCHAR InterfaceNumber;
  // The alternate setting of the current rate is selected on the interface.
  BOOLEAN RateSettingSelected;
};

class CMidiInPipeRecord : public CPipeRecord {
 public:
  ULONG PipeIndex() const override { return 1; }
};
