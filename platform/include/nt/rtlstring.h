// Run-time library: counted strings, case mapping and bounded formatting.
// WCHAR is UTF-16; write wide literals as TEXT("...") (u"..." here).
#pragma once

#include <cstdarg>

#include "nt/basetypes.h"
#include "ntstatus.h"

// A UNICODE_STRING over a literal, without copying: RTL_CONSTANT_STRING(TEXT("Common")).
#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }
#define DECLARE_CONST_UNICODE_STRING(name, s) \
  const UNICODE_STRING name = RTL_CONSTANT_STRING(s)
#define DECLARE_UNICODE_STRING_SIZE(name, cch)   \
  WCHAR name##_buffer[cch];                      \
  UNICODE_STRING name = {0, (USHORT)((cch) * sizeof(WCHAR)), name##_buffer}

// Counted strings
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// Copies as much of Source as fits in Destination's MaximumLength and adds a
// terminator when room is left; a null Source gives an empty Destination.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeStrings(PCWSTR String1, SIZE_T String1Length, PCWSTR String2,
                              SIZE_T String2Length, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
// STATUS_BUFFER_TOO_SMALL leaves Destination unchanged.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter);

// Bounded formatting (the safe-string functions). Formats follow the Windows
// conventions: in wide functions %s is a wide string and %S / %hs a narrow
// one, in narrow functions the other way round; %wZ takes a PUNICODE_STRING,
// %Z a PANSI_STRING; %ld is 32 bits (LONG), %lld / %I64d 64 bits, %Id / %zd
// pointer-sized. Output that does not fit is cut, terminated, and reported
// as STATUS_BUFFER_OVERFLOW.
#define NTSTRSAFE_MAX_CCH 2147483647
typedef PWSTR NTSTRSAFE_PWSTR;
typedef PCWSTR NTSTRSAFE_PCWSTR;
typedef PSTR NTSTRSAFE_PSTR;
typedef PCSTR NTSTRSAFE_PCSTR;

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...);
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                            ...);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                              NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                             ...);
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                            ...);
NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                              va_list argList);
// Formats into DestinationString->Buffer (up to MaximumLength) and sets
// Length; no terminator is added.
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                ...);
NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                 va_list argList);
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength);

// The C run-time's counted formatting, with its return convention: the
// character count when the output and its terminator fit, `count` when only
// the terminator is missing, -1 (no terminator) when the output was cut.
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr);
size_t wcslen(const WCHAR* string);
