// The picture of a run, read the way a person reads it: where the heat is, what is dark, and
// whether a lighter colour always means a taller bar.

#include "analysis.h"
#include "media/demo.h"
#include "media/feed.h"
#include "picture.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QTest>

#include <cmath>

using bandview::PictureLayout;

class tst_BandviewPicture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void lighterMeansTaller();
    void heatFollowsTheSweep_data();
    void heatFollowsTheSweep();
    void longGapGoesDark();
    void panelsTraceTheLevels();
    void bandLabelsSitInTheirRows();
    void notFiniteValuesDrawAsZero();
    void longRunKeepsItsColumns();
    void titleFitsTheSmallestPicture();
    void beatsTickAboveTheHeatMap();

private:
    // Lightness of the heat map's colour for band at time sec. The top pixel row of a band's row
    // carries the bar colour alone: the peak trace stays below it.
    int heatAt(int band, double sec) const;

    QImage image_;
    PictureLayout layout_ { dsp::kDefaultBands, media::kDemoLengthSec };
};

void tst_BandviewPicture::initTestCase()
{
    media::MemoryFeed source(media::renderDemo(), media::kDemoRateHz);
    bandview::Analysis analysis(source);
    bandview::PictureData data(
        QStringLiteral("demo"), media::kDemoRateHz, analysis.bandCentersHz());
    for (bandview::Analysis::Step step;
         (step = analysis.advance()) != bandview::Analysis::Step::End;) {
        if (step == bandview::Analysis::Step::Frame)
            data.add(analysis.frame());
    }
    QCOMPARE(data.lengthSec(), media::kDemoLengthSec);
    image_ = bandview::renderPicture(data);
    QCOMPARE(image_.size(), layout_.size());
}

int tst_BandviewPicture::heatAt(int band, double sec) const
{
    return qGray(image_.pixel(
        layout_.heatMap().left() + layout_.columnAt(sec), layout_.bandRow(band).top()));
}

void tst_BandviewPicture::lighterMeansTaller()
{
    int previous = -1;
    for (int i = 0; i <= 100; ++i) {
        const float level = static_cast<float>(i) / 100.0f;
        const int gray = qGray(bandview::heatColor(level).rgb());
        QVERIFY2(gray > previous,
            qPrintable(
                QStringLiteral("lightness %1 at %2 after %3").arg(gray).arg(level).arg(previous)));
        previous = gray;
    }
}

void tst_BandviewPicture::heatFollowsTheSweep_data()
{
    QTest::addColumn<double>("sec");
    for (double sec : { 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5 })
        QTest::newRow(qPrintable(QStringLiteral("%1 s").arg(sec))) << sec;
}

void tst_BandviewPicture::heatFollowsTheSweep()
{
    QFETCH(double, sec);
    // Where the sweep is, independently of the analyzer: the band holding its frequency half an
    // analysis window (about 43 ms) earlier. The bar lags by up to one band behind that.
    const auto& sweep = media::kDemoSections[0];
    const double span = sweep.endSec - sweep.startSec;
    const double hz = media::kDemoSweepLowHz
        * std::pow(double(media::kDemoSweepHighHz) / media::kDemoSweepLowHz, (sec - 0.043) / span);
    const int expected = static_cast<int>(dsp::kDefaultBands * std::log(hz / dsp::kBandLowHz)
        / std::log(double(dsp::kBandHighHz) / dsp::kBandLowHz));
    int hottest = 0;
    for (int k = 1; k < dsp::kDefaultBands; ++k) {
        if (heatAt(k, sec) > heatAt(hottest, sec))
            hottest = k;
    }
    QVERIFY2(std::abs(hottest - expected) <= 1,
        qPrintable(QStringLiteral("hottest band %1 (lightness %2), sweep in band %3")
                       .arg(hottest)
                       .arg(heatAt(hottest, sec))
                       .arg(expected)));
}

void tst_BandviewPicture::longGapGoesDark()
{
    // One second into the long gap every bar has sunk for 0.9 s with a 180 ms time constant.
    const double sec = media::kDemoSections[6].startSec + 1.0;
    QCOMPARE(QString(media::kDemoSections[6].name), QStringLiteral("long gap"));
    const int floor = qGray(bandview::heatColor(0.0f).rgb());
    for (int k = 0; k < dsp::kDefaultBands; ++k)
        QVERIFY2(heatAt(k, sec) <= floor + 2,
            qPrintable(QStringLiteral("band %1: lightness %2").arg(k).arg(heatAt(k, sec))));
    // And during the pink noise every band is lit.
    const double pink = media::kDemoSections[7].startSec + 1.0;
    for (int k = 0; k < dsp::kDefaultBands; ++k)
        QVERIFY2(heatAt(k, pink) > floor + 30,
            qPrintable(QStringLiteral("band %1: lightness %2").arg(k).arg(heatAt(k, pink))));
}

void tst_BandviewPicture::panelsTraceTheLevels()
{
    // The presence line: in the top tenth of its panel in the short gap, in the bottom tenth at the
    // end of the long one. Found as the coloured pixels of one column.
    auto lineRows = [this](const QRect& panel, double sec) {
        const int x = panel.left() + layout_.columnAt(sec);
        int top = panel.bottom();
        int bottom = panel.top();
        for (int y = panel.top() + 1; y < panel.bottom(); ++y) {
            const QColor c = image_.pixelColor(x, y);
            if (c.saturation() > 80) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
        return std::pair { top, bottom };
    };
    const QRect presence = layout_.presencePanel();
    const auto high = lineRows(presence, 14.65);
    QVERIFY2(high.first <= presence.top() + presence.height() / 10,
        qPrintable(QStringLiteral("line at rows %1..%2 of %3..%4")
                       .arg(high.first)
                       .arg(high.second)
                       .arg(presence.top())
                       .arg(presence.bottom())));
    const auto low = lineRows(presence, 17.9);
    QVERIFY2(low.second >= presence.bottom() - presence.height() / 10,
        qPrintable(QStringLiteral("line at rows %1..%2 of %3..%4")
                       .arg(low.first)
                       .arg(low.second)
                       .arg(presence.top())
                       .arg(presence.bottom())));
    // The gain line lies above the middle of its panel (+9 dB) at the end of the quiet passage.
    const QRect agc = layout_.agcPanel();
    const auto lifted = lineRows(agc, 11.95);
    QVERIFY2(lifted.second < agc.center().y(),
        qPrintable(QStringLiteral("line at rows %1..%2 of %3..%4")
                       .arg(lifted.first)
                       .arg(lifted.second)
                       .arg(agc.top())
                       .arg(agc.bottom())));
}

void tst_BandviewPicture::bandLabelsSitInTheirRows()
{
    // Each label is right-aligned 6 px left of the heat map in its band's row: the leftmost ink
    // of the row's margin lies one label width before that, within the 2 px a glyph's side
    // bearing may add.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(10);
    const QFontMetrics metrics(font);
    const std::vector<float> centers = [] {
        media::MemoryFeed silence(std::vector<float>(8, 0.0f), media::kDemoRateHz);
        return bandview::Analysis(silence).bandCentersHz();
    }();
    const int right = layout_.heatMap().left() - 6;
    for (int k = 0; k < dsp::kDefaultBands; ++k) {
        const QString label = bandview::bandLabel(centers[std::size_t(k)]);
        const QRect row = layout_.bandRow(k);
        int inkLeft = right;
        for (int y = row.top(); y <= row.bottom(); ++y) {
            // Right of the rotated axis title.
            for (int x = 24; x < right; ++x) {
                if (qGray(image_.pixel(x, y)) < 128) {
                    inkLeft = std::min(inkLeft, x);
                    break;
                }
            }
        }
        const int expected = right - metrics.horizontalAdvance(label);
        QVERIFY2(std::abs(inkLeft - expected) <= 2,
            qPrintable(QStringLiteral("band %1 ('%2'): ink from x %3, label from %4")
                           .arg(k)
                           .arg(label)
                           .arg(inkLeft)
                           .arg(expected)));
    }
}

void tst_BandviewPicture::notFiniteValuesDrawAsZero()
{
    // A NaN reaching a painter path once drew a triangle over the picture: every value that is not
    // finite must draw exactly as 0 does.
    const std::vector<float> centers(dsp::kDefaultBands, 1000.0f);
    bandview::PictureData broken(QStringLiteral("nan"), 48000, centers);
    bandview::PictureData zeros(QStringLiteral("nan"), 48000, centers);
    for (int i = 1; i <= 600; ++i) {
        bandview::TimedFrame f { i / 60.0, {}, {} };
        f.frame.bandCount = dsp::kDefaultBands;
        f.frame.rmsDb = -20.0f;
        f.frame.presence = 0.5f;
        for (int k = 0; k < dsp::kDefaultBands; ++k)
            f.frame.bars[k] = f.frame.peaks[k] = 0.5f;
        bandview::TimedFrame z = f;
        if (i % 7 == 0) {
            f.frame.rmsDb = std::nanf("");
            f.frame.agcDb = INFINITY;
            f.frame.presence = -INFINITY;
            f.frame.bars[3] = f.frame.peaks[3] = std::nanf("");
            z.frame.rmsDb = z.frame.agcDb = z.frame.presence = 0.0f;
            z.frame.bars[3] = z.frame.peaks[3] = 0.0f;
        }
        broken.add(f);
        zeros.add(z);
    }
    QVERIFY(bandview::renderPicture(broken) == bandview::renderPicture(zeros));
}

void tst_BandviewPicture::titleFitsTheSmallestPicture()
{
    // At the smallest size a long file name is shortened, and the facts after it stay whole.
    bandview::PictureData data(
        QStringLiteral("a rather long name for a recording of something.flac"), 48000,
        std::vector<float>(dsp::kDefaultBands, 1000.0f));
    for (int i = 1; i <= 120; ++i) {
        bandview::TimedFrame f { i / 60.0, {}, {} };
        f.frame.bandCount = dsp::kDefaultBands;
        data.add(f);
    }
    for (int width : { 400, 1356 }) {
        const bandview::PictureTitle title = bandview::fitTitle(data, width);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(title.fontPx);
        font.setBold(true);
        const int advance = QFontMetrics(font).horizontalAdvance(title.text);
        QVERIFY2(advance <= width - 16 && title.text.endsWith(QLatin1String("120 frames"))
                && title.text.contains(QLatin1String(".flac")),
            qPrintable(QStringLiteral("%1 px: '%2', %3 px at %4 px")
                           .arg(width)
                           .arg(title.text)
                           .arg(advance)
                           .arg(title.fontPx)));
    }
}

void tst_BandviewPicture::longRunKeepsItsColumns()
{
    // An hour of frames: the columns merge six times, their number stays, and each still spans
    // its time.
    bandview::PictureData data(QStringLiteral("long"), 48000, std::vector<float>(2, 100.0f));
    constexpr int kFrames = 3600 * 60;
    bandview::TimedFrame f { 0.0, {}, {} };
    f.frame.bandCount = 2;
    for (int i = 1; i <= kFrames; ++i) {
        f.timeSec = i / 60.0;
        // The first band lit during the second half only.
        f.frame.bars[0] = i > kFrames / 2 ? 1.0f : 0.0f;
        // The second band rises steadily: a column's mean bar tells its mean time.
        f.frame.bars[1] = static_cast<float>(i) / kFrames;
        // A beat every half second, which no merge may lose.
        f.beat.onset = i % 30 == 0;
        data.add(f);
    }
    QCOMPARE(static_cast<int>(data.columns().size()), bandview::kPictureColumns);
    QCOMPARE(data.frameCount(), std::int64_t(kFrames));
    double frames = 0.0;
    int onsets = 0;
    for (std::size_t i = 0; i < data.columns().size(); ++i) {
        const auto& c = data.columns()[i];
        frames += c.frames;
        onsets += c.onsets;
        if (c.frames > 0) {
            const double mid = c.timeSum / c.frames;
            // The picture draws column i at its place: its frames must lie in its span of time.
            QVERIFY2(mid >= double(i) * data.columnSec() && mid <= double(i + 1) * data.columnSec(),
                qPrintable(QStringLiteral("column %1 at %2 s").arg(i).arg(mid)));
            const double ramp = c.barSum[1] / c.frames;
            QVERIFY2(std::abs(ramp - mid / 3600.0) < 5e-5,
                qPrintable(QStringLiteral("column %1 at %2 s: ramp %3").arg(i).arg(mid).arg(ramp)));
            const float expected = mid > 1800 + data.columnSec() ? 1.0f
                : mid < 1800 - data.columnSec()                  ? 0.0f
                                                                 : c.barSum[0] / c.frames;
            QVERIFY2(c.barSum[0] / c.frames == expected,
                qPrintable(QStringLiteral("column at %1 s: mean bar %2")
                               .arg(mid)
                               .arg(c.barSum[0] / c.frames)));
        }
    }
    QCOMPARE(frames, double(kFrames));
    QCOMPARE(onsets, kFrames / 30);
    QVERIFY2(data.columnSec() * bandview::kPictureColumns >= 3600.0,
        qPrintable(QString::number(data.columnSec())));
}

void tst_BandviewPicture::beatsTickAboveTheHeatMap()
{
    // The demo's drums (4 to 8 s, 120 BPM with eighth-note hats) tick on their hits; the soft
    // chord that holds from 8 s on ticks once at most, where it starts.
    const int row = layout_.heatMap().top() - 2;
    auto ticks = [&](double from, double to) {
        int count = 0;
        for (int x = layout_.columnAt(from); x < layout_.columnAt(to); ++x) {
            const QRgb c = image_.pixel(layout_.heatMap().left() + x, row);
            count += qRed(c) > 150 && qGreen(c) < 100 ? 1 : 0;
        }
        return count;
    };
    const int drums = ticks(4.0, 8.0);
    const int chord = ticks(8.2, 12.0);
    QVERIFY2(drums >= 8 && chord == 0,
        qPrintable(
            QStringLiteral("%1 ticks over the drums, %2 over the chord").arg(drums).arg(chord)));
}

int main(int argc, char** argv)
{
    // The picture's text needs fonts, which need a GUI application; offscreen needs no display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    tst_BandviewPicture test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bandviewpicture.moc"
