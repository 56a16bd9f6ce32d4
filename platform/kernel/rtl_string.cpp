// Counted strings, case mapping and the bounded printf family of the
// run-time library. Callable at any IRQL; nothing here allocates.
#include <nt/rtlstring.h>

#include <cstdio>
#include <cstring>

namespace {

// Simple case mapping for the scripts our names and texts use: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic.
WCHAR Upcase(WCHAR c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? WCHAR(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return WCHAR(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs (upper even, lower odd) except 0x139..0x148 and 0x179..0x17E,
    // where the upper case is odd; 0x130, 0x131, 0x138 and 0x149 have no pair.
    bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x130 || c == 0x17F) return c;
    if (oddUpper) return (c % 2 == 0) ? WCHAR(c - 1) : c;
    return (c % 2 == 1) ? WCHAR(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return WCHAR(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return WCHAR(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return WCHAR(c - 0x50);
  return c;
}

WCHAR Downcase(WCHAR c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? WCHAR(c + 0x20) : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return WCHAR(c + 0x20);
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17F) {
    if (Upcase(WCHAR(c + 1)) == c && c + 1 <= 0x17F) return WCHAR(c + 1);
    return c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return WCHAR(c + 0x20);
  if (c >= 0x410 && c <= 0x42F) return WCHAR(c + 0x20);
  if (c >= 0x400 && c <= 0x40F) return WCHAR(c + 0x50);
  return c;
}

size_t Length16(const WCHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Output with a fixed capacity: counts everything, stores what fits.
template <typename Char>
class BoundedSink {
 public:
  BoundedSink(Char* dest, size_t capacity) : dest_(dest), capacity_(capacity) {}

  void Put(Char c) {
    if (count_ < capacity_) dest_[count_] = c;
    ++count_;
  }
  void PutCodePoint(char32_t cp);
  void Repeat(Char c, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(c);
  }
  size_t count() const { return count_; }
  size_t stored() const { return count_ < capacity_ ? count_ : capacity_; }
  bool truncated() const { return count_ > capacity_; }

 private:
  Char* dest_;
  size_t capacity_;
  size_t count_ = 0;
};

template <>
void BoundedSink<WCHAR>::PutCodePoint(char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    Put(WCHAR(0xD800 + (cp >> 10)));
    Put(WCHAR(0xDC00 + (cp & 0x3FF)));
  } else {
    Put(WCHAR(cp));
  }
}

template <>
void BoundedSink<char>::PutCodePoint(char32_t cp) {
  if (cp < 0x80) {
    Put(char(cp));
  } else if (cp < 0x800) {
    Put(char(0xC0 | (cp >> 6)));
    Put(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    Put(char(0xE0 | (cp >> 12)));
    Put(char(0x80 | ((cp >> 6) & 0x3F)));
    Put(char(0x80 | (cp & 0x3F)));
  } else {
    Put(char(0xF0 | (cp >> 18)));
    Put(char(0x80 | ((cp >> 12) & 0x3F)));
    Put(char(0x80 | ((cp >> 6) & 0x3F)));
    Put(char(0x80 | (cp & 0x3F)));
  }
}

// A string argument in either width, read code point by code point. Narrow
// strings are taken as UTF-8; a byte that does not decode stands for itself.
struct TextView {
  const char* narrow = nullptr;
  const WCHAR* wide = nullptr;
  size_t length = SIZE_MAX;  // code units; SIZE_MAX = up to the terminator

  bool AtEnd(size_t i) const {
    if (i >= length) return true;
    return narrow ? narrow[i] == 0 : wide[i] == 0;
  }
  char32_t Next(size_t* i) const {
    if (wide) {
      char32_t c = wide[(*i)++];
      if (c >= 0xD800 && c < 0xDC00 && !AtEnd(*i)) {
        char32_t low = wide[*i];
        if (low >= 0xDC00 && low < 0xE000) {
          ++*i;
          return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
      }
      return c;
    }
    auto byte = [&](size_t k) { return static_cast<unsigned char>(narrow[k]); };
    unsigned char lead = byte(*i);
    int extra = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (lead >= 0xF8) extra = 0;
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      if (AtEnd(*i + k) || (byte(*i + k) & 0xC0) != 0x80) {
        ++*i;
        return lead;
      }
      cp = (cp << 6) | (byte(*i + k) & 0x3F);
    }
    *i += extra + 1;
    return cp;
  }
};

// How one % conversion lays out its field: flags, width and precision.
struct FieldLayout {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
};

template <typename Char>
void PutPadded(BoundedSink<Char>& out, const FieldLayout& layout, const char* body,
               size_t bodyLength, const char* prefix, bool zeroPad) {
  size_t prefixLength = strlen(prefix);
  size_t total = prefixLength + bodyLength;
  size_t pad = layout.width > 0 && size_t(layout.width) > total ? layout.width - total : 0;
  if (!layout.left && !zeroPad) out.Repeat(Char(' '), pad);
  for (size_t i = 0; i < prefixLength; ++i) out.Put(Char(prefix[i]));
  if (!layout.left && zeroPad) out.Repeat(Char('0'), pad);
  for (size_t i = 0; i < bodyLength; ++i) out.Put(Char(body[i]));
  if (layout.left) out.Repeat(Char(' '), pad);
}

template <typename Char>
void PutInteger(BoundedSink<Char>& out, const FieldLayout& layout, uint64_t magnitude,
                bool negative, unsigned base, bool upper, bool isSigned) {
  char digits[72];
  size_t n = 0;
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uint64_t v = magnitude; v != 0; v /= base) digits[n++] = alphabet[v % base];
  size_t minDigits = layout.precision >= 0 ? size_t(layout.precision) : 1;
  if (layout.alt && base == 8 && n >= minDigits) minDigits = n + 1;
  char body[72];
  size_t length = 0;
  for (size_t i = n; i < minDigits && length < 64; ++i) body[length++] = '0';
  while (n > 0) body[length++] = digits[--n];
  const char* prefix = "";
  if (isSigned) prefix = negative ? "-" : layout.plus ? "+" : layout.space ? " " : "";
  if (layout.alt && base == 16 && magnitude != 0) prefix = upper ? "0X" : "0x";
  PutPadded(out, layout, body, length, prefix, layout.zero && !layout.left && layout.precision < 0);
}

template <typename Char>
void PutText(BoundedSink<Char>& out, const FieldLayout& layout, const TextView& text) {
  // Width and precision count characters of the source.
  size_t chars = 0;
  for (size_t i = 0;
       !text.AtEnd(i) && (layout.precision < 0 || chars < size_t(layout.precision));) {
    text.Next(&i);
    ++chars;
  }
  size_t pad = layout.width > 0 && size_t(layout.width) > chars ? layout.width - chars : 0;
  if (!layout.left) out.Repeat(Char(' '), pad);
  size_t i = 0;
  for (size_t k = 0; k < chars; ++k) out.PutCodePoint(text.Next(&i));
  if (layout.left) out.Repeat(Char(' '), pad);
}

enum class Width { Default, Char, Short, Long32, Long64, Pointer, Wide, Narrow };

// The shared engine. `wideDefault` selects the meaning of %s and %c: wide in
// the wide functions, narrow in the narrow ones. Returns false on an unknown
// or refused conversion (%n is refused, as the safe-string functions do).
template <typename Char>
bool FormatInto(BoundedSink<Char>& out, const Char* format, va_list args) {
  constexpr bool wideDefault = sizeof(Char) == sizeof(WCHAR);
  static const char kNull[] = "(null)";
  for (const Char* p = format; *p != 0; ++p) {
    if (*p != Char('%')) {
      out.Put(*p);
      continue;
    }
    ++p;
    FieldLayout layout;
    for (;; ++p) {
      if (*p == Char('-')) layout.left = true;
      else if (*p == Char('+')) layout.plus = true;
      else if (*p == Char(' ')) layout.space = true;
      else if (*p == Char('#')) layout.alt = true;
      else if (*p == Char('0')) layout.zero = true;
      else break;
    }
    if (*p == Char('*')) {
      layout.width = va_arg(args, int);
      if (layout.width < 0) {
        layout.left = true;
        layout.width = -layout.width;
      }
      ++p;
    } else {
      while (*p >= Char('0') && *p <= Char('9'))
        layout.width = layout.width * 10 + (*p++ - Char('0'));
    }
    if (*p == Char('.')) {
      ++p;
      layout.precision = 0;
      if (*p == Char('*')) {
        layout.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= Char('0') && *p <= Char('9'))
          layout.precision = layout.precision * 10 + (*p++ - Char('0'));
      }
    }
    Width width = Width::Default;
    if (*p == Char('h')) {
      ++p;
      width = Width::Short;
      if (*p == Char('h')) {
        ++p;
        width = Width::Char;
      }
    } else if (*p == Char('l')) {
      ++p;
      width = Width::Long32;  // LLP64: long is 32 bits
      if (*p == Char('l')) {
        ++p;
        width = Width::Long64;
      }
    } else if (*p == Char('L')) {
      ++p;
      width = Width::Long64;
    } else if (*p == Char('w')) {
      ++p;
      width = Width::Wide;
    } else if (*p == Char('z') || *p == Char('j') || *p == Char('t')) {
      ++p;
      width = Width::Pointer;
    } else if (*p == Char('I')) {
      ++p;
      width = Width::Pointer;
      if (p[0] == Char('6') && p[1] == Char('4')) {
        p += 2;
        width = Width::Long64;
      } else if (p[0] == Char('3') && p[1] == Char('2')) {
        p += 2;
        width = Width::Long32;
      }
    }

    Char conversion = *p;
    if (conversion == 0) return false;
    auto readSigned = [&]() -> int64_t {
      switch (width) {
        case Width::Long64: return va_arg(args, long long);
        case Width::Pointer: return va_arg(args, intptr_t);
        case Width::Short: return static_cast<short>(va_arg(args, int));
        case Width::Char: return static_cast<signed char>(va_arg(args, int));
        default: return va_arg(args, int);
      }
    };
    auto readUnsigned = [&]() -> uint64_t {
      switch (width) {
        case Width::Long64: return va_arg(args, unsigned long long);
        case Width::Pointer: return va_arg(args, uintptr_t);
        case Width::Short: return static_cast<unsigned short>(va_arg(args, unsigned));
        case Width::Char: return static_cast<unsigned char>(va_arg(args, unsigned));
        default: return va_arg(args, unsigned);
      }
    };
    // Whether a %s / %c argument is wide: the default for the function,
    // flipped by the capital letter, fixed by h (narrow) or l / w (wide).
    auto argIsWide = [&](bool capital) {
      if (width == Width::Short) return false;
      if (width == Width::Long32 || width == Width::Wide) return true;
      return capital ? !wideDefault : wideDefault;
    };

    switch (conversion) {
      case '%':
        out.Put(Char('%'));
        break;
      case 'd':
      case 'i': {
        int64_t v = readSigned();
        uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
        PutInteger(out, layout, magnitude, v < 0, 10, false, true);
        break;
      }
      case 'u': PutInteger(out, layout, readUnsigned(), false, 10, false, false); break;
      case 'o': PutInteger(out, layout, readUnsigned(), false, 8, false, false); break;
      case 'x': PutInteger(out, layout, readUnsigned(), false, 16, false, false); break;
      case 'X': PutInteger(out, layout, readUnsigned(), false, 16, true, false); break;
      case 'p': {
        FieldLayout pointerLayout = layout;
        pointerLayout.precision = int(2 * sizeof(void*));
        PutInteger(out, pointerLayout, uintptr_t(va_arg(args, void*)), false, 16, true, false);
        break;
      }
      case 'c':
      case 'C': {
        char32_t c = static_cast<char32_t>(va_arg(args, int));
        c = argIsWide(conversion == Char('C')) ? char32_t(WCHAR(c)) : char32_t(static_cast<unsigned char>(c));
        FieldLayout charLayout = layout;
        charLayout.precision = -1;
        size_t pad = layout.width > 1 ? layout.width - 1 : 0;
        if (!charLayout.left) out.Repeat(Char(' '), pad);
        out.PutCodePoint(c);
        if (charLayout.left) out.Repeat(Char(' '), pad);
        break;
      }
      case 's':
      case 'S': {
        TextView text;
        if (argIsWide(conversion == Char('S')))
          text.wide = va_arg(args, const WCHAR*);
        else
          text.narrow = va_arg(args, const char*);
        if (!text.wide && !text.narrow) {
          text = TextView{};
          text.narrow = kNull;
        }
        PutText(out, layout, text);
        break;
      }
      case 'Z': {
        TextView text;
        if (width == Width::Wide) {
          const UNICODE_STRING* s = va_arg(args, const UNICODE_STRING*);
          if (s && s->Buffer) {
            text.wide = s->Buffer;
            text.length = s->Length / sizeof(WCHAR);
          }
        } else {
          const ANSI_STRING* s = va_arg(args, const ANSI_STRING*);
          if (s && s->Buffer) {
            text.narrow = s->Buffer;
            text.length = s->Length;
          }
        }
        if (!text.wide && !text.narrow) {
          text = TextView{};
          text.narrow = kNull;
        }
        PutText(out, layout, text);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        char native[16];
        size_t n = 0;
        native[n++] = '%';
        if (layout.left) native[n++] = '-';
        if (layout.plus) native[n++] = '+';
        if (layout.space) native[n++] = ' ';
        if (layout.alt) native[n++] = '#';
        if (layout.zero) native[n++] = '0';
        native[n++] = '*';
        native[n++] = '.';
        native[n++] = '*';
        native[n++] = char(conversion);
        native[n] = 0;
        char text[512];
        int length = snprintf(text, sizeof(text), native, layout.width, layout.precision < 0 ? 6 : layout.precision,
                              va_arg(args, double));
        for (int i = 0; i < length && i < int(sizeof(text)) - 1; ++i) out.Put(Char(text[i]));
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The safe-string contract: cchDest in 1..NTSTRSAFE_MAX_CCH, output always
// terminated; a refused format leaves an empty string.
template <typename Char>
NTSTATUS SafePrintf(Char* dest, size_t cchDest, const Char* format, va_list args) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || dest == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (format == nullptr) {
    dest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  BoundedSink<Char> out(dest, cchDest - 1);
  bool ok = FormatInto(out, format, args);
  if (!ok) {
    dest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  dest[out.stored()] = 0;
  return out.truncated() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

bool ValidUnicodeString(const UNICODE_STRING* s) {
  if (s == nullptr) return false;
  if ((s->Length | s->MaximumLength) & 1) return false;
  if (s->Length > s->MaximumLength) return false;
  if (s->MaximumLength != 0 && s->Buffer == nullptr) return false;
  return true;
}

template <typename Char>
NTSTATUS SafeCopy(Char* dest, size_t cchDest, const Char* src, size_t srcLimit) {
  if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || dest == nullptr)
    return STATUS_INVALID_PARAMETER;
  size_t i = 0;
  for (; i + 1 < cchDest && i < srcLimit && src[i] != 0; ++i) dest[i] = src[i];
  dest[i] = 0;
  bool more = i < srcLimit && src[i] != 0;
  return more ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Char>
NTSTATUS SafeLength(const Char* s, size_t cchMax, size_t* length) {
  if (s == nullptr || cchMax > NTSTRSAFE_MAX_CCH) {
    if (length) *length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && s[n] != 0) ++n;
  if (n == cchMax) {
    if (length) *length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (length) *length = n;
  return STATUS_SUCCESS;
}

}  // namespace

size_t wcslen(const WCHAR* string) { return Length16(string); }

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    *DestinationString = {0, 0, nullptr};
    return;
  }
  size_t bytes = Length16(SourceString) * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;  // as Windows: Length stays below MaximumLength
  DestinationString->Length = USHORT(bytes);
  DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
  if (SourceString == nullptr) {
    *DestinationString = {0, 0, nullptr};
    return;
  }
  size_t bytes = strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = USHORT(bytes);
  DestinationString->MaximumLength = USHORT(bytes + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  RtlInitString(DestinationString, SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr || SourceString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                     ? SourceString->Length
                     : USHORT(DestinationString->MaximumLength & ~1u);
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG RtlCompareUnicodeStrings(PCWSTR String1, SIZE_T String1Length, PCWSTR String2,
                              SIZE_T String2Length, BOOLEAN CaseInSensitive) {
  SIZE_T common = String1Length < String2Length ? String1Length : String2Length;
  for (SIZE_T i = 0; i < common; ++i) {
    WCHAR a = String1[i], b = String2[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return LONG(a) - LONG(b);
  }
  if (String1Length == String2Length) return 0;
  return String1Length < String2Length ? -1 : 1;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  return RtlCompareUnicodeStrings(String1->Buffer, String1->Length / sizeof(WCHAR),
                                  String2->Buffer, String2->Length / sizeof(WCHAR),
                                  CaseInSensitive);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
  size_t total = size_t(Destination->Length) + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
          Source->Length);
  Destination->Length = USHORT(total);
  if (total + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[total / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  size_t bytes = Length16(Source) * sizeof(WCHAR);
  if (bytes > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
  UNICODE_STRING source{USHORT(bytes), USHORT(bytes), const_cast<PWSTR>(Source)};
  return RtlAppendUnicodeStringToString(Destination, &source);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return Upcase(SourceCharacter); }
WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter) { return Downcase(SourceCharacter); }

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList) {
  return SafePrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                            ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                              va_list argList) {
  return SafePrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                             ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                            ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = SafePrintf(pszDest, cbDest, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                 va_list argList) {
  if (!ValidUnicodeString(DestinationString) || pszFormat == nullptr)
    return STATUS_INVALID_PARAMETER;
  BoundedSink<WCHAR> out(DestinationString->Buffer, DestinationString->MaximumLength / sizeof(WCHAR));
  if (!FormatInto(out, pszFormat, argList)) {
    DestinationString->Length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  DestinationString->Length = USHORT(out.stored() * sizeof(WCHAR));
  return out.truncated() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return SafeCopy(pszDest, cchDest, pszSrc, SIZE_MAX);
}

NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
  return SafeCopy(pszDest, cchDest, pszSrc, SIZE_MAX);
}

NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  size_t used = 0;
  NTSTATUS status = SafeLength(pszDest, cchDest, &used);
  if (!NT_SUCCESS(status)) return status;
  return SafeCopy(pszDest + used, cchDest - used, pszSrc, SIZE_MAX);
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  return SafeLength(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength) {
  return SafeLength(psz, cchMax, pcchLength);
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr) {
  if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
  BoundedSink<WCHAR> out(buffer, count);
  if (!FormatInto(out, format, argptr)) return -1;
  if (out.count() < count) {
    buffer[out.count()] = 0;
    return int(out.count());
  }
  return out.count() == count ? int(count) : -1;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}
