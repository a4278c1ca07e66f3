#include "programme.h"

#include "media/audiodecoder.h"
#include "media/demo.h"
#include "shell/signals.h"

namespace visualiser {

namespace {

    constexpr int kReadBlock = 65536;

} // namespace

bool loadProgramme(const std::string& input, Programme* out, std::string* why)
{
    if (input.empty()) {
        out->samples = media::renderDemo();
        out->rateHz = media::kDemoRateHz;
        out->demo = true;
        return true;
    }
    std::string error;
    const auto decoder = media::AudioDecoder::open(input, &error);
    if (!decoder) {
        *why = input + ": " + error;
        return false;
    }
    out->rateHz = decoder->sampleRate();
    out->demo = false;
    std::vector<float> block(kReadBlock);
    while (!shell::stopped()) {
        const int n = decoder->read(block.data(), kReadBlock);
        if (n <= 0)
            break;
        out->samples.insert(out->samples.end(), block.begin(), block.begin() + n);
    }
    if (shell::stopped()) {
        *why = input + ": stopped";
        return false;
    }
    if (out->samples.empty()) {
        *why = input + ": no audio in the file";
        return false;
    }
    if (decoder->damage().any())
        out->warning = input + ": " + decoder->damage().warning();
    return true;
}

} // namespace visualiser
