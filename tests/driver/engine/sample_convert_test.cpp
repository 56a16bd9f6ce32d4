#include "driver/engine/sample_convert.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace {

enum Direction { kCapture = 1, kRender = 2, kBoth = 3 };

struct ConversionCase {
  const char* name;
  ULONG bytes;
  ULONG validBits;
  float value;
  std::vector<UCHAR> encoded;  // little-endian sample
  Direction direction;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();

const ConversionCase kConversionCases[] = {
    {"u8 zero is 0x80", 1, 8, 0.0f, {0x80}, kBoth},
    {"u8 half", 1, 8, 0.5f, {0xC0}, kBoth},
    {"u8 minus one", 1, 8, -1.0f, {0x00}, kBoth},
    {"u8 one clips to 127", 1, 8, 1.0f, {0xFF}, kCapture},
    {"u8 top", 1, 8, 127.0f / 128, {0xFF}, kRender},
    {"u8 below minus one clips", 1, 8, -3.0f, {0x00}, kCapture},
    {"s16 one clips to 0x7FFF", 2, 16, 1.0f, {0xFF, 0x7F}, kCapture},
    {"s16 minus one", 2, 16, -1.0f, {0x00, 0x80}, kBoth},
    {"s16 half", 2, 16, 0.5f, {0x00, 0x40}, kBoth},
    {"s16 over range clips", 2, 16, 7.5f, {0xFF, 0x7F}, kCapture},
    {"s16 truncates toward zero", 2, 16, -32767.9f / 32768, {0x01, 0x80}, kCapture},
    {"s16 below one step is zero", 2, 16, 0.9f / 32768, {0x00, 0x00}, kCapture},
    {"s16 top", 2, 16, 32767.0f / 32768, {0xFF, 0x7F}, kRender},
    {"s16 NaN is silence", 2, 16, kNaN, {0x00, 0x00}, kCapture},
    {"s24 one clips", 3, 24, 1.0f, {0xFF, 0xFF, 0x7F}, kCapture},
    {"s24 minus one", 3, 24, -1.0f, {0x00, 0x00, 0x80}, kBoth},
    {"s24 half", 3, 24, 0.5f, {0x00, 0x00, 0x40}, kBoth},
    {"s24 sign extends", 3, 24, -0x1p-23f, {0xFF, 0xFF, 0xFF}, kBoth},
    {"24-in-32 one clips, low byte clear", 4, 24, 1.0f, {0x00, 0xFF, 0xFF, 0x7F}, kCapture},
    {"24-in-32 minus one", 4, 24, -1.0f, {0x00, 0x00, 0x00, 0x80}, kBoth},
    {"24-in-32 clears the low byte", 4, 24, 0.3f, {0x00, 0x66, 0x66, 0x26}, kCapture},
    {"24-in-32 ignores the low byte", 4, 24, 0x12345600 * 0x1p-31f, {0xFF, 0x56, 0x34, 0x12},
     kRender},
    {"s32 one clips to 0x7FFFFFFF", 4, 32, 1.0f, {0xFF, 0xFF, 0xFF, 0x7F}, kCapture},
    {"s32 minus one", 4, 32, -1.0f, {0x00, 0x00, 0x00, 0x80}, kBoth},
    {"s32 keeps the low byte", 4, 32, 0.3f, {0x80, 0x66, 0x66, 0x26}, kBoth},
    {"4 bytes, 20 valid bits, is s32", 4, 20, 0.3f, {0x80, 0x66, 0x66, 0x26}, kBoth},
};

std::vector<ConversionCase> CasesFor(Direction direction) {
  std::vector<ConversionCase> cases;
  for (const ConversionCase& c : kConversionCases) {
    if (c.direction & direction) cases.push_back(c);
  }
  return cases;
}

std::string CaseName(const testing::TestParamInfo<ConversionCase>& info) {
  std::string name = info.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

class CaptureConversion : public testing::TestWithParam<ConversionCase> {};
class RenderConversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(CaptureConversion, StoresTheSample) {
  const ConversionCase& c = GetParam();
  std::vector<UCHAR> ring(c.bytes, 0xAA);
  PUCHAR current = ring.data();
  CaptureConvert(ring.data(), ring.data() + ring.size(), &current, &c.value, 1, c.bytes, c.bytes,
                 sizeof(float), c.validBits);
  EXPECT_EQ(ring, c.encoded);
  EXPECT_EQ(current, ring.data());  // one step wraps a one-sample ring
}

TEST_P(RenderConversion, ReadsTheSample) {
  const ConversionCase& c = GetParam();
  std::vector<UCHAR> ring = c.encoded;
  float out = 99.0f;
  RenderConvert(ring.data(), ring.data() + ring.size(), ring.data(), &out, 1, c.bytes, c.bytes,
                c.validBits);
  EXPECT_EQ(out, c.value);
  float sum = 0.25f;
  RenderAdd(ring.data(), ring.data() + ring.size(), ring.data(), &sum, 1, c.bytes, c.bytes,
            c.validBits);
  EXPECT_EQ(sum, 0.25f + c.value);
}

INSTANTIATE_TEST_SUITE_P(Formats, CaptureConversion, testing::ValuesIn(CasesFor(kCapture)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Formats, RenderConversion, testing::ValuesIn(CasesFor(kRender)),
                         CaseName);

// An interleaved stereo 16-bit ring of four frames; channel 1 starts in the
// last frame, so its samples wrap to the first frames and stay in channel 1.
TEST(ConversionRing, InterleavedChannelWrapsOntoItsOwnSlot) {
  UCHAR ring[16] = {};
  const float staging[3 * 10] = {0.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 -0.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0.25f};
  PUCHAR current = ring + 3 * 4 + 2;
  CaptureConvert(ring, ring + sizeof(ring), &current, staging, 3, 4, 2, 40, 16);
  const UCHAR expected[16] = {0, 0, 0x00, 0xC0, 0, 0, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0x00, 0x40};
  EXPECT_EQ(0, std::memcmp(ring, expected, sizeof(ring)));
  EXPECT_EQ(current, ring + 2 * 4 + 2);

  float back[3];
  PUCHAR next = RenderConvert(ring, ring + sizeof(ring), ring + 3 * 4 + 2, back, 3, 4, 2, 16);
  EXPECT_EQ(back[0], 0.5f);
  EXPECT_EQ(back[1], -0.5f);
  EXPECT_EQ(back[2], 0.25f);
  EXPECT_EQ(next, ring + 2 * 4 + 2);
}

TEST(ConversionRing, UnsupportedWidthConvertsNothing) {
  UCHAR ring[10];
  std::memset(ring, 0xAA, sizeof(ring));
  const float x = 0.5f;
  PUCHAR current = ring;
  CaptureConvert(ring, ring + 10, &current, &x, 1, 5, 5, 4, 40);
  EXPECT_EQ(current, ring);
  EXPECT_EQ(ring[0], 0xAA);
  float out = 7.0f;
  RenderConvert(ring, ring + 10, ring, &out, 1, 5, 5, 40);
  EXPECT_EQ(out, 7.0f);
}

}  // namespace
