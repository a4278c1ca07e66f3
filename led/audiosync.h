// The audio-sync packet (version 2) that LED boards exchange over UDP: 44 bytes, little-endian.
//
// Layout (offsets in bytes): 0 header "00002" and its terminating zero, 6 two reserved bytes,
// 8 sampleRaw (float, 0..255), 12 sampleSmth (float, 0..255), 16 samplePeak (0 or 1), 17 one
// reserved byte, 18 sixteen equaliser channels (0..255 each), 34 two reserved bytes,
// 36 FFT_Magnitude (float), 40 FFT_MajorPeak (float, Hz). Reserved bytes are zero; floats are
// IEEE 754 binary32 written least significant byte first on every host.
#ifndef LED_AUDIOSYNC_H
#define LED_AUDIOSYNC_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace led {

constexpr std::size_t kPacketBytes = 44;
constexpr int kChannels = 16;

// Where each field starts.
constexpr std::size_t kHeaderAt = 0;
constexpr std::size_t kSampleRawAt = 8;
constexpr std::size_t kSampleSmthAt = 12;
constexpr std::size_t kSamplePeakAt = 16;
constexpr std::size_t kChannelsAt = 18;
constexpr std::size_t kMagnitudeAt = 36;
constexpr std::size_t kMajorPeakAt = 40;

// The layout has no gap and no overlap: each field ends where the next one (or its reserved
// bytes) starts.
static_assert(kHeaderAt + 6 + 2 == kSampleRawAt);
static_assert(kSampleRawAt + 4 == kSampleSmthAt);
static_assert(kSampleSmthAt + 4 == kSamplePeakAt);
static_assert(kSamplePeakAt + 1 + 1 == kChannelsAt);
static_assert(kChannelsAt + kChannels + 2 == kMagnitudeAt);
static_assert(kMagnitudeAt + 4 == kMajorPeakAt);
static_assert(kMajorPeakAt + 4 == kPacketBytes);

using Packet = std::array<std::uint8_t, kPacketBytes>;

struct AudioSync {
    float sampleRaw = 0.0f;
    float sampleSmth = 0.0f;
    bool samplePeak = false;
    std::array<std::uint8_t, kChannels> channels {};
    float fftMagnitude = 0.0f;
    float fftMajorPeakHz = 0.0f;
};

// The 44 bytes of one packet.
Packet encode(const AudioSync& fields);

// Sets or clears samplePeak in encoded bytes.
inline void setPeak(Packet& packet, bool peak)
{
    packet[kSamplePeakAt] = peak ? 1 : 0;
}

} // namespace led

#endif
