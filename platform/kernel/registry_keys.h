// Key objects: the object-manager face of hive keys, shared by the Zw* calls
// and the Win32 Reg* functions.
#pragma once

#include <wdm.h>

#include "platform/kernel/registry_hive.h"

namespace sim::cm {

// The body of a key object; one per open of a key.
struct KeyObject {
  KeyRef key;
  Hive* hive;
};

// The hive of the calling thread's machine.
Hive& CurrentHive();

// Maps generic rights and MAXIMUM_ALLOWED to key rights and drops the
// registry-view flags, which are not rights.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);

// Creates a key object for `key` and a handle to it: a kernel handle, or one
// in the current process.
NTSTATUS InsertKeyHandle(Hive& hive, const KeyRef& key, ACCESS_MASK desired, bool kernelHandle,
                         HANDLE* handle);

// Looks a handle up as a key and returns its object with a reference (drop
// it with DereferenceKey). The handle's granted rights are checked against
// `access` for user-mode callers only: kernel-mode callers are trusted, as
// on Windows. STATUS_INVALID_HANDLE for no such handle,
// STATUS_OBJECT_TYPE_MISMATCH for a handle to something other than a key.
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, KeyObject** object,
                      ACCESS_MASK* granted = nullptr);
void DereferenceKey(KeyObject* object);

// Holds a referenced key object for one call.
class KeyReference {
 public:
  KeyReference() = default;
  ~KeyReference() {
    if (object_) DereferenceKey(object_);
  }
  KeyReference(const KeyReference&) = delete;
  KeyReference& operator=(const KeyReference&) = delete;
  NTSTATUS Acquire(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode) {
    return ReferenceKey(handle, access, mode, &object_, &granted_);
  }
  KeyObject* operator->() const { return object_; }
  ACCESS_MASK granted() const { return granted_; }

 private:
  KeyObject* object_ = nullptr;
  ACCESS_MASK granted_ = 0;
};

}  // namespace sim::cm
