#include "picture.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace bandview {

namespace {

    constexpr int kMarginLeftPx = 72;
    constexpr int kMarginRightPx = 84;
    constexpr int kTitlePx = 28;
    constexpr int kTitleFontPx = 13;
    constexpr int kMinTitleFontPx = 10;
    constexpr int kTitleMarginPx = 8;
    constexpr int kSectionNamesPx = 30;
    constexpr int kPanelGapPx = 14;
    constexpr int kTimeAxisPx = 40;
    constexpr int kMinTickSpacingPx = 70;
    constexpr int kFontPx = 11;
    constexpr int kSmallFontPx = 10;
    constexpr float kPeakTraceMin = 0.02f;
    constexpr int kPanelInsetPx = 4;
    constexpr int kLabelRowPx = 14;
    constexpr int kMinPanelPx = 24;
    constexpr int kDefaultPanelPx = 90;
    // The heat map and the three panels of the default picture: 28 bands of 12 px, 3 x 90 px.
    constexpr int kDefaultPlotsPx = 28 * 12 + 3 * kDefaultPanelPx;

    const QColor kBackground(250, 250, 248);
    const QColor kInk(40, 40, 40);
    const QColor kGrid(220, 220, 216);
    const QColor kSectionLine(120, 120, 120);
    const QColor kRmsLine(31, 119, 180);
    const QColor kAgcLine(230, 120, 20);
    const QColor kPresenceLine(44, 160, 44);
    const QColor kBeatTick(200, 60, 20);
    // The beats' ticks: a thin row just above the heat map.
    constexpr int kBeatTickPx = 3;

    // The peak traces' opacity over the heat map.
    constexpr int kPeakTraceAlpha = 210;

    QColor qColour(shell::Rgb c)
    {
        return QColor(c.r, c.g, c.b);
    }

    QColor peakTrace(const shell::Theme& theme)
    {
        QColor c = qColour(theme.peaks);
        c.setAlpha(kPeakTraceAlpha);
        return c;
    }

    QFont font(int px, bool bold = false)
    {
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(px);
        f.setBold(bold);
        return f;
    }

    double tickStep(double lengthSec, int plotWidth)
    {
        constexpr double kSteps[] = { 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900,
            1800, 3600, 7200, 14400, 21600, 43200, 86400 };
        for (double step : kSteps) {
            if (step / lengthSec * plotWidth >= kMinTickSpacingPx)
                return step;
        }
        return kSteps[std::size(kSteps) - 1];
    }

    // Seconds, m:ss, or h:mm:ss past an hour.
    QString timeLabel(double sec, bool minutes)
    {
        if (!minutes)
            return QString::number(sec, 'g', 6);
        const long long whole = std::llround(sec);
        const QLatin1Char zero('0');
        if (whole < 3600)
            return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, zero);
        return QStringLiteral("%1:%2:%3")
            .arg(whole / 3600)
            .arg(whole / 60 % 60, 2, 10, zero)
            .arg(whole % 60, 2, 10, zero);
    }

    float finite(float v)
    {
        return std::isfinite(v) ? v : 0.0f;
    }

    // The picture's columns gathered into pixel columns: per pixel and band the mean bar and the
    // highest peak, per pixel the mean, lowest and highest of each line.
    struct Pixels {
        int bands;
        int width;
        std::vector<float> bar;
        std::vector<float> peak;
        std::vector<bool> filled;
        std::vector<PictureData::Line> rms;
        std::vector<PictureData::Line> agc;
        std::vector<PictureData::Line> presence;
        std::vector<int> frames;
    };

    void mergeLine(PictureData::Line& into, const PictureData::Line& from, bool first)
    {
        into.sum += from.sum;
        into.low = first ? from.low : std::min(into.low, from.low);
        into.high = first ? from.high : std::max(into.high, from.high);
    }

    Pixels collect(const PictureLayout& layout, const PictureData& data)
    {
        const int bands = static_cast<int>(data.bandCentersHz().size());
        const int width = layout.plotWidth();
        const std::size_t cells = std::size_t(width) * std::size_t(bands);
        Pixels px { bands, width, std::vector<float>(cells, 0.0f), std::vector<float>(cells, 0.0f),
            std::vector<bool>(std::size_t(width), false),
            std::vector<PictureData::Line>(std::size_t(width)),
            std::vector<PictureData::Line>(std::size_t(width)),
            std::vector<PictureData::Line>(std::size_t(width)),
            std::vector<int>(std::size_t(width), 0) };
        for (const PictureData::Column& c : data.columns()) {
            if (c.frames == 0)
                continue;
            const std::size_t x = std::size_t(layout.columnAt(c.timeSum / c.frames));
            const bool first = px.frames[x] == 0;
            for (int k = 0; k < bands; ++k) {
                px.bar[x * bands + k] += c.barSum[std::size_t(k)];
                float& peak = px.peak[x * bands + k];
                peak = std::max(peak, c.peakMax[std::size_t(k)]);
            }
            mergeLine(px.rms[x], c.rms, first);
            mergeLine(px.agc[x], c.agc, first);
            mergeLine(px.presence[x], c.presence, first);
            px.frames[x] += c.frames;
        }
        // Where frames are sparser than pixels (short runs), a column shows the frame before it.
        int last = -1;
        for (int x = 0; x < width; ++x) {
            const std::size_t at = std::size_t(x);
            if (px.frames[at] > 0) {
                const float n = static_cast<float>(px.frames[at]);
                for (int k = 0; k < bands; ++k)
                    px.bar[at * bands + k] /= n;
                for (auto* line : { &px.rms, &px.agc, &px.presence })
                    (*line)[at].sum /= n;
                px.filled[at] = true;
                last = x;
            } else if (last >= 0) {
                const std::size_t from = std::size_t(last);
                std::copy_n(px.bar.begin() + std::ptrdiff_t(from * bands), bands,
                    px.bar.begin() + std::ptrdiff_t(at * bands));
                std::copy_n(px.peak.begin() + std::ptrdiff_t(from * bands), bands,
                    px.peak.begin() + std::ptrdiff_t(at * bands));
                for (auto* line : { &px.rms, &px.agc, &px.presence })
                    (*line)[at] = (*line)[from];
                px.filled[at] = true;
            }
        }
        return px;
    }

    void drawHeatMap(
        QPainter& p, const PictureLayout& layout, const Pixels& c, const shell::Theme& theme)
    {
        if (c.bands == 0)
            return;
        const int width = c.width;
        const HeatScale scale(theme);
        QImage heat(width, c.bands, QImage::Format_RGB32);
        for (int k = 0; k < c.bands; ++k) {
            auto* line = reinterpret_cast<QRgb*>(heat.scanLine(c.bands - 1 - k));
            const float share
                = static_cast<float>(k) / static_cast<float>(std::max(c.bands - 1, 1));
            for (int x = 0; x < width; ++x)
                line[x] = scale.at(c.bar[std::size_t(x) * c.bands + k], share).rgb();
        }
        p.drawImage(layout.heatMap(), heat);

        // The peak marker of each band as a trace inside its row: the row's foot is 0, its head 1.
        p.setPen(QPen(peakTrace(theme), 1));
        for (int k = 0; k < c.bands; ++k) {
            const QRect row = layout.bandRow(k);
            QPolygonF trace;
            for (int x = 0; x <= width; ++x) {
                const float peak = x < width && c.filled[std::size_t(x)]
                    ? std::clamp(c.peak[std::size_t(x) * c.bands + k], 0.0f, 1.0f)
                    : 0.0f;
                // A resting marker would only draw a line along the foot of every dark row.
                if (peak < kPeakTraceMin) {
                    p.drawPolyline(trace);
                    trace.clear();
                    continue;
                }
                // From the row's bottom pixel (0) up to the one below its top (1): the top pixel
                // row keeps the bar's colour alone.
                trace << QPointF(
                    row.left() + x + 0.5, row.bottom() + 0.5 - peak * (row.height() - 2));
            }
        }
    }

    struct Scale {
        float low;
        float high;
        std::vector<float> ticks;
        QString unit;
    };

    void drawPanel(QPainter& p, const QRect& r, const QString& name, const Scale& s,
        const QColor& color, const Pixels& px, std::vector<PictureData::Line> Pixels::*lines)
    {
        p.fillRect(r, Qt::white);
        p.setFont(font(kSmallFontPx));
        const QFontMetrics fm(p.font());
        // The scale stops short of the frame, so that a line at either end stays visible.
        auto yOf = [&](float v) {
            const float t = (std::clamp(v, s.low, s.high) - s.low) / (s.high - s.low);
            return r.bottom() + 0.5 - kPanelInsetPx - t * (r.height() - 1 - 2 * kPanelInsetPx);
        };
        // In a small picture the labels of ticks closer than a line of text would overlap: those
        // keep their grid line only.
        double lastLabel = 1e9;
        for (float tick : s.ticks) {
            const double y = yOf(tick);
            p.setPen(QPen(kGrid, 1));
            p.drawLine(QPointF(r.left(), y), QPointF(r.right() + 1, y));
            if (lastLabel - y < fm.height())
                continue;
            lastLabel = y;
            p.setPen(kInk);
            const QString text = QString::number(tick, 'g', 4);
            p.drawText(QRectF(0, y - fm.height() / 2.0, r.left() - 6, fm.height()),
                Qt::AlignRight | Qt::AlignVCenter, text);
        }
        // The mean of each pixel column as a line, and where the column spans many frames, their
        // range as a fainter stroke behind it.
        const std::vector<PictureData::Line>& values = px.*lines;
        QPolygonF line;
        p.setPen(QPen(color.lighter(160), 1));
        for (int x = 0; x < px.width; ++x) {
            if (!px.filled[std::size_t(x)])
                continue;
            const PictureData::Line& v = values[std::size_t(x)];
            const double low = yOf(v.low);
            const double high = yOf(v.high);
            if (low - high >= 2.0)
                p.drawLine(QPointF(r.left() + x + 0.5, low), QPointF(r.left() + x + 0.5, high));
            line << QPointF(r.left() + x + 0.5, yOf(v.sum));
        }
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(QPen(color, 1.5));
        p.drawPolyline(line);
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setPen(QPen(kInk, 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        // The name sits in the right margin, where it never covers the line.
        p.setFont(font(kFontPx, true));
        p.setPen(color.darker(130));
        const QString label
            = s.unit.isEmpty() ? name : QStringLiteral("%1\n(%2)").arg(name, s.unit);
        p.drawText(QRect(r.right() + 10, r.top(), kMarginRightPx - 12, r.height()),
            Qt::AlignLeft | Qt::AlignVCenter, label);
    }

} // namespace

PictureData::PictureData(QString title, int sampleRate, std::vector<float> bandCentersHz,
    std::vector<Section> sections, bool stereo, bool reverse)
    : title_(std::move(title))
    , sampleRate_(sampleRate)
    , sections_(std::move(sections))
    , bands_(static_cast<int>(bandCentersHz.size()))
    , stereo_(stereo)
    , reverse_(reverse)
    , columnSec_(1.0 / dsp::kFrameRateHz)
    , columns_(kPictureColumns)
{
    bandCentersHz_.resize(bandCentersHz.size() * (stereo ? 2 : 1));
    for (int side = 0; side < (stereo ? 2 : 1); ++side)
        for (int k = 0; k < bands_; ++k)
            bandCentersHz_[std::size_t(rowOf(side, k))] = bandCentersHz[std::size_t(k)];
    for (Column& c : columns_) {
        c.barSum.assign(bandCentersHz_.size(), 0.0f);
        c.peakMax.assign(bandCentersHz_.size(), 0.0f);
    }
}

void PictureData::add(const TimedFrame& f)
{
    const double sec = std::isfinite(f.timeSec) ? std::max(f.timeSec, 0.0) : lengthSec_;
    // A frame ends its hop: the time just before its end says which column it belongs to.
    auto columnOf = [&] { return static_cast<std::size_t>(sec / columnSec_ * (1.0 - 1e-12)); };
    while (columnOf() >= columns_.size())
        mergePairs();
    Column& c = columns_[columnOf()];
    const bool first = c.frames == 0;
    for (int side = 0; side < (stereo_ ? 2 : 1); ++side) {
        const dsp::SpectrumFrame& frame = side == 0 ? f.frame : f.right;
        const int bands = std::min(bands_, frame.bandCount);
        for (int k = 0; k < bands; ++k) {
            const std::size_t row = std::size_t(rowOf(side, k));
            c.barSum[row] += std::clamp(finite(frame.bars[k]), 0.0f, 1.0f);
            c.peakMax[row]
                = std::max(c.peakMax[row], std::clamp(finite(frame.peaks[k]), 0.0f, 1.0f));
        }
    }
    const std::pair<Line*, float> lines[] = { { &c.rms, f.frame.rmsDb }, { &c.agc, f.frame.agcDb },
        { &c.presence, f.frame.presence } };
    for (const auto& [line, raw] : lines) {
        const float v = finite(raw);
        line->sum += v;
        line->low = first ? v : std::min(line->low, v);
        line->high = first ? v : std::max(line->high, v);
    }
    c.onsets += f.beat.onset ? 1 : 0;
    c.timeSum += sec;
    ++c.frames;
    lengthSec_ = std::max(lengthSec_, sec);
    ++frameCount_;
}

int PictureData::rowOf(int side, int band) const
{
    const int fromBottom = reverse_ ? bands_ - 1 - band : band;
    // Stereo: the left side above the right.
    return stereo_ && side == 0 ? bands_ + fromBottom : fromBottom;
}

void PictureData::mergePairs()
{
    // Column i takes columns 2i and 2i + 1; those lie at or after i, so none is overwritten
    // before it is read.
    const std::size_t half = columns_.size() / 2;
    for (std::size_t i = 0; i < half; ++i) {
        Column& into = columns_[i];
        if (i > 0) {
            const Column& first = columns_[2 * i];
            std::copy(first.barSum.begin(), first.barSum.end(), into.barSum.begin());
            std::copy(first.peakMax.begin(), first.peakMax.end(), into.peakMax.begin());
            into.rms = first.rms;
            into.agc = first.agc;
            into.presence = first.presence;
            into.onsets = first.onsets;
            into.timeSum = first.timeSum;
            into.frames = first.frames;
        }
        const Column& from = columns_[2 * i + 1];
        if (from.frames == 0)
            continue;
        const bool first = into.frames == 0;
        for (std::size_t k = 0; k < into.barSum.size(); ++k) {
            into.barSum[k] += from.barSum[k];
            into.peakMax[k] = std::max(into.peakMax[k], from.peakMax[k]);
        }
        mergeLine(into.rms, from.rms, first);
        mergeLine(into.agc, from.agc, first);
        mergeLine(into.presence, from.presence, first);
        into.onsets += from.onsets;
        into.timeSum += from.timeSum;
        into.frames += from.frames;
    }
    for (std::size_t i = half; i < columns_.size(); ++i) {
        Column& c = columns_[i];
        std::fill(c.barSum.begin(), c.barSum.end(), 0.0f);
        std::fill(c.peakMax.begin(), c.peakMax.end(), 0.0f);
        c.rms = c.agc = c.presence = Line {};
        c.onsets = 0;
        c.timeSum = 0.0;
        c.frames = 0;
    }
    columnSec_ *= 2.0;
}

PictureLayout::PictureLayout(int bandCount, double lengthSec, QSize size)
    : bandCount_(std::max(bandCount, 1))
    , lengthSec_(lengthSec > 0.0 && std::isfinite(lengthSec) ? lengthSec : 1.0)
    , size_(size)
{
    // The heat map and the three panels share the height the fixed parts leave, in the
    // proportions of the default picture (12 px per band, 90 px per panel for 28 bands).
    const int fixed = kTitlePx + kSectionNamesPx + 3 * kPanelGapPx + kTimeAxisPx;
    const int free = std::max(size.height() - fixed, 0);
    panelPx_ = std::max(kMinPanelPx, free * kDefaultPanelPx / kDefaultPlotsPx);
    bandRowPx_ = std::max(1, (free - 3 * panelPx_) / bandCount_);
}

bool PictureLayout::fits(QSize size)
{
    return size.width() >= kMinWidthPx && size.height() >= kMinHeightPx;
}

int PictureLayout::plotWidth() const
{
    return std::max(size_.width() - kMarginLeftPx - kMarginRightPx, 1);
}

QRect PictureLayout::heatMap() const
{
    return QRect(kMarginLeftPx, kTitlePx + kSectionNamesPx, plotWidth(), bandCount_ * bandRowPx_);
}

QRect PictureLayout::bandRow(int band) const
{
    const QRect h = heatMap();
    return QRect(h.left(), h.top() + (bandCount_ - 1 - band) * bandRowPx_, plotWidth(), bandRowPx_);
}

QRect PictureLayout::rmsPanel() const
{
    const QRect h = heatMap();
    return QRect(h.left(), h.bottom() + 1 + kPanelGapPx, plotWidth(), panelPx_);
}

QRect PictureLayout::agcPanel() const
{
    return rmsPanel().translated(0, panelPx_ + kPanelGapPx);
}

QRect PictureLayout::presencePanel() const
{
    return agcPanel().translated(0, panelPx_ + kPanelGapPx);
}

double PictureLayout::xAt(double sec) const
{
    const double w = plotWidth();
    return std::isfinite(sec) ? std::clamp(sec / lengthSec_ * w, 0.0, w) : 0.0;
}

int PictureLayout::columnAt(double sec) const
{
    return std::min(static_cast<int>(std::floor(xAt(sec))), plotWidth() - 1);
}

QColor heatColor(float level)
{
    return HeatScale(shell::defaultTheme()).at(level, 0.0f);
}

HeatScale::HeatScale(const shell::Theme& theme)
    : levels_(theme.heat)
    , floor_(theme.hasBackground ? theme.background : shell::Rgb {})
{
    if (!levels_.stops.empty())
        return;
    if (theme.barsAxis == shell::Theme::Axis::Bands) {
        bands_ = theme.bars;
        return;
    }
    levels_.stops.push_back({ 0.0f, floor_ });
    const float count = static_cast<float>(theme.bars.stops.size());
    for (std::size_t i = 0; i < theme.bars.stops.size(); ++i)
        levels_.stops.push_back({ static_cast<float>(i + 1) / count, theme.bars.stops[i].colour });
}

QColor HeatScale::at(float level, float bandShare) const
{
    if (bands_.stops.empty())
        return qColour(levels_.at(level));
    shell::Gradient mix;
    mix.stops = { { 0.0f, floor_ }, { 1.0f, bands_.at(bandShare) } };
    return qColour(mix.at(level));
}

PictureTitle fitTitle(const PictureData& in, int widthPx)
{
    const QString lead = QStringLiteral("bandview  \u00b7  ");
    const QString facts = QStringLiteral("  \u00b7  %1 Hz  \u00b7  %2 s  \u00b7  %3 frames")
                              .arg(in.sampleRate())
                              .arg(QString::number(in.lengthSec(), 'f', 2))
                              .arg(in.frameCount());
    const int room = widthPx - 2 * kTitleMarginPx;
    PictureTitle title { {}, kTitleFontPx };
    while (title.fontPx > kMinTitleFontPx
        && QFontMetrics(font(title.fontPx, true)).horizontalAdvance(lead + in.title() + facts)
            > room)
        --title.fontPx;
    const QFontMetrics metrics(font(title.fontPx, true));
    title.text = lead
        + metrics.elidedText(in.title(), Qt::ElideMiddle,
            std::max(room - metrics.horizontalAdvance(lead + facts), 0))
        + facts;
    return title;
}

namespace {

    // The steps of the picture, in the order they paint: each leaves the painter as the next
    // expects.
    void drawTitle(QPainter& p, const PictureData& in, const PictureLayout& layout)
    {
        p.setPen(kInk);
        const PictureTitle title = fitTitle(in, layout.size().width());
        p.setFont(font(title.fontPx, true));
        p.drawText(
            QRect(kTitleMarginPx, 4, layout.size().width() - 2 * kTitleMarginPx, kTitlePx - 6),
            Qt::AlignLeft | Qt::AlignVCenter, title.text);
    }

    // Band centres on the left of the heat map, and the axis' name.
    void drawBandLabels(QPainter& p, const PictureData& in, const PictureLayout& layout)
    {
        const int bands = static_cast<int>(in.bandCentersHz().size());
        const QRect heat = layout.heatMap();
        p.setFont(font(kSmallFontPx));
        p.setPen(kInk);
        // Every band while the rows leave room for the text, else every second, third...
        const int rowPx = layout.bandRow(0).height();
        const int labelEvery = std::max(1, (kSmallFontPx + rowPx - 1) / rowPx);
        for (int k = 0; k < bands; k += labelEvery) {
            const QRect row = layout.bandRow(k);
            p.drawText(QRect(0, row.center().y() - kLabelRowPx / 2, heat.left() - 6, kLabelRowPx),
                Qt::AlignRight | Qt::AlignVCenter, bandLabel(in.bandCentersHz()[std::size_t(k)]));
        }
        p.save();
        p.translate(12, heat.center().y());
        p.rotate(-90);
        p.setFont(font(kFontPx, true));
        p.drawText(QRect(-150, -8, 300, 16), Qt::AlignCenter, QStringLiteral("band centre (Hz)"));
        p.restore();
    }

    // Colour key: bar height from 0 to 1, and what the white trace means.
    void drawColourKey(QPainter& p, const QRect& heat, const shell::Theme& theme)
    {
        // Across the bands the key shows the middle band's scale.
        const HeatScale scale(theme);
        auto heatColor = [&scale](float level) { return scale.at(level, 0.5f); };
        const QRect key(heat.right() + 18, heat.top() + 16, 12, heat.height() - 60);
        for (int y = 0; y < key.height(); ++y) {
            const float level = 1.0f - static_cast<float>(y) / static_cast<float>(key.height() - 1);
            p.setPen(heatColor(level));
            p.drawLine(key.left(), key.top() + y, key.right(), key.top() + y);
        }
        p.setPen(kInk);
        p.setFont(font(kSmallFontPx));
        p.drawText(
            QRect(key.left() - 10, heat.top(), 60, 14), Qt::AlignLeft, QStringLiteral("bar"));
        p.drawText(QRect(key.right() + 4, key.top() - 6, 30, 12), Qt::AlignLeft | Qt::AlignVCenter,
            QStringLiteral("1"));
        p.drawText(QRect(key.right() + 4, key.bottom() - 6, 30, 12),
            Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("0"));
        const QRect peakKey(key.left() - 4, key.bottom() + 14, 24, 12);
        p.fillRect(peakKey, heatColor(0.3f));
        p.setPen(QPen(peakTrace(theme), 1));
        p.drawLine(
            peakKey.left() + 2, peakKey.center().y(), peakKey.right() - 2, peakKey.center().y());
        p.setPen(kInk);
        p.drawText(QRect(key.left() - 10, peakKey.bottom() + 2, 70, 14), Qt::AlignLeft,
            QStringLiteral("peak"));
    }

    void drawPanels(QPainter& p, const PictureLayout& layout, const Pixels& pixels)
    {
        drawPanel(p, layout.rmsPanel(), QStringLiteral("rmsDb"),
            Scale { kRmsPlotLowDb, 0.0f, { -80.0f, -60.0f, -40.0f, -20.0f, 0.0f },
                QStringLiteral("dBFS") },
            kRmsLine, pixels, &Pixels::rms);
        drawPanel(p, layout.agcPanel(), QStringLiteral("agcDb"),
            Scale { dsp::kAgcMinDb, dsp::kAgcMaxDb, { -6.0f, 0.0f, 6.0f, 12.0f, 18.0f, 24.0f },
                QStringLiteral("dB") },
            kAgcLine, pixels, &Pixels::agc);
        drawPanel(p, layout.presencePanel(), QStringLiteral("presence"),
            Scale { 0.0f, 1.0f, { 0.0f, 0.5f, 1.0f }, QString() }, kPresenceLine, pixels,
            &Pixels::presence);
    }

    // Time axis under the last panel, with ticks through every panel.
    void drawTimeAxis(QPainter& p, const PictureLayout& layout, double lengthSec)
    {
        const QRect heat = layout.heatMap();
        const int plotWidth = layout.plotWidth();
        const bool minutes = lengthSec >= 120.0;
        const double step = tickStep(layout.xAt(1.0) > 0.0 ? lengthSec : 1.0, plotWidth);
        const QRect last = layout.presencePanel();
        p.setFont(font(kSmallFontPx));
        for (double t = 0.0; t <= lengthSec + 1e-9; t += step) {
            const int x = layout.columnAt(t) + heat.left();
            p.setPen(kInk);
            p.drawLine(x, heat.bottom() + 1, x, heat.bottom() + 4);
            for (const QRect& panel : { layout.rmsPanel(), layout.agcPanel(), last })
                p.drawLine(x, panel.bottom() + 1, x, panel.bottom() + 4);
            p.drawText(QRect(x - 40, last.bottom() + 5, 80, 14), Qt::AlignHCenter | Qt::AlignTop,
                timeLabel(t, minutes));
        }
        p.setFont(font(kFontPx, true));
        p.drawText(QRect(heat.left(), last.bottom() + 21, plotWidth, 16), Qt::AlignHCenter,
            !minutes                 ? QStringLiteral("time (s)")
                : lengthSec < 3600.0 ? QStringLiteral("time (m:ss)")
                                     : QStringLiteral("time (h:mm:ss)"));
    }

    // A tick above the heat map wherever a beat started.
    void drawBeats(QPainter& p, const PictureData& in, const PictureLayout& layout)
    {
        const QRect heat = layout.heatMap();
        p.setPen(kBeatTick);
        for (const PictureData::Column& c : in.columns()) {
            if (c.onsets == 0)
                continue;
            const int x = heat.left() + layout.columnAt(c.timeSum / c.frames);
            p.drawLine(x, heat.top() - kBeatTickPx, x, heat.top() - 1);
        }
    }

    // Sections of the demo: a dashed line at each boundary and the names above the heat map, on
    // two alternating rows so that short sections keep their names apart.
    void drawSections(
        QPainter& p, const PictureData& in, const PictureLayout& layout, double lengthSec)
    {
        const QRect heat = layout.heatMap();
        const QRect last = layout.presencePanel();
        p.setFont(font(kSmallFontPx));
        for (std::size_t i = 0; i < in.sections().size(); ++i) {
            const Section& s = in.sections()[i];
            // A run cut short (--duration) shows only the sections it reached.
            if (s.startSec >= lengthSec)
                break;
            const int x0 = heat.left() + layout.columnAt(s.startSec);
            const int x1 = heat.left() + layout.columnAt(s.endSec);
            if (i > 0) {
                p.setPen(QPen(kSectionLine, 1, Qt::DashLine));
                p.drawLine(x0, kTitlePx + (i % 2 == 0 ? 2 : 16), x0, last.bottom());
            }
            p.setPen(kInk);
            const int row = kTitlePx + (i % 2 == 0 ? 0 : 14);
            p.drawText(QRect((x0 + x1) / 2 - 60, row, 120, 14), Qt::AlignCenter, s.name);
        }
    }

} // namespace

QImage renderPicture(const PictureData& in, QSize size, const shell::Theme& theme)
{
    const int bands = static_cast<int>(in.bandCentersHz().size());
    const double lengthSec = in.lengthSec();
    const PictureLayout layout(bands, lengthSec, size);
    QImage image(layout.size(), QImage::Format_RGB32);
    image.fill(kBackground);
    QPainter p(&image);
    drawTitle(p, in, layout);
    const Pixels pixels = collect(layout, in);
    drawHeatMap(p, layout, pixels, theme);
    drawBandLabels(p, in, layout);
    drawColourKey(p, layout.heatMap(), theme);
    drawPanels(p, layout, pixels);
    drawTimeAxis(p, layout, lengthSec);
    drawSections(p, in, layout, lengthSec);
    drawBeats(p, in, layout);
    p.end();
    return image;
}

} // namespace bandview
