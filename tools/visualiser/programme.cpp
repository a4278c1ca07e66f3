#include "programme.h"

#include "media/audiodecoder.h"
#include "media/demo.h"

#include <QFile>

namespace visualiser {

namespace {

    constexpr int kReadBlock = 65536;

} // namespace

bool loadProgramme(const QString& input, Programme* out, QString* why)
{
    if (input.isEmpty()) {
        out->samples = media::renderDemo();
        out->rateHz = media::kDemoRateHz;
        out->demo = true;
        return true;
    }
    std::string error;
    const auto decoder = media::AudioDecoder::open(QFile::encodeName(input).toStdString(), &error);
    if (!decoder) {
        *why = QStringLiteral("%1: %2").arg(input, QString::fromStdString(error));
        return false;
    }
    out->rateHz = decoder->sampleRate();
    out->demo = false;
    std::vector<float> block(kReadBlock);
    for (;;) {
        const int n = decoder->read(block.data(), kReadBlock);
        if (n <= 0)
            break;
        out->samples.insert(out->samples.end(), block.begin(), block.begin() + n);
    }
    if (out->samples.empty()) {
        *why = QStringLiteral("%1: no audio in the file").arg(input);
        return false;
    }
    if (decoder->damage().any())
        out->warning = QStringLiteral("%1: %2").arg(
            input, QString::fromStdString(decoder->damage().warning()));
    return true;
}

} // namespace visualiser
