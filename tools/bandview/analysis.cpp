#include "analysis.h"

#include "media/feed.h"

#include <cmath>

namespace bandview {

Analysis::Analysis(media::Feed& source, bool stereo)
    : loop_(source.sampleRate(), stereo ? 2 : 1)
{
    if (stereo)
        source_ = std::make_unique<media::FeedSides>(source, loop_.largestHop());
    else
        source_ = std::make_unique<media::FeedHops>(source);
}

Analysis::Step Analysis::advance()
{
    const Step step = loop_.step(*source_);
    if (step == Step::Frame) {
        frame_.timeSec = secondsRead();
        frame_.frame = loop_.frame(0);
        if (stereo())
            frame_.right = loop_.frame(1);
        frame_.beat = loop_.beat();
    }
    return step;
}

std::vector<float> Analysis::bandCentersHz() const
{
    std::vector<float> centers;
    for (const dsp::Band& band : analyzer().bands().table())
        centers.push_back(band.centerHz);
    return centers;
}

int tallestBand(const dsp::SpectrumFrame& frame)
{
    int best = 0;
    for (int k = 1; k < frame.bandCount; ++k) {
        if (frame.bars[k] > frame.bars[best])
            best = k;
    }
    return best;
}

QString bandLabel(float hz)
{
    if (hz < 999.5f)
        return QString::number(std::lround(hz));
    if (hz < 9950.0f)
        return QStringLiteral("%1k").arg(QString::number(std::round(hz / 100.0f) / 10.0f, 'f', 1));
    return QStringLiteral("%1k").arg(std::lround(hz / 1000.0f));
}

} // namespace bandview
