#include "media/decodedamage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace media {

namespace {

    // How far short of its declared duration a stream may end and still be whole. Encoders pad:
    // MP3 and AAC add up to about 3000 samples of priming and end padding (0.07 s at 44.1 kHz),
    // Opus 80 ms of pre-skip, and containers round their duration up to a whole packet, page or
    // millisecond tick. A quarter of a second clears all of these and is still far less than any
    // truncation worth reporting loses.
    constexpr double kPaddingSec = 0.25;
    // Damage this close to where a short stream ends is taken for the cut itself.
    constexpr double kCutSec = 1.0;
    // "1:05.3", or "1:02:05.3" past an hour.
    std::string clock(double sec)
    {
        const double tenths = std::floor(std::max(sec, 0.0) * 10.0 + 0.5);
        const long long whole = static_cast<long long>(tenths) / 10;
        const int tenth = static_cast<int>(static_cast<long long>(tenths) % 10);
        char text[48];
        if (whole >= 3600) {
            std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%d", whole / 3600, whole / 60 % 60,
                whole % 60, tenth);
        } else {
            std::snprintf(text, sizeof text, "%lld:%02lld.%d", whole / 60, whole % 60, tenth);
        }
        return text;
    }

    std::string counted(std::int64_t n, const char* one, const char* many)
    {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    }

} // namespace

bool DecodeDamage::truncated() const
{
    // A last page that came early leaves the stream short with its end whole.
    return ended
        && (endMissing
            || (!lastPageEarly && declaredSec > 0.0 && decodedSec < declaredSec - kPaddingSec));
}

bool DecodeDamage::any() const
{
    return skippedPackets > 0 || nonFiniteSamples > 0 || !readError.empty() || lastPageEarly
        || truncated();
}

std::string DecodeDamage::warning() const
{
    if (!any())
        return {};
    std::string what;
    auto add = [&what](const std::string& item) { what += (what.empty() ? "" : ", ") + item; };
    if (!readError.empty())
        add("read error (" + readError + ")");
    // A stream that stops short right after (or without) damage was cut off. Earlier damage
    // can explain the shortfall instead: in a raw MP3 the parser folds a damaged frame into its
    // neighbour, whose extra bytes the decoder drops without a complaint or a gap in the
    // timestamps. Then only the shortfall is certain.
    if (truncated()) {
        const bool cut = firstDamageSec < 0.0 || firstDamageSec >= decodedSec - kCutSec;
        add(cut ? "truncated" : "short by " + clock(declaredSec - decodedSec));
    }
    // The shortfall is what was lost, less the part of the last packet that its page trims off
    // the end (under one packet).
    if (lastPageEarly)
        add("audio lost before the last page, which came "
            + (declaredSec > decodedSec ? "about " + clock(declaredSec - decodedSec) + " " : "")
            + "early");
    if (skippedPackets > 0)
        add(counted(skippedPackets, "damaged packet", "damaged packets") + " skipped");
    if (nonFiniteSamples > 0)
        add(counted(nonFiniteSamples, "non-finite sample", "non-finite samples")
            + " replaced by silence");
    if (firstDamageSec >= 0.0)
        what += " from " + clock(firstDamageSec);
    std::string line = what + "; decoded " + clock(decodedSec);
    if (declaredSec > 0.0) {
        long percent = std::lround(100.0 * std::min(decodedSec / declaredSec, 1.0));
        // A stream that stopped short never reads as complete.
        if (percent == 100 && (truncated() || !readError.empty()))
            percent = 99;
        line += " of " + clock(declaredSec) + " (" + std::to_string(percent) + "%)";
    }
    return line;
}

} // namespace media
