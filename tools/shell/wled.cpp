#include "shell/wled.h"

#include "shell/text.h"

#include <algorithm>

namespace shell {

namespace {

    // A whole number in lo..hi, or -1.
    long wholeNumber(const std::string& text, long lo, long hi)
    {
        if (text.empty() || text.size() > 5)
            return -1;
        long v = 0;
        for (char c : text) {
            if (c < '0' || c > '9')
                return -1;
            v = v * 10 + (c - '0');
        }
        return v >= lo && v <= hi ? v : -1;
    }

    std::string readHost(const std::string& value, led::Target* target)
    {
        const std::size_t colon = value.rfind(':');
        if (colon != std::string::npos && value.find(':') != colon)
            return "option '--wled' takes an IPv4 address or a host name, got '" + value + "'";
        target->host = value.substr(0, colon);
        if (target->host.empty())
            return "option '--wled' needs a host before ':', got '" + value + "'";
        if (colon == std::string::npos)
            return {};
        const long port = wholeNumber(value.substr(colon + 1), 1, 65535);
        if (port < 0)
            return "option '--wled' needs a port from 1 to 65535 after ':', got '" + value + "'";
        target->port = static_cast<std::uint16_t>(port);
        return {};
    }

} // namespace

const Option kWledOption { "--wled", Option::Takes::ValueAfterEquals, nullptr, "a host" };
const Option kWledTtlOption { "--wled-ttl", Option::Takes::Value, nullptr, "a time-to-live" };

std::string readWled(const CommandLine& line, bool* on, led::Target* target)
{
    *on = line.given(kWledOption.name);
    *target = led::Target {};
    if (line.given(kWledTtlOption.name)) {
        const std::string text = line.value(kWledTtlOption.name);
        const long ttl = wholeNumber(text, 1, kMaxTtl);
        if (ttl < 0)
            return "option '--wled-ttl' needs a whole number from 1 to " + std::to_string(kMaxTtl)
                + ", got '" + text + "'";
        if (!*on)
            return "option '--wled-ttl' needs --wled";
        target->ttl = static_cast<int>(ttl);
    }
    const std::string value = line.value(kWledOption.name);
    return value.empty() ? std::string() : readHost(value, target);
}

WledOutput::WledOutput(const led::Target& target)
    : target_(target)
    , sender_(target, complain)
{
}

std::string WledOutput::summary() const
{
    return "; " + std::to_string(sender_.sentCount()) + " LED packets to " + target_.text();
}

WledFrames::WledFrames(WledOutput& output, const media::AnalysisLoop& loop)
    : output_(output)
    , loop_(loop)
    , maker_(loop.analyzer().bandCount(), loop.analyzer().fftSize(), loop.analyzer().sampleRate())
    , held_(static_cast<std::size_t>(media::delayTicks(media::kLongestDelayMs)) + 1)
{
}

void WledFrames::setDelayMs(double ms)
{
    delayTicks_ = std::min(media::delayTicks(ms), static_cast<int>(held_.size()) - 1);
}

void WledFrames::take(const media::AnalysedHop& hop)
{
    const auto slots = static_cast<std::int64_t>(held_.size());
    const bool stereo = hop.frames.size() > 1;
    const led::AudioSync sync = stereo
        ? maker_.make(hop.frames.front(), loop_.analyzer(0).powerSpectrum(), hop.frames.back(),
            loop_.analyzer(1).powerSpectrum(), hop.beat.onset)
        : maker_.make(hop.frames.front(), loop_.analyzer().powerSpectrum(), hop.beat.onset);
    held_[static_cast<std::size_t>(made_ % slots)] = { led::encode(sync), hop.beat.onset };
    ++made_;
    // Every packet now due in turn: the sender keeps the newest, and keeps each onset until the
    // next packet goes out, so that none is lost between packets. The delay never exceeds the
    // slots, so none of them has been written over yet.
    for (; offered_ < made_ - delayTicks_; ++offered_) {
        const Held& due = held_[static_cast<std::size_t>(offered_ % slots)];
        output_.offer(due.packet, due.onset);
    }
}

} // namespace shell
