// Per-machine list of live port-class objects. Anything still listed when
// the machine is destroyed (after every subsystem's shutdown, so after the
// PnP manager removed the devices left) was referenced by someone who never
// let go: the verifier reports it by kind and count.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace sim::portcls {

class PcObject;

class ObjectTracker : public Service {
 public:
  explicit ObjectTracker(Machine& machine);
  ~ObjectTracker() override;

  void Add(PcObject* object);
  void Remove(PcObject* object);
  size_t liveCount() const;
  // "kind (references)" of each live object, oldest first.
  std::vector<std::string> Describe() const;

 private:
  Machine& machine_;
  mutable std::mutex lock_;
  std::vector<PcObject*> live_;
};

}  // namespace sim::portcls
