// The hive as a .reg text file: "Windows Registry Editor Version 5.00",
// UTF-16LE with a byte-order mark and CRLF line ends as regedit writes it.
// Reading accepts that or UTF-8; the whole file is checked before anything
// is applied, so a malformed one leaves the hive as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/kernel/registry_hive.h"
#include "platform/kernel/utf_text.h"

namespace sim {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";

// One change a file asks for, checked and ready to apply.
struct FileOperation {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::u16string keyPath;  // below \REGISTRY\MACHINE
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct ParseError {
  int line;
  std::string message;
};

std::u16string_view TrimRight(std::u16string_view s) {
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

std::u16string_view TrimLeft(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Parses 1..8 hex digits.
bool ParseHexNumber(std::u16string_view s, ULONG* value) {
  if (s.empty() || s.size() > 8) return false;
  ULONG v = 0;
  for (char16_t c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | ULONG(d);
  }
  *value = v;
  return true;
}

class Parser {
 public:
  explicit Parser(const cm::Hive& hive) : hive_(hive) {}

  // Fills `operations`, or returns the error where reading stopped.
  std::optional<ParseError> Parse(std::u16string_view text, std::vector<FileOperation>* operations) {
    SplitLines(text);
    if (lines_.empty() || TrimRight(lines_[0]) != kHeader)
      return ParseError{1, "missing header \"Windows Registry Editor Version 5.00\""};
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      std::u16string_view line = TrimRight(lines_[index_]);
      if (TrimLeft(line).empty() || TrimLeft(line).front() == u';') continue;
      std::optional<ParseError> error =
          line.front() == u'[' ? ParseKeyLine(line, operations) : ParseValueLine(line, operations);
      if (error) return error;
    }
    return std::nullopt;
  }

 private:
  int LineNumber() const { return int(index_) + 1; }
  ParseError Error(std::string message) const { return ParseError{LineNumber(), std::move(message)}; }

  void SplitLines(std::u16string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find(u'\n', start);
      std::u16string_view line = text.substr(start, end == std::u16string_view::npos ? text.size() - start : end - start);
      if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
      lines_.push_back(line);
      if (end == std::u16string_view::npos) break;
      start = end + 1;
    }
  }

  std::optional<ParseError> ParseKeyLine(std::u16string_view line, std::vector<FileOperation>* operations) {
    if (line.back() != u']') return Error("key line does not end with ']'");
    std::u16string_view path = line.substr(1, line.size() - 2);
    bool deletion = !path.empty() && path.front() == u'-';
    if (deletion) path.remove_prefix(1);
    cm::KeyRef base;
    std::u16string relative;
    if (!hive_.ResolveRooted(path, &base, &relative))
      return Error("key is not under HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT");
    std::vector<std::u16string_view> components;
    if (!cm::SplitPath(relative, &components)) return Error("invalid key name");
    if (deletion && components.empty()) return Error("the root key cannot be deleted");
    operations->push_back({deletion ? FileOperation::DeleteKey : FileOperation::CreateKey, relative});
    haveKey_ = !deletion;
    keyDeleted_ = deletion;
    currentKey_ = relative;
    return std::nullopt;
  }

  // A quoted string with \\ and \" escapes; `*rest` is what follows the closing quote.
  std::optional<ParseError> ParseQuoted(std::u16string_view s, std::u16string* out, std::u16string_view* rest) {
    out->clear();
    for (size_t i = 1; i < s.size(); ++i) {
      char16_t c = s[i];
      if (c == u'"') {
        *rest = s.substr(i + 1);
        return std::nullopt;
      }
      if (c == u'\\') {
        if (i + 1 >= s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"'))
          return Error("unknown escape in a quoted string");
        c = s[++i];
      }
      out->push_back(c);
    }
    return Error("quoted string is not closed");
  }

  // Hex bytes "xx,xx,..." over this line and the continuation lines that
  // follow a trailing backslash.
  std::optional<ParseError> ParseHexBytes(std::u16string_view s, std::vector<uint8_t>* data) {
    for (;;) {
      s = TrimRight(s);
      bool continued = !s.empty() && s.back() == u'\\';
      if (continued) s.remove_suffix(1);
      std::vector<std::u16string_view> tokens;
      if (!TrimLeft(s).empty()) {
        for (size_t start = 0;;) {
          size_t comma = s.find(u',', start);
          tokens.push_back(TrimRight(TrimLeft(s.substr(start, comma == s.npos ? s.npos : comma - start))));
          if (comma == s.npos) break;
          start = comma + 1;
        }
      }
      for (size_t i = 0; i < tokens.size(); ++i) {
        ULONG value;
        // A separator may end the line; nothing else may be left empty.
        if (tokens[i].empty() && i + 1 == tokens.size() && i > 0) break;
        if (tokens[i].size() > 2 || !ParseHexNumber(tokens[i], &value))
          return Error("bad byte in hex data");
        data->push_back(uint8_t(value));
      }
      if (!continued) return std::nullopt;
      if (index_ + 1 >= lines_.size() || TrimLeft(TrimRight(lines_[index_ + 1])).empty())
        return Error("hex data continues onto no further line");
      ++index_;
      s = TrimLeft(lines_[index_]);
    }
  }

  std::optional<ParseError> ParseValueLine(std::u16string_view line, std::vector<FileOperation>* operations) {
    if (keyDeleted_) return Error("value below a deleted key");
    if (!haveKey_) return Error("value outside a key");
    FileOperation op{FileOperation::SetValue, currentKey_};
    std::u16string_view rest;
    if (line.front() == u'@') {
      rest = line.substr(1);
    } else if (line.front() == u'"') {
      if (auto error = ParseQuoted(line, &op.name, &rest)) return error;
      if (op.name.empty()) return Error("empty value name (the default value is written @)");
      if (op.name.size() > cm::kMaxValueNameChars) return Error("value name too long");
    } else {
      return Error("expected a key in brackets or a value name");
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != u'=') return Error("expected '=' after the value name");
    rest = TrimLeft(rest.substr(1));

    if (rest == u"-") {
      op.kind = FileOperation::DeleteValue;
    } else if (!rest.empty() && rest.front() == u'"') {
      std::u16string text;
      std::u16string_view after;
      if (auto error = ParseQuoted(rest, &text, &after)) return error;
      if (!TrimLeft(after).empty()) return Error("text after the closing quote");
      op.type = REG_SZ;
      op.data.resize((text.size() + 1) * 2, 0);
      memcpy(op.data.data(), text.data(), text.size() * 2);
    } else if (rest.starts_with(u"dword:")) {
      ULONG value;
      if (!ParseHexNumber(rest.substr(6), &value)) return Error("dword needs 1 to 8 hex digits");
      op.type = REG_DWORD;
      op.data.resize(4);
      memcpy(op.data.data(), &value, 4);
    } else if (rest.starts_with(u"hex:")) {
      op.type = REG_BINARY;
      if (auto error = ParseHexBytes(rest.substr(4), &op.data)) return error;
    } else if (rest.starts_with(u"hex(")) {
      size_t close = rest.find(u"):");
      if (close == std::u16string_view::npos || !ParseHexNumber(rest.substr(4, close - 4), &op.type))
        return Error("hex(type) needs a hex type number");
      if (auto error = ParseHexBytes(rest.substr(close + 2), &op.data)) return error;
    } else {
      return Error("unknown value data");
    }
    operations->push_back(std::move(op));
    return std::nullopt;
  }

  const cm::Hive& hive_;
  std::vector<std::u16string_view> lines_;
  size_t index_ = 0;
  bool haveKey_ = false;
  bool keyDeleted_ = false;
  std::u16string currentKey_;
};

// Decodes the file's bytes by their byte-order mark: UTF-16LE, or UTF-8
// with or without one.
std::optional<ParseError> DecodeFile(std::string_view bytes, std::u16string* text) {
  auto lineAt = [&](size_t offset) {
    int line = 1;
    for (size_t i = 0; i < offset && i < bytes.size(); ++i) line += bytes[i] == '\n';
    return line;
  };
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
    std::string_view body = bytes.substr(2);
    text->resize(body.size() / 2);
    for (size_t i = 0; i < text->size(); ++i)
      (*text)[i] = char16_t(uint8_t(body[2 * i]) | (uint8_t(body[2 * i + 1]) << 8));
    if (body.size() % 2 != 0) {
      int line = 1;
      for (char16_t c : *text) line += c == u'\n';
      return ParseError{line, "UTF-16 file ends in the middle of a character"};
    }
    return std::nullopt;
  }
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFE && uint8_t(bytes[1]) == 0xFF)
    return ParseError{1, "UTF-16 big-endian files are not supported"};
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  size_t bad = 0;
  if (!DecodeUtf8Strict(bytes, text, &bad)) return ParseError{lineAt(bad), "invalid UTF-8"};
  return std::nullopt;
}

void ApplyOperations(cm::Hive& hive, const std::vector<FileOperation>& operations) {
  hive.WithLock([&] {
    cm::KeyRef current;
    std::vector<std::u16string_view> components;
    for (const FileOperation& op : operations) {
      switch (op.kind) {
        case FileOperation::CreateKey:
          cm::SplitPath(op.keyPath, &components);
          current = hive.CreatePathLocked(hive.machine(), components, false);
          break;
        case FileOperation::DeleteKey:
          cm::SplitPath(op.keyPath, &components);
          if (cm::KeyRef key = hive.FindLocked(hive.machine(), components)) hive.DeleteTreeLocked(key);
          current = nullptr;
          break;
        case FileOperation::SetValue:
          hive.SetValueLocked(*current, op.name, op.type, op.data.data(), op.data.size());
          break;
        case FileOperation::DeleteValue:
          hive.DeleteValueLocked(*current, op.name);
          break;
      }
    }
    return 0;
  });
}

// ---- Writing -------------------------------------------------------------

void AppendQuoted(std::u16string* out, std::u16string_view s) {
  out->push_back(u'"');
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out->push_back(u'\\');
    out->push_back(c);
  }
  out->push_back(u'"');
}

void AppendAscii(std::u16string* out, std::string_view s) {
  for (char c : s) out->push_back(char16_t(c));
}

// Data regedit can write as "text": one terminator, at the end, and no line
// breaks. Anything else is written as hex(1) so that it reads back the same.
bool IsPlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t chars = data.size() / 2;
  for (size_t i = 0; i < chars; ++i) {
    char16_t c = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    bool last = i + 1 == chars;
    if (last != (c == 0) || c == u'\r' || c == u'\n') return false;
  }
  return true;
}

void AppendHexBytes(std::u16string* out, const std::vector<uint8_t>& data, size_t lineStart) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    out->push_back(char16_t(kDigits[data[i] >> 4]));
    out->push_back(char16_t(kDigits[data[i] & 15]));
    if (i + 1 == data.size()) break;
    out->push_back(u',');
    // Wrap as regedit does, keeping lines within 80 columns.
    if (out->size() - lineStart > 76) {
      AppendAscii(out, "\\\r\n  ");
      lineStart = out->size() - 2;
    }
  }
}

void AppendValue(std::u16string* out, const RegistryValue& value) {
  size_t lineStart = out->size();
  if (value.name.empty())
    out->push_back(u'@');
  else
    AppendQuoted(out, value.name);
  out->push_back(u'=');
  if (value.type == REG_SZ && IsPlainString(value.data)) {
    std::u16string text(value.data.size() / 2 - 1, u'\0');
    memcpy(text.data(), value.data.data(), text.size() * 2);
    AppendQuoted(out, text);
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD v;
    memcpy(&v, value.data.data(), 4);
    char digits[16];
    snprintf(digits, sizeof(digits), "dword:%08x", v);
    AppendAscii(out, digits);
  } else {
    char prefix[24];
    if (value.type == REG_BINARY)
      snprintf(prefix, sizeof(prefix), "hex:");
    else
      snprintf(prefix, sizeof(prefix), "hex(%x):", value.type);
    AppendAscii(out, prefix);
    AppendHexBytes(out, value.data, lineStart);
  }
  AppendAscii(out, "\r\n");
}

void AppendKey(std::u16string* out, const cm::Key& key, const std::u16string& path, bool isRoot) {
  if (key.isVolatile) return;
  if (!isRoot || !key.values.empty()) {
    AppendAscii(out, "[");
    out->append(path);
    AppendAscii(out, "]\r\n");
    for (const RegistryValue& value : key.values) AppendValue(out, value);
    AppendAscii(out, "\r\n");
  }
  for (const cm::KeyRef& subkey : key.subkeys) AppendKey(out, *subkey, path + u"\\" + subkey->name, false);
}

RegFileResult Failure(int line, std::string message) { return RegFileResult{false, line, std::move(message)}; }

std::string ErrnoText(const char* what, int error) { return std::string(what) + ": " + strerror(error); }

}  // namespace

RegFileResult Registry::LoadRegText(std::string_view fileBytes) {
  std::u16string text;
  if (auto error = DecodeFile(fileBytes, &text)) return Failure(error->line, error->message);
  std::vector<FileOperation> operations;
  Parser parser(*hive_);
  if (auto error = parser.Parse(text, &operations)) return Failure(error->line, error->message);
  ApplyOperations(*hive_, operations);
  return {};
}

RegFileResult Registry::LoadRegFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return Failure(0, ErrnoText(("cannot open " + path).c_str(), errno));
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) return Failure(0, "cannot read " + path);
  RegFileResult result = LoadRegText(bytes.str());
  if (!result.ok) result.message = path + ":" + std::to_string(result.line) + ": " + result.message;
  return result;
}

std::string Registry::SaveRegText() const {
  std::u16string text(kHeader);
  AppendAscii(&text, "\r\n\r\n");
  hive_->WithLock([&] {
    AppendKey(&text, *hive_->machine(), u"HKEY_LOCAL_MACHINE", true);
    return 0;
  });
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(char(c & 0xFF));
    bytes.push_back(char(c >> 8));
  }
  return bytes;
}

RegFileResult Registry::SaveRegFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(saveLock_);
  std::optional<SaveStep> inject = failNextSave_;
  failNextSave_.reset();
  auto injected = [&](SaveStep step) { return inject == step; };

  std::string bytes = SaveRegText();
  std::string temporary = path + ".XXXXXX";
  int fd = injected(SaveStep::CreateTemporary) ? (errno = EACCES, -1) : mkstemp(temporary.data());
  if (fd < 0) return Failure(0, ErrnoText(("cannot create a temporary file beside " + path).c_str(), errno));
  auto abandon = [&](const char* what, int error) {
    close(fd);
    unlink(temporary.c_str());
    return Failure(0, ErrnoText(what, error));
  };
  fchmod(fd, 0644);
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = injected(SaveStep::Write) ? (errno = ENOSPC, -1)
                                          : write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return abandon("cannot write the registry file", errno);
    written += size_t(n);
  }
  if (injected(SaveStep::Flush) || fsync(fd) != 0)
    return abandon("cannot flush the registry file", injected(SaveStep::Flush) ? EIO : errno);
  if (close(fd) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    return Failure(0, ErrnoText("cannot close the registry file", error));
  }
  if (injected(SaveStep::Rename) || rename(temporary.c_str(), path.c_str()) != 0) {
    int error = injected(SaveStep::Rename) ? EIO : errno;
    unlink(temporary.c_str());
    return Failure(0, ErrnoText(("cannot replace " + path).c_str(), error));
  }
  // Make the rename itself durable.
  std::string directory = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return {};
}

}  // namespace sim
