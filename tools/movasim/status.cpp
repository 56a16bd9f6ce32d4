// The status report (see status.h).

#include "tools/movasim/status.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>

#include "common/control_codes.h"
#include "common/settings_record.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/registry.h"

namespace movasim {

namespace {

constexpr unsigned kMaxControlDevices = 4;

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = text[i], b = prefix[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
    if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - u'a' + u'A');
    if (a != b) return false;
  }
  return true;
}

// "\Device\Movakern001" or "\DosDevices\Movakern001" in any letter case,
// written as the driver formats it; empty for every other name.
std::string ControlDeviceName(const std::u16string& name) {
  for (std::u16string_view prefix : {std::u16string_view(u"\\Device\\"), std::u16string_view(u"\\DosDevices\\")}) {
    std::u16string_view rest = std::u16string_view(name).substr(std::min(prefix.size(), name.size()));
    if (!StartsWithNoCase(name, prefix) || rest.size() != 11 || !StartsWithNoCase(rest, u"Movakern")) continue;
    std::u16string_view digits = rest.substr(8);
    bool numeric = true;
    for (char16_t c : digits) numeric &= c >= u'0' && c <= u'9';
    if (numeric) return sim::Utf16ToUtf8(prefix) + "Movakern" + sim::Utf16ToUtf8(digits);
  }
  return {};
}

std::string ErrorName(DWORD error) {
  struct Known {
    DWORD code;
    const char* name;
  };
  static const Known known[] = {
      {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
      {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
      {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
      {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
      {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
      {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
      {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
      {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
      {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
      {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
      {ERROR_NOACCESS, "ERROR_NOACCESS"},
      {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
      {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
  };
  for (const Known& entry : known)
    if (entry.code == error) return entry.name;
  return "error " + std::to_string(error);
}

Json Error(const std::string& text) { return Json{{"error", text}}; }

// One control request with its record in user memory, as the clients send
// it: the same buffer in and out, the record size of the code.
struct Answer {
  std::vector<uint8_t> record;
  std::string error;  // empty when the request succeeded
  uint32_t Dword(size_t offset) const {
    uint32_t value = 0;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
  }
};

Answer Ask(HANDLE device, ULONG code) {
  Answer answer;
  const ULONG size = ControlRecordSizeFor(code, false);
  auto* buffer = static_cast<uint8_t*>(GlobalAlloc(GPTR, size));
  if (buffer == nullptr) {
    answer.error = "no memory for the request";
    return answer;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(device, code, buffer, size, buffer, size, &returned, nullptr)) {
    answer.error = ControlCodeInfo(code)->Name + std::string(" failed: ") + ErrorName(GetLastError());
  } else if (returned < size) {
    answer.error = ControlCodeInfo(code)->Name + std::string(" answered ") + std::to_string(returned) + " of " +
                   std::to_string(size) + " bytes";
  } else {
    answer.record.assign(buffer, buffer + size);
  }
  GlobalFree(buffer);
  return answer;
}

// A 32-bit answer at +0, or the request's error.
Json DwordAnswer(HANDLE device, ULONG code) {
  Answer answer = Ask(device, code);
  return answer.error.empty() ? Json(answer.Dword(0)) : Error(answer.error);
}

Json Option(const SETTINGS_OPTION& option) { return Json{{"Enable", option.Enable}, {"Value", option.Value}}; }

Json DecodeSettings(const SETTINGS_RECORD& record) {
  Json table = Json::array();
  for (const DEVICE_LATENCY_ROW& row : record.RateTable)
    table.push_back(Json{{"Rate", row.Rate},
                         {"Frames", row.Frames},
                         {"MinusKHz", row.MinusKHz},
                         {"Milliseconds", row.Milliseconds},
                         {"Reserved4", row.Reserved4},
                         {"Microframes", row.Microframes},
                         {"Reserved6", row.Reserved6}});
  return Json{{"RateTable", table},
              {"StreamOption", record.StreamOption},
              {"AsioSmaller", record.AsioSmaller},
              {"BufSize2", record.BufSize2},
              {"AsioSampleContainer", record.AsioSampleContainer},
              {"FsSyncOff", record.FsSyncOff},
              {"OptionA", Option(record.OptionA)},
              {"OptionB", Option(record.OptionB)},
              {"MidiInLite", record.MidiInLite},
              {"DeviceOptionA", record.DeviceOptionA},
              {"DeviceOptionB", record.DeviceOptionB},
              {"MidiInOverride", Option(record.MidiInOverride)}};
}

// The name record: +4 its length in bytes, +8 the UTF-16 name.
Json HostControllerName(const Answer& answer) {
  if (!answer.error.empty()) return Error(answer.error);
  constexpr size_t kNameOffset = 8;
  size_t bytes = std::min<size_t>(answer.Dword(4), answer.record.size() - kNameOffset) & ~size_t{1};
  std::u16string name(bytes / 2, u'\0');
  std::memcpy(name.data(), answer.record.data() + kNameOffset, bytes);
  while (!name.empty() && name.back() == u'\0') name.pop_back();
  return sim::Utf16ToUtf8(name);
}

Json DescribeDevice(HANDLE device, const std::string& path) {
  Json entry{{"path", path}};
  entry["high_speed"] = DwordAnswer(device, IOCTL_DEV_IS_HIGH_SPEED);

  Answer channels = Ask(device, IOCTL_DEV_GET_CHANNEL_COUNTS);
  entry["outputs"] = channels.error.empty() ? Json(channels.record[4]) : Error(channels.error);
  entry["inputs"] = channels.error.empty() ? Json(channels.record[5]) : Error(channels.error);

  entry["firmware"] = DwordAnswer(device, IOCTL_DEV_GET_FIRMWARE_VERSION);
  entry["firmware_decimal"] = DwordAnswer(device, IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL);
  entry["host_controller"] = HostControllerName(Ask(device, IOCTL_DEV_GET_HOST_CONTROLLER_NAME));

  Answer settings = Ask(device, IOCTL_DEV_GET_SETTINGS);
  if (settings.error.empty()) {
    SETTINGS_RECORD record;
    std::memcpy(&record, settings.record.data(), sizeof record);
    entry["settings"] = DecodeSettings(record);
    entry["settings_result"] = settings.Dword(sizeof record);
  } else {
    entry["settings"] = Error(settings.error);
    entry["settings_result"] = Error(settings.error);
  }
  entry["change_flags"] = DwordAnswer(device, IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS);
  return entry;
}

Json RegistryData(const sim::RegistryValue& value) {
  auto dword = [&]() {
    uint32_t number = 0;
    std::memcpy(&number, value.data.data(), sizeof number);
    return number;
  };
  auto strings = [&]() {
    std::u16string text(value.data.size() / 2, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    return text;
  };
  switch (value.type) {
    case REG_DWORD:
      if (value.data.size() == 4) return dword();
      break;
    case REG_QWORD:
      if (value.data.size() == 8) {
        uint64_t number = 0;
        std::memcpy(&number, value.data.data(), sizeof number);
        return number;
      }
      break;
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::u16string text = strings();
      while (!text.empty() && text.back() == u'\0') text.pop_back();
      return sim::Utf16ToUtf8(text);
    }
    case REG_MULTI_SZ: {
      Json list = Json::array();
      std::u16string text = strings();
      for (size_t start = 0; start < text.size() && text[start] != u'\0';) {
        size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos) end = text.size();
        list.push_back(sim::Utf16ToUtf8(text.substr(start, end - start)));
        start = end + 1;
      }
      return list;
    }
    default:
      break;
  }
  // Anything else as a .reg file writes it.
  std::string hex = value.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(value.type) + "):";
  char byte[4];
  for (size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", value.data[i]);
    hex += byte;
  }
  return hex;
}

// Every key of the subtree (also those without values) with its values.
void CollectKeys(const sim::Registry& registry, const std::string& path, Json* keys) {
  Json values = Json::object();
  for (const sim::RegistryValue& value : registry.Values(path))
    values[value.name.empty() ? "@" : sim::Utf16ToUtf8(value.name)] = RegistryData(value);
  (*keys)[path] = values;
  for (const std::u16string& name : registry.SubkeyNames(path))
    CollectKeys(registry, path + "\\" + sim::Utf16ToUtf8(name), keys);
}

}  // namespace

Json CollectStatus(sim::rig::Rig& rig) {
  Json status{{"namespace", Json::array()}, {"devices", Json::array()}, {"registry", Json::object()}};
  rig.RunClient([&] {
    for (const std::u16string& name : sim::IoManager::Of(rig.machine()).ListNamespace()) {
      std::string shown = ControlDeviceName(name);
      if (!shown.empty()) status["namespace"].push_back(shown);
    }
    for (unsigned n = 1; n <= kMaxControlDevices; ++n) {
      char path[32];
      std::snprintf(path, sizeof path, "\\\\.\\Movakern00%u", n);
      std::u16string widePath = sim::Utf8ToUtf16(path);
      HANDLE device = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (device == INVALID_HANDLE_VALUE) continue;
      status["devices"].push_back(DescribeDevice(device, path));
      CloseHandle(device);
    }
    const std::string parameters = std::string(sim::rig::kServiceKeyPath) + "\\Parameters";
    auto& registry = rig.machine().service<sim::Registry>();
    if (registry.KeyExists(parameters)) CollectKeys(registry, parameters, &status["registry"]);
  });
  return status;
}

namespace {

std::string Shown(const Json& value) {
  if (value.is_object() && value.contains("error")) return "error: " + value["error"].get<std::string>();
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

void Line(std::ostringstream& out, int indent, const std::string& label, const std::string& text) {
  std::string padded = std::string(indent, ' ') + label;
  if (padded.size() < 24) padded.resize(24, ' ');
  out << padded << ' ' << text << '\n';
}

}  // namespace

std::string FormatStatusText(const Json& status) {
  std::ostringstream out;
  out << "Object namespace:\n";
  if (status["namespace"].empty()) out << "  (no control device)\n";
  for (const auto& name : status["namespace"]) out << "  " << name.get<std::string>() << '\n';

  for (const auto& device : status["devices"]) {
    out << "Control device " << device["path"].get<std::string>() << ":\n";
    Line(out, 2, "high speed", Shown(device["high_speed"]));
    Line(out, 2, "outputs", Shown(device["outputs"]));
    Line(out, 2, "inputs", Shown(device["inputs"]));
    std::string firmware = Shown(device["firmware"]);
    if (device["firmware"].is_number()) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%04X", device["firmware"].get<unsigned>());
      firmware = hex;
    }
    Line(out, 2, "firmware", firmware);
    Line(out, 2, "firmware (decimal)", Shown(device["firmware_decimal"]));
    Line(out, 2, "host controller", Shown(device["host_controller"]));
    Line(out, 2, "settings result", Shown(device["settings_result"]));
    const auto& settings = device["settings"];
    if (settings.contains("error")) {
      Line(out, 2, "settings", Shown(settings));
    } else {
      out << "  settings:\n";
      for (const auto& [field, value] : settings.items()) {
        if (field != "RateTable") {
          std::string text = value.is_object()
                                 ? "enable " + value["Enable"].dump() + ", value " + value["Value"].dump()
                                 : value.dump();
          Line(out, 4, field, text);
          continue;
        }
        for (const auto& row : value) {
          if (row["Rate"] == 0) continue;
          Line(out, 4, "RateTable " + row["Rate"].dump() + " Hz",
               row["Frames"].dump() + " frames, " + row["Milliseconds"].dump() + " ms, " +
                   row["Microframes"].dump() + " microframes, MinusKHz " + row["MinusKHz"].dump());
        }
      }
    }
    Line(out, 2, "change flags", Shown(device["change_flags"]));
  }
  if (status["devices"].empty()) out << "No control device opens.\n";

  out << "Registry:\n";
  if (status["registry"].empty()) out << "  (no Parameters key)\n";
  for (const auto& [key, values] : status["registry"].items()) {
    out << "  [" << key << "]\n";
    for (const auto& [name, data] : values.items()) Line(out, 4, name, Shown(data));
  }
  return out.str();
}

}  // namespace movasim
