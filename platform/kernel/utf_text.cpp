#include "platform/kernel/utf_text.h"

#include "platform/sim/registry.h"

namespace sim {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string* out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out->push_back(char16_t(0xD800 + (cp >> 10)));
    out->push_back(char16_t(0xDC00 + (cp & 0x3FF)));
  } else {
    out->push_back(char16_t(cp));
  }
}

// Decodes one code point at `*i`; returns false (without moving) when the
// bytes there are not well-formed UTF-8.
bool DecodeOne(std::string_view text, size_t* i, char32_t* cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(*i);
  if (lead < 0x80) {
    *cp = lead;
    ++*i;
    return true;
  }
  int extra;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    min = 0x10000;
  } else {
    return false;
  }
  if (*i + extra >= text.size()) return false;
  char32_t value = lead & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    unsigned char next = byte(*i + k);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
  *cp = value;
  *i += extra + 1;
  return true;
}

}  // namespace

bool DecodeUtf8Strict(std::string_view text, std::u16string* out, size_t* errorOffset) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    if (!DecodeOne(text, &i, &cp)) {
      if (errorOffset) *errorOffset = i;
      return false;
    }
    AppendCodePoint(out, cp);
  }
  return true;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    if (DecodeOne(text, &i, &cp)) {
      AppendCodePoint(&out, cp);
    } else {
      out.push_back(kReplacement);
      ++i;
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = kReplacement;
    }
    if (cp < 0x80) {
      out.push_back(char(cp));
    } else if (cp < 0x800) {
      out.push_back(char(0xC0 | (cp >> 6)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(char(0xE0 | (cp >> 12)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (cp >> 18)));
      out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace sim
