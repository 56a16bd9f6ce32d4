#include "driver/wdm/midi_streams.h"

#include "driver/usb/usb_device.h"
#include "driver/wdm/midi_miniport.h"

namespace {

// Puts encoded packets on the pipe's queue; the encoder's reserve keeps it
// from ever meeting a full queue.
class CQueueSink final : public IMidiPacketSink {
 public:
  explicit CQueueSink(CMidiOutPipe* pipe) : Pipe(pipe) {}
  VOID PutPacket(ULONG packet) override { Pipe->QueuePacket(packet); }

 private:
  CMidiOutPipe* Pipe;
};

template <class Stream>
NTSTATUS QueryStreamInterface(Stream* stream, REFIID interfaceId, PVOID* object) {
  if (IsEqualGUID(interfaceId, IID_IUnknown) || IsEqualGUID(interfaceId, IID_IMiniportMidiStream)) {
    *object = static_cast<PMINIPORTMIDISTREAM>(stream);
    stream->AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

// ---- Output -----------------------------------------------------------

CMidiOutStream::CMidiOutStream(PUNKNOWN outerUnknown, CMidiMiniport* miniport)
    : CUnknown(outerUnknown),
      State(KSSTATE_STOP),
      Miniport(miniport),
      Pipe(nullptr),
      Encoder{},
      Cable(0) {
  Miniport->AddRef();
}

CMidiOutStream::~CMidiOutStream() {
  if (Pipe) {
    Pipe->LockPipe();
    Pipe->CountStreamClosed();
    Pipe->UnlockPipe();
    ReleaseTimerResolution(&Pipe->Owner->TimerResolutionUsers);
    Pipe = nullptr;
  }
  Encoder = MIDI_ENCODER_STATE{};
  Miniport->Release();
}

NTSTATUS CMidiOutStream::Open(CMidiOutPipe* pipe) {
  pipe->LockPipe();
  const BOOLEAN counted = pipe->CountStreamOpened();
  pipe->UnlockPipe();
  if (!counted) {
    return STATUS_UNSUCCESSFUL;
  }
  HoldTimerResolution(&pipe->Owner->TimerResolutionUsers);
  Pipe = pipe;
  Cable = pipe->CableNumber;
  Encoder = MIDI_ENCODER_STATE{};
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMidiOutStream::NonDelegatingQueryInterface(REFIID InterfaceId,
                                                                   PVOID* Interface) {
  return QueryStreamInterface(this, InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CMidiOutStream::SetFormat(PKSDATAFORMAT) { return STATUS_SUCCESS; }

// The state is kept for the port; writing does not depend on it.
STDMETHODIMP_(NTSTATUS) CMidiOutStream::SetState(KSSTATE state) {
  State = state;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMidiOutStream::Read(PVOID, ULONG, PULONG BytesRead) {
  if (BytesRead) {
    *BytesRead = 0;
  }
  return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CMidiOutStream::Write(PVOID BufferAddress, ULONG BytesToWrite,
                                             PULONG BytesWritten) {
  if (!BytesWritten || (BytesToWrite && !BufferAddress)) {
    return STATUS_INVALID_PARAMETER;
  }
  *BytesWritten = 0;
  CQueueSink sink(Pipe);
  Pipe->LockPipe();
  const ULONG consumed = EncodeMidiBytes(&Encoder, Cable, static_cast<const UCHAR*>(BufferAddress),
                                         BytesToWrite, Pipe->QueueFreePlaces(), &sink);
  Pipe->UnlockPipe();
  Pipe->OnQueueWritten();
  // What is left over the port offers again later.
  *BytesWritten = consumed;
  return STATUS_SUCCESS;
}

// ---- Input ------------------------------------------------------------

CMidiInStream::CMidiInStream(PUNKNOWN outerUnknown, CMidiMiniport* miniport)
    : CUnknown(outerUnknown),
      State(KSSTATE_STOP),
      Miniport(miniport),
      Side(nullptr),
      Client(nullptr) {
  Miniport->AddRef();
}

CMidiInStream::~CMidiInStream() {
  if (Client) {
    Side->CloseClient(Client);
    Client = nullptr;
  }
  Miniport->Release();
}

NTSTATUS CMidiInStream::Open(CMidiInputSide* side) {
  Side = side;
  return side->OpenClient(this, 0, &Client);
}

VOID CMidiInStream::NotifyPort() { Miniport->NotifyPort(); }

ULONG CMidiInStream::DroppedPackets() { return Client ? Side->DroppedPackets(Client) : 0; }

STDMETHODIMP_(NTSTATUS) CMidiInStream::NonDelegatingQueryInterface(REFIID InterfaceId,
                                                                  PVOID* Interface) {
  return QueryStreamInterface(this, InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CMidiInStream::SetFormat(PKSDATAFORMAT) { return STATUS_SUCCESS; }

// Only a running stream receives; what its ring holds stays readable after
// a stop.
STDMETHODIMP_(NTSTATUS) CMidiInStream::SetState(KSSTATE state) {
  if (state == State) {
    return STATUS_SUCCESS;
  }
  State = state;
  if (state == KSSTATE_RUN) {
    Side->SetRunning(Client, TRUE);
  } else if (state == KSSTATE_STOP) {
    Side->SetRunning(Client, FALSE);
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMidiInStream::Read(PVOID BufferAddress, ULONG BufferLength,
                                           PULONG BytesRead) {
  if (!BytesRead || (BufferLength && !BufferAddress)) {
    return STATUS_INVALID_PARAMETER;
  }
  *BytesRead = Side->Read(Client, static_cast<PUCHAR>(BufferAddress), BufferLength);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMidiInStream::Write(PVOID, ULONG, PULONG BytesWritten) {
  if (BytesWritten) {
    *BytesWritten = 0;
  }
  return STATUS_UNSUCCESSFUL;
}
