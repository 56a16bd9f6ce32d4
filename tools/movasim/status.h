// What `movasim status` reports about a running rig, gathered the way a
// user-mode program sees the driver: the control devices and links in the
// object namespace, the answers of each openable control device to the
// identification and settings requests, and the driver's registry values.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "sim/rig/rig.h"

namespace movasim {

// Keys keep the order in which they were added.
using Json = nlohmann::ordered_json;

// {"namespace": [names], "devices": [{"path", "high_speed", "outputs",
// "inputs", "firmware", "firmware_decimal", "host_controller", "settings",
// "settings_result", "change_flags"}], "registry": {key: {value: data}}}.
// A request that failed has {"error": text} in place of its values.
Json CollectStatus(sim::rig::Rig& rig);

// The same facts, for a person.
std::string FormatStatusText(const Json& status);

}  // namespace movasim
