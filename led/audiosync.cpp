#include "led/audiosync.h"

#include <cstring>

namespace led {

namespace {

    constexpr char kHeader[] = "00002";
    static_assert(sizeof(kHeader) == 6, "the header carries its terminating zero");

    void putFloat(Packet& packet, std::size_t at, float value)
    {
        static_assert(sizeof(float) == sizeof(std::uint32_t));
        std::uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        // Byte by byte, so that the order is little-endian whatever the host's.
        for (std::size_t i = 0; i < 4; ++i)
            packet[at + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }

} // namespace

Packet encode(const AudioSync& fields)
{
    Packet packet {};
    std::memcpy(packet.data() + kHeaderAt, kHeader, sizeof(kHeader));
    putFloat(packet, kSampleRawAt, fields.sampleRaw);
    putFloat(packet, kSampleSmthAt, fields.sampleSmth);
    setPeak(packet, fields.samplePeak);
    std::memcpy(packet.data() + kChannelsAt, fields.channels.data(), kChannels);
    putFloat(packet, kMagnitudeAt, fields.fftMagnitude);
    putFloat(packet, kMajorPeakAt, fields.fftMajorPeakHz);
    return packet;
}

} // namespace led
