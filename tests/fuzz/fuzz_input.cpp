// libFuzzer target over the input layer: the input is a file's bytes, opened by the decoder from
// memory and read in the display's hops, as bandview reads a file or a pipe. Every promise of
// open(), read() and damage() is checked after every call; a broken one aborts with a description,
// which libFuzzer records as a crash, and the sanitizers catch the rest. FFmpeg itself is not
// instrumented: the search is guided by this layer's own branches only.

#include "media/audiodecoder.h"
#include "media/hopclock.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Caps the audio one input may deliver, so that the fuzzer keeps up its pace under the
// sanitizers: a few bytes can declare hours, and a gap is filled with up to 10 s of silence.
constexpr std::int64_t kMaxSamples = 30 * media::kMaxRateHz;
constexpr float kSentinel = -7.0f;

[[noreturn]] void fail(const char* what, double got)
{
    std::fprintf(stderr, "fuzz_input: %s (value %.9g)\n", what, got);
    std::abort();
}

void require(bool ok, const char* what, double got = 0.0)
{
    if (!ok)
        fail(what, got);
}

bool oneLine(const std::string& text)
{
    return !text.empty() && text.find('\n') == std::string::npos
        && text.find('\r') == std::string::npos;
}

// Hops are read into this; allocated once, not for every input. One more place than the largest
// hop holds a sentinel that read() must leave alone.
std::vector<float>& hopBuffer()
{
    static std::vector<float> hop(
        static_cast<std::size_t>(media::HopClock(media::kMaxRateHz).largestHop() + 1));
    return hop;
}

void decode(const std::uint8_t* data, std::size_t size, bool seekable)
{
    std::string error;
    const auto decoder = media::AudioDecoder::openBuffer(data, size, &error, seekable);
    if (!decoder) {
        require(oneLine(error), "open failed without a one-line reason", error.size());
        return;
    }
    const int rate = decoder->sampleRate();
    require(rate >= media::kMinRateHz && rate <= media::kMaxRateHz, "rate outside the range", rate);
    const double declared = decoder->declaredSec();
    require(declared == -1.0 || (declared > 0.0 && std::isfinite(declared)),
        "declared length neither unknown nor positive", declared);

    media::HopClock clock(rate);
    std::vector<float>& hop = hopBuffer();
    const media::DecodeDamage& damage = decoder->damage();
    std::int64_t total = 0;
    int got = 0;
    do {
        const int want = clock.next();
        hop[static_cast<std::size_t>(want)] = kSentinel;
        got = decoder->read(hop.data(), want);
        require(got >= 0 && got <= want, "read() count outside 0..asked", got);
        require(hop[static_cast<std::size_t>(want)] == kSentinel, "read() wrote past its count");
        for (int i = 0; i < got; ++i)
            require(std::isfinite(hop[static_cast<std::size_t>(i)]), "sample not finite", i);
        total += got;
        require(damage.decodedSec == static_cast<double>(total) / rate,
            "decodedSec is not what was delivered", damage.decodedSec);
        require(got > 0 || damage.ended, "read() gave nothing before the end", got);
    } while (got > 0 && total < kMaxSamples);

    if (got == 0) {
        float one = kSentinel;
        require(decoder->read(&one, 1) == 0 && one == kSentinel, "read() after the end");
        require(damage.any()
                == (damage.skippedPackets > 0 || damage.nonFiniteSamples > 0
                    || !damage.readError.empty() || damage.lastPageEarly || damage.truncated()),
            "any() disagrees with the fields");
        require(damage.readError.empty(), "a read error from memory", 0);
    }
    require(damage.skippedPackets >= 0 && damage.nonFiniteSamples >= 0, "negative count");
    require(damage.any() == !damage.warning().empty(), "a warning without damage, or none with it");
    require(!damage.any() || oneLine(damage.warning()), "warning is not one line");
    require(
        damage.firstDamageSec <= damage.decodedSec, "damage after the end", damage.firstDamageSec);
}

} // namespace

// Every input is read twice: as a file, where the demuxer may seek, and as a pipe, where it
// cannot.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    decode(data, size, true);
    decode(data, size, false);
    return 0;
}
