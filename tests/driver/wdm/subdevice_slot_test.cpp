// Registering a subdevice slot and unregistering it: the name appears and
// goes, a registered or failed slot is left alone, a port that could not be
// created leaves the slot free, and nothing stays referenced.
#include <memory>

#include <gtest/gtest.h>

#include "driver/core/adapter_object.h"
#include "driver/usb/usb_device.h"
#include "driver/wdm/midi_subdevice.h"
#include "platform/portcls/adapter_registry.h"
#include "platform/sim/ks_client.h"
#include "platform/sim/machine.h"

namespace {

DEFINE_GUID(CLSID_NoSuchPort, 0x0BADC0DE, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 1);

// An adapter that tells no unit; enough for a miniport's Init.
class TestAdapter : public IAdapterContext {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterContext)) {
      *object = static_cast<IAdapterContext*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++references); }
  STDMETHODIMP_(ULONG) Release() override { return ULONG(--references); }
  STDMETHODIMP_(NTSTATUS) Init(PRESOURCELIST, PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(CDeviceContext*) DeviceContext() override { return nullptr; }
  int references = 0;
};

// Answers nothing but IUnknown.
class ForeignUnknown : public IUnknown {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
};

class SubdeviceSlotTest : public testing::Test {
 protected:
  void SetUp() override {
    side_.Setup(&usb_->MidiIn);
    slot_.RenderSide = &usb_->MidiOut;
    slot_.CaptureSide = &side_;
  }
  void TearDown() override {
    sim::portcls::ReleaseDeviceSubdevices(machine_, &device_);
    EXPECT_EQ(sim::PortClassLiveObjects(machine_), 0u);
    EXPECT_EQ(adapter_.references, 0);
  }

  BOOLEAN Register(PUNKNOWN adapter, REFCLSID portClass = CLSID_PortMidi, BOOLEAN keep = FALSE) {
    return RegisterSubdevice(&slot_, &device_, nullptr, name_, portClass, adapter, keep);
  }
  size_t Listed() { return sim::KsListSubdevices(machine_).size(); }

  sim::Machine machine_;
  DEVICE_OBJECT device_{};
  std::unique_ptr<CUsbDevice> usb_ = std::make_unique<CUsbDevice>();
  CMidiInputSide side_;
  CMidiSubdeviceSlot slot_;
  TestAdapter adapter_;
  ForeignUnknown foreign_;
  WCHAR name_[8] = u"Midi1-1";
};

TEST_F(SubdeviceSlotTest, RegisteredOnceUntilUnregistered) {
  ASSERT_TRUE(Register(&adapter_));
  ASSERT_EQ(Listed(), 1u);
  PPORT port = slot_.Port;
  EXPECT_EQ(slot_.Miniport, nullptr);
  EXPECT_EQ(slot_.GetPortReference(), nullptr);

  EXPECT_FALSE(Register(&adapter_));
  EXPECT_EQ(slot_.Port, port);
  EXPECT_EQ(Listed(), 1u);

  EXPECT_TRUE(slot_.Unregister(&device_));
  EXPECT_EQ(Listed(), 0u);
  EXPECT_FALSE(slot_.IsRegistered());
  EXPECT_FALSE(slot_.Unregister(&device_));
  // Free again, it registers again.
  EXPECT_TRUE(Register(&adapter_));
  EXPECT_EQ(Listed(), 1u);
}

TEST_F(SubdeviceSlotTest, KeptPortReferenceGoesAtUnregistration) {
  ASSERT_TRUE(Register(&adapter_, CLSID_PortMidi, TRUE));
  EXPECT_NE(slot_.GetPortReference(), nullptr);
  EXPECT_TRUE(slot_.Unregister(&device_));
  EXPECT_EQ(slot_.GetPortReference(), nullptr);
  EXPECT_EQ(sim::PortClassLiveObjects(machine_), 0u);
}

TEST_F(SubdeviceSlotTest, FailureAfterThePortWasMadeLeavesTheSlotFailed) {
  // The miniport's Init fails: the adapter cannot tell its unit.
  EXPECT_FALSE(Register(&foreign_));
  EXPECT_TRUE(slot_.HasFailed());
  EXPECT_FALSE(slot_.IsRegistered());
  EXPECT_EQ(sim::PortClassLiveObjects(machine_), 0u);

  EXPECT_FALSE(Register(&adapter_));
  EXPECT_EQ(Listed(), 0u);
  EXPECT_FALSE(slot_.Unregister(&device_));

  // A new registration pass clears the slot first.
  slot_.Clear();
  EXPECT_TRUE(Register(&adapter_));
  EXPECT_EQ(Listed(), 1u);
}

TEST_F(SubdeviceSlotTest, PortThatCannotBeMadeLeavesTheSlotFree) {
  EXPECT_FALSE(Register(&adapter_, CLSID_NoSuchPort));
  EXPECT_FALSE(slot_.HasFailed());
  EXPECT_FALSE(slot_.IsRegistered());
  EXPECT_TRUE(Register(&adapter_));
}

}  // namespace
