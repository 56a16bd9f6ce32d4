#include "platform/portcls/object_tracker.h"

#include <algorithm>

#include "platform/portcls/pc_object.h"
#include "platform/sim/verifier.h"

namespace sim::portcls {

ObjectTracker::ObjectTracker(Machine& machine) : machine_(machine) {}

void ObjectTracker::Add(PcObject* object) {
  std::lock_guard<std::mutex> guard(lock_);
  live_.push_back(object);
}

void ObjectTracker::Remove(PcObject* object) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find(live_.begin(), live_.end(), object);
  if (it != live_.end()) live_.erase(it);
}

size_t ObjectTracker::liveCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return live_.size();
}

std::vector<std::string> ObjectTracker::Describe() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> lines;
  for (PcObject* object : live_)
    lines.push_back(std::string(object->kind()) + " (" + std::to_string(object->references()) +
                    " references)");
  return lines;
}

ObjectTracker::~ObjectTracker() {
  if (!machine_.options().leakCheck) return;
  std::vector<std::string> lines = Describe();
  if (lines.empty()) return;
  std::string detail = std::to_string(lines.size()) + " port-class object(s) still referenced:";
  for (const std::string& line : lines) detail += "\n  " + line;
  VerifierFail(rule::kObjectLeak, detail);
}

}  // namespace sim::portcls
