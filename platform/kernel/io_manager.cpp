// The I/O manager service: the object namespace and IRP accounting.

#include "platform/sim/io_manager.h"

#include <algorithm>

#include "platform/kernel/irp_context.h"
#include "platform/sim/verifier.h"

namespace sim {

namespace {
constexpr size_t kQuarantineSize = 256;

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string Upcased(std::u16string text) {
  for (auto& c : text) c = Upcase(c);
  return text;
}

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upcase(text[i]) != Upcase(prefix[i])) return false;
  return true;
}
}  // namespace

std::u16string FromUnicodeString(const UNICODE_STRING* string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

IoManager::IoManager(Machine& machine) : machine_(machine) {}

IoManager::~IoManager() {
  for (PIRP irp : quarantine_) ReleaseIrpStorage(machine_, irp);
}

void IoManager::Shutdown() {
  if (machine_.options().leakCheck) CheckNoIrps("at machine teardown");
}

std::u16string IoManager::Canonical(const std::u16string& path) {
  static const std::u16string kAliases[] = {u"\\DosDevices\\", u"\\??\\", u"\\GLOBAL??\\", u"\\\\.\\"};
  for (const auto& alias : kAliases)
    if (StartsWithNoCase(path, alias)) return u"\\GLOBAL??\\" + path.substr(alias.size());
  return path;
}

NTSTATUS IoManager::InsertDevice(const std::u16string& name, PDEVICE_OBJECT device) {
  std::u16string key = Upcased(Canonical(name));
  if (key.empty() || key[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::lock_guard<std::mutex> guard(namespaceLock_);
  if (namespace_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  namespace_[key] = Entry{device, {}};
  return STATUS_SUCCESS;
}

void IoManager::RemoveDeviceName(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(namespaceLock_);
  namespace_.erase(Upcased(Canonical(name)));
}

NTSTATUS IoManager::CreateLink(const std::u16string& link, const std::u16string& target) {
  std::u16string key = Upcased(Canonical(link));
  if (key.empty() || key[0] != u'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> guard(namespaceLock_);
  if (namespace_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  namespace_[key] = Entry{nullptr, Canonical(target)};
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::DeleteLink(const std::u16string& link) {
  std::lock_guard<std::mutex> guard(namespaceLock_);
  auto it = namespace_.find(Upcased(Canonical(link)));
  if (it == namespace_.end() || it->second.device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  namespace_.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::Resolve(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder) {
  std::u16string current = Canonical(path);
  std::lock_guard<std::mutex> guard(namespaceLock_);
  for (int hops = 0; hops < 8; ++hops) {
    // The longest registered prefix that ends at a path separator.
    std::u16string upper = Upcased(current);
    size_t end = upper.size();
    auto it = namespace_.end();
    while (end > 0) {
      it = namespace_.find(upper.substr(0, end));
      if (it != namespace_.end()) break;
      size_t separator = upper.rfind(u'\\', end - 1);
      if (separator == std::u16string::npos || separator == 0) break;
      end = separator;
    }
    if (it == namespace_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string rest = current.substr(end);
    if (it->second.device != nullptr) {
      *device = it->second.device;
      *remainder = rest;
      return STATUS_SUCCESS;
    }
    current = it->second.target + rest;
  }
  return STATUS_OBJECT_PATH_NOT_FOUND;
}

std::vector<std::u16string> IoManager::ListNamespace() const {
  std::lock_guard<std::mutex> guard(namespaceLock_);
  std::vector<std::u16string> names;
  for (const auto& [key, entry] : namespace_) {
    if (entry.device != nullptr && !InfoOf(entry.device).name.empty()) {
      names.push_back(InfoOf(entry.device).name);
    } else {
      // Links keep the case they were created with only in their key; show
      // them under the conventional \DosDevices prefix.
      std::u16string shown = key;
      if (StartsWithNoCase(shown, u"\\GLOBAL??\\")) shown = u"\\DosDevices\\" + shown.substr(10);
      names.push_back(shown);
    }
  }
  return names;
}

void IoManager::TrackIrp(PIRP irp) {
  std::lock_guard<std::mutex> guard(irpsLock_);
  irps_.insert(irp);
}

void IoManager::ForgetIrp(PIRP irp) {
  PIRP evicted = nullptr;
  {
    std::lock_guard<std::mutex> guard(irpsLock_);
    irps_.erase(irp);
    static_cast<IrpContext*>(irp->PlatformContext)->freed = true;
    quarantine_.push_back(irp);
    if (quarantine_.size() > kQuarantineSize) {
      evicted = quarantine_.front();
      quarantine_.erase(quarantine_.begin());
    }
  }
  if (evicted) ReleaseIrpStorage(machine_, evicted);
}

size_t IoManager::liveIrps() const {
  std::lock_guard<std::mutex> guard(irpsLock_);
  return irps_.size();
}

void IoManager::CheckNoIrps(const char* when) const {
  std::lock_guard<std::mutex> guard(irpsLock_);
  if (irps_.empty()) return;
  auto* context = static_cast<IrpContext*>((*irps_.begin())->PlatformContext);
  VerifierFail(rule::kIrpLeak, std::to_string(irps_.size()) + " IRPs left behind " + when +
                                   "; one was allocated at " + context->caller.file_name() + ":" +
                                   std::to_string(context->caller.line()));
}

void IoManager::RegisterShutdown(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(namespaceLock_);
  shutdown_.push_back(device);
}

void IoManager::UnregisterShutdown(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(namespaceLock_);
  shutdown_.erase(std::remove(shutdown_.begin(), shutdown_.end(), device), shutdown_.end());
}

std::vector<PDEVICE_OBJECT> IoManager::shutdownDevices() const {
  std::lock_guard<std::mutex> guard(namespaceLock_);
  return shutdown_;
}

}  // namespace sim
