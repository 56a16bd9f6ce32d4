// The design parameters of the rate converter's low-pass kernels: each is a
// Kaiser-windowed sinc, half of a symmetric prototype sampled at L times the
// input rate, with cutoff c0 (a fraction of the input Nyquist frequency) and
// stop-band attenuation A in dB. The table generator and the tests read this;
// the driver reads only the generated coefficients.
#pragma once

struct KAISER_DESIGN {
  unsigned FromRate;
  unsigned ToRate;
  unsigned PhaseCount;  // L
  unsigned TapCount;    // N, odd
  double Cutoff;        // c[0]
  double Attenuation;   // A, dB
};

inline constexpr KAISER_DESIGN kKaiserDesigns[] = {
    {44100, 48000, 320, 10241, 0.9295969, 60},
    {44100, 88200, 2, 65, 0.9295969, 60},
    {44100, 96000, 320, 10241, 0.9295969, 60},
    {44100, 192000, 640, 20481, 0.9295969, 60},
    {48000, 44100, 147, 4705, 0.8523895, 55},
    {48000, 88200, 147, 4705, 0.8850322, 70},
    {48000, 96000, 2, 129, 0.8591828, 70},
    {48000, 192000, 4, 129, 0.8850322, 70},
    {88200, 44100, 1, 65, 0.4593580, 55},
    {88200, 48000, 160, 10241, 0.4756794, 70},
    {88200, 96000, 160, 5121, 0.8606558, 70},
    {88200, 192000, 320, 10241, 0.8606558, 70},
    {96000, 44100, 147, 9409, 0.4261948, 55},
    {96000, 48000, 1, 65, 0.4261947, 55},
    {96000, 88200, 147, 4705, 0.8016989, 70},
    {96000, 192000, 2, 65, 0.8641989, 70},
    {192000, 44100, 147, 14113, 0.2075862, 50},
    {192000, 48000, 1, 97, 0.2180028, 50},
    {192000, 88200, 147, 9409, 0.4003851, 60},
    {192000, 96000, 1, 65, 0.4420518, 60},
};
