// The base of every object the framework creates (ports, service groups,
// pins, adapter records): pool-backed with a tag, an atomic reference count
// that starts at 1 for the creator, and an entry in the machine's live-object
// tracker so teardown can name what is still referenced.
#pragma once

#include <atomic>
#include <cstddef>

#include <wdm.h>

namespace sim {
class Machine;
}

namespace sim::portcls {

// A pool tag from its four characters in memory order: PoolTag("PcSG").
constexpr ULONG PoolTag(const char (&name)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(name[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(name[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(name[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(name[3])) << 24;
}

class PcObject {
 public:
  // Zeroed pool memory, or null when the pool refuses (fault injection).
  static void* operator new(size_t size, ULONG tag) noexcept;
  static void operator delete(void* block);
  static void operator delete(void* block, ULONG tag);

  PcObject(const PcObject&) = delete;
  PcObject& operator=(const PcObject&) = delete;

  const char* kind() const { return kind_; }
  LONG references() const { return references_.load(); }

 protected:
  explicit PcObject(const char* kind);
  virtual ~PcObject();

  ULONG AddRefObject();
  // Adds a reference unless the count already reached zero (the object is
  // being destroyed); for lists that do not hold references.
  bool TryAddRefObject();
  // Deletes the object when the count reaches zero.
  ULONG ReleaseObject();

 private:
  std::atomic<LONG> references_{1};
  const char* kind_;
  Machine* machine_;
};

// Implements the three IUnknown methods of a PcObject-derived class whose
// QueryInterface is `Query(iid)` returning the interface pointer or null.
#define PC_OBJECT_UNKNOWN()                                                         \
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {      \
    *object = Query(iid);                                                           \
    if (!*object) return STATUS_INVALID_PARAMETER;                                  \
    AddRefObject();                                                                 \
    return STATUS_SUCCESS;                                                          \
  }                                                                                 \
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }                 \
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

}  // namespace sim::portcls
