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
    constexpr int kSectionNamesPx = 30;
    constexpr int kPanelGapPx = 14;
    constexpr int kTimeAxisPx = 40;
    constexpr int kMinTickSpacingPx = 70;
    constexpr int kFontPx = 11;
    constexpr int kSmallFontPx = 10;
    constexpr float kPeakTraceMin = 0.02f;
    constexpr int kPanelInsetPx = 4;

    const QColor kBackground(250, 250, 248);
    const QColor kInk(40, 40, 40);
    const QColor kGrid(220, 220, 216);
    const QColor kSectionLine(120, 120, 120);
    const QColor kPeakTrace(255, 255, 255, 210);
    const QColor kRmsLine(31, 119, 180);
    const QColor kAgcLine(230, 120, 20);
    const QColor kPresenceLine(44, 160, 44);

    struct Stop {
        float at;
        int r, g, b;
    };
    // Sampled from a perceptually ordered dark-to-bright scale (black, purple, red, orange,
    // pale yellow), so that a taller bar always reads lighter.
    constexpr Stop kHeatStops[] = {
        { 0.0f, 0, 0, 4 },
        { 0.25f, 87, 16, 110 },
        { 0.5f, 188, 55, 84 },
        { 0.75f, 249, 142, 9 },
        { 1.0f, 252, 255, 164 },
    };

    QFont font(int px, bool bold = false)
    {
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(px);
        f.setBold(bold);
        return f;
    }

    double tickStep(double lengthSec)
    {
        constexpr double kSteps[]
            = { 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600 };
        for (double step : kSteps) {
            if (step / lengthSec * kPlotWidthPx >= kMinTickSpacingPx)
                return step;
        }
        return kSteps[std::size(kSteps) - 1];
    }

    QString timeLabel(double sec, bool minutes)
    {
        if (!minutes)
            return QString::number(sec, 'g', 6);
        const int whole = static_cast<int>(std::lround(sec));
        return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
    }

    // The heat map's columns: per column and band, the mean bar and the highest peak of the frames
    // that end in the column.
    struct Columns {
        int bands;
        std::vector<float> bar;
        std::vector<float> peak;
        std::vector<bool> filled;
    };

    Columns collect(const PictureLayout& layout, int bands, const std::vector<TimedFrame>& frames)
    {
        Columns c { bands, std::vector<float>(std::size_t(kPlotWidthPx) * bands, 0.0f),
            std::vector<float>(std::size_t(kPlotWidthPx) * bands, 0.0f),
            std::vector<bool>(kPlotWidthPx, false) };
        std::vector<int> count(kPlotWidthPx, 0);
        for (const TimedFrame& f : frames) {
            const int x = layout.columnAt(f.timeSec);
            for (int k = 0; k < bands; ++k) {
                c.bar[std::size_t(x) * bands + k] += f.frame.bars[k];
                float& peak = c.peak[std::size_t(x) * bands + k];
                peak = std::max(peak, f.frame.peaks[k]);
            }
            ++count[x];
        }
        // Where frames are sparser than pixels (short runs), a column shows the frame before it.
        int last = -1;
        for (int x = 0; x < kPlotWidthPx; ++x) {
            if (count[x] > 0) {
                for (int k = 0; k < bands; ++k)
                    c.bar[std::size_t(x) * bands + k] /= static_cast<float>(count[x]);
                c.filled[x] = true;
                last = x;
            } else if (last >= 0) {
                std::copy_n(c.bar.begin() + std::ptrdiff_t(last) * bands, bands,
                    c.bar.begin() + std::ptrdiff_t(x) * bands);
                std::copy_n(c.peak.begin() + std::ptrdiff_t(last) * bands, bands,
                    c.peak.begin() + std::ptrdiff_t(x) * bands);
                c.filled[x] = true;
            }
        }
        return c;
    }

    void drawHeatMap(QPainter& p, const PictureLayout& layout, const Columns& c)
    {
        QImage heat(kPlotWidthPx, c.bands, QImage::Format_RGB32);
        for (int k = 0; k < c.bands; ++k) {
            auto* line = reinterpret_cast<QRgb*>(heat.scanLine(c.bands - 1 - k));
            for (int x = 0; x < kPlotWidthPx; ++x)
                line[x] = heatColor(c.bar[std::size_t(x) * c.bands + k]).rgb();
        }
        p.drawImage(layout.heatMap(), heat);

        // The peak marker of each band as a trace inside its row: the row's foot is 0, its head 1.
        p.setPen(QPen(kPeakTrace, 1));
        for (int k = 0; k < c.bands; ++k) {
            const QRect row = layout.bandRow(k);
            QPolygonF trace;
            for (int x = 0; x <= kPlotWidthPx; ++x) {
                const float peak
                    = x < kPlotWidthPx && c.filled[x] ? c.peak[std::size_t(x) * c.bands + k] : 0.0f;
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

    void drawPanel(QPainter& p, const PictureLayout& layout, const QRect& r, const QString& name,
        const Scale& s, const QColor& color, const std::vector<TimedFrame>& frames,
        float dsp::SpectrumFrame::*value)
    {
        p.fillRect(r, Qt::white);
        p.setFont(font(kSmallFontPx));
        const QFontMetrics fm(p.font());
        // The scale stops short of the frame, so that a line at either end stays visible.
        auto yOf = [&](float v) {
            const float t = (std::clamp(v, s.low, s.high) - s.low) / (s.high - s.low);
            return r.bottom() + 0.5 - kPanelInsetPx - t * (r.height() - 1 - 2 * kPanelInsetPx);
        };
        for (float tick : s.ticks) {
            const double y = yOf(tick);
            p.setPen(QPen(kGrid, 1));
            p.drawLine(QPointF(r.left(), y), QPointF(r.right() + 1, y));
            p.setPen(kInk);
            const QString text = QString::number(tick, 'g', 4);
            p.drawText(QRectF(0, y - fm.height() / 2.0, r.left() - 6, fm.height()),
                Qt::AlignRight | Qt::AlignVCenter, text);
        }
        QPolygonF line;
        line.reserve(static_cast<int>(frames.size()));
        for (const TimedFrame& f : frames) {
            line << QPointF(r.left() + layout.xAt(f.timeSec), yOf(f.frame.*value));
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

PictureLayout::PictureLayout(int bandCount, double lengthSec)
    : bandCount_(std::max(bandCount, 1))
    , lengthSec_(lengthSec > 0.0 ? lengthSec : 1.0)
{
}

QRect PictureLayout::heatMap() const
{
    return QRect(kMarginLeftPx, kTitlePx + kSectionNamesPx, kPlotWidthPx, bandCount_ * kBandRowPx);
}

QRect PictureLayout::bandRow(int band) const
{
    const QRect h = heatMap();
    return QRect(
        h.left(), h.top() + (bandCount_ - 1 - band) * kBandRowPx, kPlotWidthPx, kBandRowPx);
}

QRect PictureLayout::rmsPanel() const
{
    const QRect h = heatMap();
    return QRect(h.left(), h.bottom() + 1 + kPanelGapPx, kPlotWidthPx, kLinePanelPx);
}

QRect PictureLayout::agcPanel() const
{
    return rmsPanel().translated(0, kLinePanelPx + kPanelGapPx);
}

QRect PictureLayout::presencePanel() const
{
    return agcPanel().translated(0, kLinePanelPx + kPanelGapPx);
}

QSize PictureLayout::size() const
{
    return QSize(
        kMarginLeftPx + kPlotWidthPx + kMarginRightPx, presencePanel().bottom() + 1 + kTimeAxisPx);
}

double PictureLayout::xAt(double sec) const
{
    return std::clamp(sec / lengthSec_ * kPlotWidthPx, 0.0, static_cast<double>(kPlotWidthPx));
}

int PictureLayout::columnAt(double sec) const
{
    return std::min(static_cast<int>(std::floor(xAt(sec))), kPlotWidthPx - 1);
}

double PictureLayout::columnStartSec(int column) const
{
    return column * lengthSec_ / kPlotWidthPx;
}

QColor heatColor(float level)
{
    const float v = std::isnan(level) ? 0.0f : std::clamp(level, 0.0f, 1.0f);
    int i = 1;
    while (i + 1 < static_cast<int>(std::size(kHeatStops)) && v > kHeatStops[i].at)
        ++i;
    const Stop& a = kHeatStops[i - 1];
    const Stop& b = kHeatStops[i];
    const float t = (v - a.at) / (b.at - a.at);
    auto mix
        = [t](int from, int to) { return static_cast<int>(std::lround(from + (to - from) * t)); };
    return QColor(mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b));
}

QImage renderPicture(const PictureInput& in)
{
    static const std::vector<TimedFrame> kNoFrames;
    const std::vector<TimedFrame>& frames = in.frames ? *in.frames : kNoFrames;
    const int bands = static_cast<int>(in.bandCentersHz.size());
    const PictureLayout layout(bands, in.lengthSec);
    QImage image(layout.size(), QImage::Format_RGB32);
    image.fill(kBackground);
    QPainter p(&image);

    p.setPen(kInk);
    p.setFont(font(13, true));
    const QString title
        = QStringLiteral("bandview  \u00b7  %1  \u00b7  %2 Hz  \u00b7  %3 s  \u00b7  %4 frames")
              .arg(in.title)
              .arg(in.sampleRate)
              .arg(QString::number(in.lengthSec, 'f', 2))
              .arg(frames.size());
    p.drawText(QRect(kMarginLeftPx, 4, kPlotWidthPx, kTitlePx - 6),
        Qt::AlignLeft | Qt::AlignVCenter, title);

    drawHeatMap(p, layout, collect(layout, bands, frames));

    // Band centres on the left, every band while the rows leave room for the text.
    p.setFont(font(kSmallFontPx));
    p.setPen(kInk);
    const QRect heat = layout.heatMap();
    for (int k = 0; k < bands; ++k) {
        const QRect row = layout.bandRow(k);
        p.drawText(QRect(0, row.top() - 2, heat.left() - 6, row.height() + 4),
            Qt::AlignRight | Qt::AlignVCenter, bandLabel(in.bandCentersHz[std::size_t(k)]));
    }
    p.save();
    p.translate(12, heat.center().y());
    p.rotate(-90);
    p.setFont(font(kFontPx, true));
    p.drawText(QRect(-150, -8, 300, 16), Qt::AlignCenter, QStringLiteral("band centre (Hz)"));
    p.restore();

    // Colour key: bar height from 0 to 1, and what the white trace means.
    const QRect key(heat.right() + 18, heat.top() + 16, 12, heat.height() - 60);
    for (int y = 0; y < key.height(); ++y) {
        const float level = 1.0f - static_cast<float>(y) / static_cast<float>(key.height() - 1);
        p.setPen(heatColor(level));
        p.drawLine(key.left(), key.top() + y, key.right(), key.top() + y);
    }
    p.setPen(kInk);
    p.setFont(font(kSmallFontPx));
    p.drawText(QRect(key.left() - 10, heat.top(), 60, 14), Qt::AlignLeft, QStringLiteral("bar"));
    p.drawText(QRect(key.right() + 4, key.top() - 6, 30, 12), Qt::AlignLeft | Qt::AlignVCenter,
        QStringLiteral("1"));
    p.drawText(QRect(key.right() + 4, key.bottom() - 6, 30, 12), Qt::AlignLeft | Qt::AlignVCenter,
        QStringLiteral("0"));
    const QRect peakKey(key.left() - 4, key.bottom() + 14, 24, 12);
    p.fillRect(peakKey, heatColor(0.3f));
    p.setPen(QPen(kPeakTrace, 1));
    p.drawLine(peakKey.left() + 2, peakKey.center().y(), peakKey.right() - 2, peakKey.center().y());
    p.setPen(kInk);
    p.drawText(QRect(key.left() - 10, peakKey.bottom() + 2, 70, 14), Qt::AlignLeft,
        QStringLiteral("peak"));

    drawPanel(p, layout, layout.rmsPanel(), QStringLiteral("rmsDb"),
        Scale {
            kRmsPlotLowDb, 0.0f, { -80.0f, -60.0f, -40.0f, -20.0f, 0.0f }, QStringLiteral("dBFS") },
        kRmsLine, frames, &dsp::SpectrumFrame::rmsDb);
    drawPanel(p, layout, layout.agcPanel(), QStringLiteral("agcDb"),
        Scale { dsp::kAgcMinDb, dsp::kAgcMaxDb, { -6.0f, 0.0f, 6.0f, 12.0f, 18.0f, 24.0f },
            QStringLiteral("dB") },
        kAgcLine, frames, &dsp::SpectrumFrame::agcDb);
    drawPanel(p, layout, layout.presencePanel(), QStringLiteral("presence"),
        Scale { 0.0f, 1.0f, { 0.0f, 0.5f, 1.0f }, QString() }, kPresenceLine, frames,
        &dsp::SpectrumFrame::presence);

    // Time axis under the last panel, with ticks through every panel.
    const bool minutes = in.lengthSec >= 120.0;
    const double step = tickStep(in.lengthSec);
    const QRect last = layout.presencePanel();
    p.setFont(font(kSmallFontPx));
    for (double t = 0.0; t <= in.lengthSec + 1e-9; t += step) {
        const int x = layout.columnAt(t) + heat.left();
        p.setPen(kInk);
        p.drawLine(x, heat.bottom() + 1, x, heat.bottom() + 4);
        for (const QRect& panel : { layout.rmsPanel(), layout.agcPanel(), last })
            p.drawLine(x, panel.bottom() + 1, x, panel.bottom() + 4);
        p.drawText(QRect(x - 40, last.bottom() + 5, 80, 14), Qt::AlignHCenter | Qt::AlignTop,
            timeLabel(t, minutes));
    }
    p.setFont(font(kFontPx, true));
    p.drawText(QRect(heat.left(), last.bottom() + 21, kPlotWidthPx, 16), Qt::AlignHCenter,
        minutes ? QStringLiteral("time (m:ss)") : QStringLiteral("time (s)"));

    // Sections of the demo: a dashed line at each boundary and the names above the heat map,
    // on two alternating rows so that short sections keep their names apart.
    p.setFont(font(kSmallFontPx));
    for (std::size_t i = 0; i < in.sections.size(); ++i) {
        const Section& s = in.sections[i];
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
    p.end();
    return image;
}

} // namespace bandview
