// Counted strings and the bounded printf family, as the driver uses them to
// build device names and registry paths.
#include <gtest/gtest.h>

#include <ntstrsafe.h>
#include <wdm.h>

#include <string>

namespace {

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST(RtlUnicodeString, InitCountsBytesWithoutTheTerminator) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, TEXT("Movakern"));
  EXPECT_EQ(s.Length, 16);
  EXPECT_EQ(s.MaximumLength, 18);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST(RtlUnicodeString, CopyCutsToTheDestinationAndTerminatesWhenRoomIsLeft) {
  UNICODE_STRING source = RTL_CONSTANT_STRING(TEXT("Parameters"));
  WCHAR buffer[6];
  UNICODE_STRING dest{0, sizeof(buffer), buffer};
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(Text(dest), u"Parame");

  WCHAR big[16];
  UNICODE_STRING roomy{0, sizeof(big), big};
  RtlCopyUnicodeString(&roomy, &source);
  EXPECT_EQ(Text(roomy), u"Parameters");
  EXPECT_EQ(big[10], 0);

  RtlCopyUnicodeString(&roomy, nullptr);
  EXPECT_EQ(roomy.Length, 0);
}

TEST(RtlUnicodeString, CompareOrdersAndFoldsCaseOnRequest) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool insensitive;
    int sign;
  } cases[] = {
      {u"Common", u"Common", false, 0},
      {u"Common", u"COMMON", false, 1},
      {u"Common", u"COMMON", true, 0},
      {u"Device0", u"Device1", true, -1},
      {u"Dev", u"Device", true, -1},
      {u"Gerät", u"GERÄT", true, 0},      // Latin-1 folds too
      {u"Звук", u"ЗВУК", true, 0},        // and Cyrillic
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, c.a);
    RtlInitUnicodeString(&b, c.b);
    LONG result = RtlCompareUnicodeString(&a, &b, c.insensitive);
    EXPECT_EQ((result > 0) - (result < 0), c.sign) << "case " << i;
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.insensitive), c.sign == 0) << "case " << i;
  }
}

TEST(RtlUnicodeString, AppendRefusesWhatDoesNotFitAndKeepsTheDestination) {
  WCHAR buffer[12];
  UNICODE_STRING dest{0, sizeof(buffer), buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, TEXT("Device")), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, TEXT("0")), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, TEXT("-too-long")), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(dest), u"Device0");
}

std::u16string Format(const WCHAR* format, ...) {
  WCHAR buffer[128];
  va_list args;
  va_start(args, format);
  NTSTATUS status = RtlStringCchVPrintfW(buffer, 128, format, args);
  va_end(args);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return buffer;
}

TEST(RtlStringPrintf, ConversionsFollowTheWindowsConventions) {
  UNICODE_STRING counted = RTL_CONSTANT_STRING(TEXT("Movakern"));
  ANSI_STRING narrowCounted;
  RtlInitAnsiString(&narrowCounted, "Parameters");
  LONG negative = -5;
  ULONG big = 0xFFFFFFFFu;
  LONGLONG wide = -1234567890123ll;
  struct {
    std::u16string actual;
    const char16_t* expected;
  } cases[] = {
      {Format(u"\\Device\\%s%03d", u"Movakern", 1), u"\\Device\\Movakern001"},
      {Format(u"\\\\.\\%s00%d", u"Movakern", 4), u"\\\\.\\Movakern004"},
      {Format(u"Device%d", 3), u"Device3"},
      {Format(u"%03d|%-4d|%4d|%+d", -7, 12, 12, 5), u"-07|12  |  12|+5"},
      {Format(u"%ld %lu", negative, big), u"-5 4294967295"},  // long is 32 bits
      {Format(u"%lld %I64d", wide, wide), u"-1234567890123 -1234567890123"},
      {Format(u"%x %X %08x %#x", 255u, 255u, 0xBEEFu, 16u), u"ff FF 0000beef 0x10"},
      {Format(u"%S and %hs", "narrow", "narrow"), u"narrow and narrow"},
      {Format(u"%ls %ws", u"wide", u"wide"), u"wide wide"},
      {Format(u"%wZ/%Z", &counted, &narrowCounted), u"Movakern/Parameters"},
      {Format(u"%.3s|%5s|%-5s|", u"Common", u"ab", u"ab"), u"Com|   ab|ab   |"},
      {Format(u"%c%c%%", u'Ä', u'!'), u"Ä!%"},
      {Format(u"%S", "Gr\xC3\xBC\xC3\x9F"), u"Grüß"},  // narrow text is UTF-8
      {Format(u"%s", static_cast<const WCHAR*>(nullptr)), u"(null)"},
      {Format(u"%.2f", 2.5), u"2.50"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].actual, cases[i].expected) << "case " << i;
}

TEST(RtlStringPrintf, NarrowFormattingTakesNarrowStringsByDefault) {
  char buffer[64];
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof(buffer), "%s\\%s\\%s", "SOFTWARE", "ASIO", "Tarvik"),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "SOFTWARE\\ASIO\\Tarvik");
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof(buffer), "%S=%d", u"Grüß", 2), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "Gr\xC3\xBC\xC3\x9F=2");
}

TEST(RtlStringPrintf, OutputThatDoesNotFitIsCutTerminatedAndReported) {
  WCHAR buffer[8];
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, u"\\Device\\%s", u"Movakern"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer), u"\\Device");
  EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof(buffer), u"%d", 1234567), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);
  // %n would write through an argument; it is refused and leaves an empty string.
  int count = 0;
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, u"ab%n", &count), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], 0);
}

TEST(RtlStringPrintf, UnicodeStringPrintfSetsTheLengthWithoutATerminator) {
  WCHAR storage[10];
  UNICODE_STRING s{0, sizeof(storage), storage};
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"Device%d", 2), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"Device2");
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"%s%03d", u"Movakern", 1), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Text(s), u"Movakern00");  // all ten characters, no room needed for a terminator
  UNICODE_STRING odd{0, 7, storage};
  EXPECT_EQ(RtlUnicodeStringPrintf(&odd, u"x"), STATUS_INVALID_PARAMETER);
}

TEST(RtlStringPrintf, SnwprintfKeepsTheRunTimeReturnConvention) {
  WCHAR buffer[6] = {};
  EXPECT_EQ(_snwprintf(buffer, 6, u"%d", 12345), 5);
  EXPECT_EQ(std::u16string(buffer), u"12345");
  buffer[5] = u'#';
  EXPECT_EQ(_snwprintf(buffer, 5, u"%d", 12345), 5);  // fits, but without a terminator
  EXPECT_EQ(buffer[5], u'#');
  EXPECT_EQ(_snwprintf(buffer, 5, u"%d", 123456), -1);
}

TEST(RtlStringSafe, CopyCatAndLength) {
  WCHAR buffer[8];
  EXPECT_EQ(RtlStringCchCopyW(buffer, 8, u"Device"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatW(buffer, 8, u"1"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatW(buffer, 8, u"23"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer), u"Device1");
  size_t length = 99;
  EXPECT_EQ(RtlStringCchLengthW(buffer, 8, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(RtlStringCchLengthW(buffer, 7, &length), STATUS_INVALID_PARAMETER);  // no terminator within 7
}

}  // namespace
