// bandview's run loop: hops of 1/60 s at every sample rate, frame times, the mono mix of a sound
// file and the data rows.

#include "analysis.h"
#include "bandviewfiles.h"
#include "csv.h"
#include "media/feed.h"
#include "picture.h"
#include "raw.h"
#include "terminal.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <pty.h>
#include <unistd.h>
#include <vector>

using bandview::Analysis;
using bandview::HopClock;

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::vector<float> sine(double hz, double amplitude, int rate, double seconds)
{
    std::vector<float> s(static_cast<std::size_t>(std::llround(rate * seconds)));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i]
            = static_cast<float>(amplitude * std::sin(kTwoPi * hz * static_cast<double>(i) / rate));
    return s;
}

} // namespace

class tst_BandviewRun : public QObject {
    Q_OBJECT

private slots:
    void hopClockKeepsSixtyHopsPerSecond_data();
    void hopClockKeepsSixtyHopsPerSecond();
    void framesComeSixtyPerSecondOfAudio_data();
    void framesComeSixtyPerSecondOfAudio();
    void soundFileGivesItsMixAndItsChannels();
    void csvRowsReadBackExactly();
    void csvNeverSaysNan();
    void stereoOutputsCarryBothSides();
    void tempoLightsOnABeat_data();
    void tempoLightsOnABeat();
    void liveViewDrawsBarsAndPeaks_data();
    void liveViewDrawsBarsAndPeaks();
    void layoutsPlaceEachBand_data();
    void layoutsPlaceEachBand();
    void longNoteIsShownWhole();
    void tinyTerminalGetsANotice();
    void screenUpdateSendsOnlyChanges_data();
    void screenUpdateSendsOnlyChanges();
    void progressBarOnlyOnATerminal();
    void liveViewTitleCannotSteerTheTerminal();
    void clockReadsHoursPastAnHour_data();
    void clockReadsHoursPastAnHour();
};

void tst_BandviewRun::hopClockKeepsSixtyHopsPerSecond_data()
{
    QTest::addColumn<int>("rate");
    for (int rate :
        { 8000, 11025, 16000, 22050, 32000, 44100, 47999, 48000, 88200, 96000, 176400, 192000 })
        QTest::newRow(qPrintable(QStringLiteral("%1 Hz").arg(rate))) << rate;
}

void tst_BandviewRun::hopClockKeepsSixtyHopsPerSecond()
{
    QFETCH(int, rate);
    HopClock clock(rate);
    const int low = rate / 60;
    const int high = (rate + 59) / 60;
    QCOMPARE(clock.largestHop(), high);
    long long total = 0;
    for (int second = 1; second <= 10; ++second) {
        for (int i = 0; i < 60; ++i) {
            const int hop = clock.next();
            QVERIFY2(hop == low || hop == high,
                qPrintable(QStringLiteral("hop %1 of %2 samples").arg(i).arg(hop)));
            total += hop;
        }
        QVERIFY2(total == static_cast<long long>(rate) * second,
            qPrintable(QStringLiteral("%1 samples after %2 s").arg(total).arg(second)));
    }
}

void tst_BandviewRun::framesComeSixtyPerSecondOfAudio_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("fftSize");
    QTest::newRow("8 kHz") << 8000 << 1024;
    QTest::newRow("22.05 kHz") << 22050 << 2048;
    QTest::newRow("44.1 kHz") << 44100 << 4096;
    QTest::newRow("96 kHz") << 96000 << 8192;
}

void tst_BandviewRun::framesComeSixtyPerSecondOfAudio()
{
    QFETCH(int, rate);
    QFETCH(int, fftSize);
    constexpr int kSeconds = 3;
    media::MemoryFeed source(sine(1000.0, 0.3, rate, kSeconds), rate);
    Analysis analysis(source);
    int hops = 0;
    std::vector<bandview::TimedFrame> frames;
    for (Analysis::Step step; (step = analysis.advance()) != Analysis::Step::End; ++hops) {
        if (step == Analysis::Step::Frame)
            frames.push_back(analysis.frame());
    }
    QCOMPARE(analysis.analyzer().fftSize(), fftSize);
    QCOMPARE(hops, kSeconds * 60);
    // The first frame comes with the hop that completes the first analysis window.
    int firstFrameHop = 0;
    while (static_cast<long long>(rate) * firstFrameHop / 60 < fftSize)
        ++firstFrameHop;
    QCOMPARE(static_cast<int>(frames.size()), hops - firstFrameHop + 1);
    QCOMPARE(frames.back().timeSec, static_cast<double>(kSeconds));
    for (std::size_t i = 60; i < frames.size(); ++i) {
        // Exact in samples: 60 hops always hold one second.
        const long long samples
            = std::llround(frames[i].timeSec * rate) - std::llround(frames[i - 60].timeSec * rate);
        QVERIFY2(samples == rate,
            qPrintable(QStringLiteral("frame %1 at %2 s, 60 frames before at %3 s")
                           .arg(i)
                           .arg(frames[i].timeSec)
                           .arg(frames[i - 60].timeSec)));
        QCOMPARE(frames[i].frame.seq, frames[i - 1].frame.seq + 1);
    }
}

void tst_BandviewRun::soundFileGivesItsMixAndItsChannels()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("three.wav"));
    const std::vector<float> a = sine(300.0, 0.5, 32000, 0.5);
    const std::vector<float> b = sine(2000.0, -0.25, 32000, 0.5);
    const std::vector<float> c(a.size(), 0.125f);
    QVERIFY(writeSoundFile(path, { a, b, c }, 32000, SF_FORMAT_WAV | SF_FORMAT_FLOAT));

    std::string reason;
    auto source = media::openFeed(QFile::encodeName(path).toStdString(), &reason);
    QVERIFY2(source, reason.c_str());
    QCOMPARE(source->sampleRate(), 32000);
    QCOMPARE(source->channels(), 3);
    QCOMPARE(source->expectedSamples(), static_cast<std::int64_t>(a.size()));
    // Odd block sizes cross the decoder's own buffering.
    std::vector<float> mono;
    std::vector<float> own;
    std::vector<float> block(777);
    std::vector<float> channels(block.size() * 3);
    int got = 0;
    while (
        (got = source->read(block.data(), static_cast<int>(block.size()), channels.data())) > 0) {
        mono.insert(mono.end(), block.begin(), block.begin() + got);
        own.insert(own.end(), channels.begin(), channels.begin() + 3 * got);
    }
    QCOMPARE(got, 0);
    QCOMPARE(mono.size(), a.size());
    QCOMPARE(own.size(), 3 * a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        // Beside the mix, each channel as it is.
        const float in[] = { a[i], b[i], c[i] };
        for (std::size_t k = 0; k < 3; ++k)
            QVERIFY2(own[3 * i + k] == in[k],
                qPrintable(QStringLiteral("sample %1, channel %2: %3, expected %4")
                               .arg(i)
                               .arg(k)
                               .arg(own[3 * i + k])
                               .arg(in[k])));
        // The channels are summed in double precision and rounded once.
        const float expected = static_cast<float>(
            (static_cast<double>(a[i]) + static_cast<double>(b[i]) + static_cast<double>(c[i]))
            / 3.0);
        QVERIFY2(mono[i] == expected,
            qPrintable(
                QStringLiteral("sample %1: %2, expected %3").arg(i).arg(mono[i]).arg(expected)));
    }
}

void tst_BandviewRun::csvRowsReadBackExactly()
{
    bandview::TimedFrame f { 7.0 / 3.0, {}, {} };
    f.frame.seq = 4294967295u;
    f.frame.bandCount = 3;
    f.frame.rmsDb = -120.0f;
    f.frame.agcDb = 1.0f / 3.0f;
    f.frame.presence = 0.1f;
    const float bars[3] = { 0.0f, 1.0e-7f, 0.99999994f };
    const float peaks[3] = { 1.0f, 0.5f, 0.33333334f };
    std::copy(bars, bars + 3, f.frame.bars);
    std::copy(peaks, peaks + 3, f.frame.peaks);
    f.beat.onset = true;
    f.beat.bpm = 128.37f;

    const QList<QByteArray> header = bandview::csvHeader(3).trimmed().split(',');
    QCOMPARE(header.join(','),
        QByteArray("seq,timeSec,rmsDb,agcDb,presence,bar0,bar1,bar2,peak0,peak1,peak2,onset,bpm"));
    const QByteArray row = bandview::csvRow(f);
    QVERIFY(row.endsWith('\n'));
    const QList<QByteArray> cells = row.trimmed().split(',');
    QCOMPARE(cells.size(), header.size());
    QCOMPARE(cells[0].toUInt(), f.frame.seq);
    QCOMPARE(cells[1].toDouble(), f.timeSec);
    const float expected[] = { f.frame.rmsDb, f.frame.agcDb, f.frame.presence, bars[0], bars[1],
        bars[2], peaks[0], peaks[1], peaks[2] };
    for (int i = 0; i < 9; ++i) {
        QVERIFY2(cells[i + 2].toFloat() == expected[i],
            qPrintable(QStringLiteral("column %1: '%2' for %3")
                           .arg(i + 2)
                           .arg(cells[i + 2])
                           .arg(expected[i], 0, 'g', 9)));
    }
    QCOMPARE(cells[11], QByteArray("1"));
    QCOMPARE(cells[12].toFloat(), f.beat.bpm);
}

void tst_BandviewRun::csvNeverSaysNan()
{
    bandview::TimedFrame f { 1.0, {}, {} };
    f.frame.bandCount = 2;
    f.frame.rmsDb = std::nanf("");
    f.frame.agcDb = -INFINITY;
    f.frame.presence = INFINITY;
    f.frame.bars[0] = std::nanf("");
    const QByteArray row = bandview::csvRow(f).toLower();
    QVERIFY2(!row.contains("nan") && !row.contains("inf"), row.constData());
    const QList<QByteArray> cells = row.trimmed().split(',');
    QCOMPARE(cells[2], QByteArray("0"));
    QCOMPARE(static_cast<float>(cells[3].toDouble()), std::numeric_limits<float>::lowest());
    QCOMPARE(cells[5], QByteArray("0"));
}

void tst_BandviewRun::stereoOutputsCarryBothSides()
{
    bandview::TimedFrame f;
    f.frame.bandCount = f.right.bandCount = dsp::kDefaultBands;
    f.frame.bars[5] = 0.25f;
    f.right.bars[5] = 0.75f;
    f.right.rmsDb = -3.0f;
    f.beat.onset = true;
    f.beat.bpm = 99.6f;
    const QList<QByteArray> header
        = bandview::csvHeader(dsp::kDefaultBands, true).trimmed().split(',');
    const QList<QByteArray> row = bandview::csvRow(f, true).trimmed().split(',');
    // Both sides' columns, then the one beat of both.
    QCOMPARE(row.size(), 2 + 2 * (3 + 2 * dsp::kDefaultBands) + 2);
    QCOMPARE(header.size(), row.size());
    QCOMPARE(header.mid(row.size() - 2), (QList<QByteArray> { "onset", "bpm" }));
    QCOMPARE(row.mid(row.size() - 2), (QList<QByteArray> { "1", "99.6" }));
    QCOMPARE(row[header.indexOf("left.bar5")], QByteArray("0.25"));
    QCOMPARE(row[header.indexOf("right.bar5")], QByteArray("0.75"));
    QCOMPARE(row[header.indexOf("right.rmsDb")], QByteArray("-3"));
    // Raw: the left side's bands, then the right side's.
    QByteArray record;
    bandview::appendRawRecord(record, f.frame, bandview::RawFormat::Ascii, 1000, &f.right, &f.beat);
    const QList<QByteArray> fields = record.trimmed().split(';');
    QCOMPARE(fields.size(), 2 * dsp::kDefaultBands + 2);
    QCOMPARE(fields[5], QByteArray("250"));
    QCOMPARE(fields[dsp::kDefaultBands + 5], QByteArray("750"));
    QCOMPARE(fields.mid(2 * dsp::kDefaultBands), (QList<QByteArray> { "1", "100" }));
    // The picture: the left side above the right, band 0 at the top of each side when reversed.
    const std::vector<float> centers(dsp::kDefaultBands, 1000.0f);
    for (bool reverse : { false, true }) {
        bandview::PictureData picture("test", 48000, centers, {}, true, reverse);
        picture.add(f);
        const std::vector<float>& rows = picture.columns()[0].barSum;
        const int left = dsp::kDefaultBands + (reverse ? dsp::kDefaultBands - 1 - 5 : 5);
        const int right = reverse ? dsp::kDefaultBands - 1 - 5 : 5;
        QCOMPARE(rows.size(), std::size_t(2 * dsp::kDefaultBands));
        QVERIFY2(rows[std::size_t(left)] == 0.25f && rows[std::size_t(right)] == 0.75f,
            qPrintable(QStringLiteral("reverse %1: rows %2 and %3 hold %4 and %5")
                           .arg(reverse)
                           .arg(left)
                           .arg(right)
                           .arg(rows[std::size_t(left)])
                           .arg(rows[std::size_t(right)])));
    }
}

namespace {

// The cells of band k's first character column, bottom row first, over the bar rows.
QStringList barColumn(const bandview::ViewGrid& g, const bandview::ViewLayout& l, int k)
{
    QStringList cells;
    for (int row = l.barRows; row >= 1; --row)
        cells << QString::fromStdString(std::string(g.at(row, l.bandStart(k)).glyph()));
    return cells;
}

} // namespace

void tst_BandviewRun::layoutsPlaceEachBand_data()
{
    // Band 3 of one side at half height; which columns of bars light, and whether the bottom row
    // of the bars does.
    QTest::addColumn<int>("layout");
    QTest::addColumn<bool>("reverse");
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("litColumn");
    QTest::addColumn<bool>("bottomLit");
    const int bars = static_cast<int>(shell::Layout::Bars);
    const int stereo = static_cast<int>(shell::Layout::Stereo);
    QTest::newRow("bars") << bars << false << 0 << 3 << true;
    QTest::newRow("reversed: high bands first") << bars << true << 0 << 24 << true;
    QTest::newRow("mirror: from the middle row both ways")
        << static_cast<int>(shell::Layout::Mirror) << false << 0 << 3 << false;
    QTest::newRow("stereo, left: the left half") << stereo << false << 0 << 3 << true;
    QTest::newRow("stereo, right: the right half") << stereo << false << 1 << 31 << true;
    QTest::newRow("stereo reversed, right") << stereo << true << 1 << 52 << true;
}

void tst_BandviewRun::layoutsPlaceEachBand()
{
    QFETCH(int, layout);
    QFETCH(bool, reverse);
    QFETCH(int, side);
    QFETCH(int, litColumn);
    QFETCH(bool, bottomLit);
    dsp::SpectrumFrame frames[2] {};
    for (dsp::SpectrumFrame& f : frames)
        f.bandCount = dsp::kDefaultBands;
    frames[side].bars[3] = 0.5f;
    bandview::ViewText text;
    text.labels.assign(dsp::kDefaultBands, "1k");
    text.layout = static_cast<shell::Layout>(layout);
    text.reverse = reverse;
    bandview::ViewGrid grid;
    grid.reset(120, 40);
    bandview::composeView(grid, frames[0], text, &frames[1]);
    const int columns
        = text.layout == shell::Layout::Stereo ? 2 * dsp::kDefaultBands : dsp::kDefaultBands;
    const bandview::ViewLayout l = bandview::viewLayout(120, 40, columns);
    QList<int> lit;
    for (int k = 0; k < columns; ++k) {
        const QStringList cells = barColumn(grid, l, k);
        if (cells.join(QString()).trimmed().size() > 0)
            lit << k;
    }
    QCOMPARE(lit, QList<int> { litColumn });
    QCOMPARE(barColumn(grid, l, litColumn).first() != QLatin1String(" "), bottomLit);
}

void tst_BandviewRun::longNoteIsShownWhole()
{
    // A capture's state at 120 columns: too long to follow the levels on the status line.
    const std::string note = "capture: lost the sound server (connection refused), trying again "
                             "every 1.0 s; 3 reconnects so far";
    bandview::ViewText text;
    text.title = "test";
    text.labels.assign(dsp::kDefaultBands, "1k");
    text.note = note;
    dsp::SpectrumFrame frame {};
    frame.bandCount = dsp::kDefaultBands;
    bandview::ViewGrid grid;
    grid.reset(120, 40);
    bandview::composeView(grid, frame, text);
    QStringList rows;
    for (int r = 0; r < grid.rows; ++r) {
        std::string row;
        for (int c = 0; c < grid.columns; ++c)
            row += grid.at(r, c).glyph();
        rows << QString::fromStdString(row);
    }
    QVERIFY2(rows.join(QLatin1Char('\n')).contains(QString::fromStdString(note)),
        qPrintable(rows.mid(35).join(QLatin1Char('\n'))));
}

void tst_BandviewRun::tempoLightsOnABeat_data()
{
    QTest::addColumn<float>("bpm");
    QTest::addColumn<bool>("beat");
    QTest::addColumn<QString>("shown");
    QTest::newRow("unknown") << 0.0f << false << "  --- BPM";
    QTest::newRow("between beats") << 127.6f << false << "  128 BPM";
    QTest::newRow("on a beat") << 127.6f << true << "\u25cf 128 BPM";
}

void tst_BandviewRun::tempoLightsOnABeat()
{
    QFETCH(float, bpm);
    QFETCH(bool, beat);
    QFETCH(QString, shown);
    bandview::ViewText text;
    text.title = "a title long enough to reach the tempo's place on the row";
    text.labels.assign(dsp::kDefaultBands, "1k");
    text.bpm = bpm;
    text.beat = beat;
    dsp::SpectrumFrame frame {};
    frame.bandCount = dsp::kDefaultBands;
    bandview::ViewGrid grid;
    grid.reset(60, 20);
    bandview::composeView(grid, frame, text);
    std::string row;
    for (int c = 0; c < grid.columns; ++c)
        row += grid.at(0, c).glyph();
    // At the row's end, one column before the last, which stays empty.
    const QString got = QString::fromStdString(row);
    QVERIFY2(got.endsWith(shown + " "), qPrintable(got));
    const int marker = grid.columns - 2 - int(shown.size()) + 1;
    const bool lit = grid.at(0, marker).colour == bandview::kBeatColour && grid.at(0, marker).bold;
    QVERIFY2(lit == beat, qPrintable(QStringLiteral("colour %1").arg(grid.at(0, marker).colour)));
}

void tst_BandviewRun::liveViewDrawsBarsAndPeaks_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("barRows");
    // Every row but the five around the bars, three in a terminal under ten rows.
    QTest::newRow("120x40") << 120 << 40 << 35;
    QTest::newRow("80x24") << 80 << 24 << 19;
    QTest::newRow("smallest 30x5") << 30 << 5 << 2;
    QTest::newRow("tall 60x80") << 60 << 80 << 75;
    QTest::newRow("largest 300x100") << 300 << 100 << 95;
}

void tst_BandviewRun::liveViewDrawsBarsAndPeaks()
{
    QFETCH(int, columns);
    QFETCH(int, rows);
    QFETCH(int, barRows);
    const int bands = dsp::kDefaultBands;
    const bandview::ViewLayout l = bandview::viewLayout(columns, rows, bands);
    QVERIFY(l.fits);
    QCOMPARE(l.barRows, barRows);
    // The bands share the width: each as wide as the others or one wider, the last ending one
    // gap before the last column, which stays empty.
    for (int k = 0; k < bands; ++k) {
        const int width = l.bandStart(k + 1) - l.bandStart(k);
        QVERIFY2(width - l.columnChars == 0 || width - l.columnChars == 1,
            qPrintable(
                QStringLiteral("band %1: %2 columns, %3").arg(k).arg(width).arg(l.columnChars)));
    }
    QCOMPARE(l.bandStart(bands), columns - 1);

    dsp::SpectrumFrame frame {};
    frame.bandCount = bands;
    for (int k = 0; k < bands; ++k) {
        frame.bars[k] = static_cast<float>(k) / (bands - 1);
        frame.peaks[k] = std::min(1.0f, frame.bars[k] + 0.3f);
    }
    bandview::ViewText text;
    text.title = "test";
    for (int k = 0; k < bands; ++k)
        text.labels.push_back(std::to_string(k));
    bandview::ViewGrid grid;
    grid.reset(columns, rows);
    bandview::composeView(grid, frame, text);

    const QString eighths[]
        = { " ", "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588" };
    for (int k = 0; k < bands; ++k) {
        const QStringList cells = barColumn(grid, l, k);
        // The bar: full cells, then the eighths of the one above; the peak marker in the row
        // that holds the peak, when the bar does not cover it.
        const int height8 = static_cast<int>(frame.bars[k] * barRows * 8.0f);
        const int peakRow = std::min(barRows - 1, static_cast<int>(frame.peaks[k] * barRows));
        for (int r = 0; r < barRows; ++r) {
            QString expected = eighths[std::clamp(height8 - r * 8, 0, 8)];
            if (r == peakRow && height8 - r * 8 < 8 && frame.peaks[k] > 1.0f / (8.0f * barRows))
                expected = expected == QLatin1String(" ") ? QStringLiteral("\u2500") : expected;
            QVERIFY2(cells[r] == expected,
                qPrintable(QStringLiteral("band %1, row %2 from the bottom: '%3', expected '%4'")
                               .arg(k)
                               .arg(r)
                               .arg(cells[r], expected)));
        }
    }
    // The status line follows the labels, and the view never writes into the last column.
    const int status = 1 + barRows + l.labelRows;
    QVERIFY2(grid.at(status, 1).glyph() == "r",
        qPrintable(QStringLiteral("row %1 starts '%2'")
                       .arg(status)
                       .arg(QString::fromStdString(std::string(grid.at(status, 1).glyph())))));
    for (int r = 0; r < rows; ++r)
        QVERIFY2(
            grid.at(r, columns - 1).glyph() == " ", qPrintable(QStringLiteral("row %1").arg(r)));
}

void tst_BandviewRun::tinyTerminalGetsANotice()
{
    dsp::SpectrumFrame frame {};
    frame.bandCount = dsp::kDefaultBands;
    frame.bars[0] = 1.0f;
    bandview::ViewText text;
    text.labels.assign(dsp::kDefaultBands, "1");
    for (auto [columns, rows] :
        { std::pair { 29, 24 }, std::pair { 120, 4 }, std::pair { 20, 5 } }) {
        bandview::ViewGrid grid;
        grid.reset(columns, rows);
        bandview::composeView(grid, frame, text);
        QString first;
        for (int c = 0; c < columns; ++c)
            first += QString::fromStdString(std::string(grid.at(0, c).glyph()));
        QVERIFY2(first.contains(QStringLiteral("needs 30x5")),
            qPrintable(QStringLiteral("%1x%2: '%3'").arg(columns).arg(rows).arg(first)));
        for (int r = 1; r < rows; ++r) {
            for (int c = 0; c < columns; ++c)
                QVERIFY2(grid.at(r, c).glyph() == " ",
                    qPrintable(
                        QStringLiteral("%1x%2: cell %3,%4").arg(columns).arg(rows).arg(r).arg(c)));
        }
    }
}

void tst_BandviewRun::screenUpdateSendsOnlyChanges_data()
{
    // Cells of row 20 that change, as column, glyph, colour (-1: none) and dim; what goes out.
    QTest::addColumn<QList<int>>("columns");
    QTest::addColumn<QString>("glyphs");
    QTest::addColumn<QList<int>>("colours");
    QTest::addColumn<QList<bool>>("dims");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("nothing") << QList<int>() << QString() << QList<int>() << QList<bool>()
                             << QByteArray();
    // Moved to row 21, column 51 (counted from 1), in colour 41, the one cell.
    QTest::newRow("one cell") << QList<int> { 50 } << "x" << QList<int> { 41 }
                              << QList<bool> { false } << QByteArray("\x1b[21;51H\x1b[0;38;5;41mx");
    QTest::newRow("dim, then plain in the same colour")
        << QList<int> { 50, 51 } << "ab" << QList<int> { 41, 41 } << QList<bool> { true, false }
        << QByteArray("\x1b[21;51H\x1b[0;2;38;5;41ma\x1b[0;38;5;41mb");
    QTest::newRow("a blank gap written over")
        << QList<int> { 50, 53 } << "ab" << QList<int> { 41, 41 } << QList<bool> { false, false }
        << QByteArray("\x1b[21;51H\x1b[0;38;5;41ma  b");
    QTest::newRow("a wide gap moved over")
        << QList<int> { 50, 60 } << "ab" << QList<int> { 41, 41 } << QList<bool> { false, false }
        << QByteArray("\x1b[21;51H\x1b[0;38;5;41ma\x1b[9Cb");
}

void tst_BandviewRun::screenUpdateSendsOnlyChanges()
{
    QFETCH(QList<int>, columns);
    QFETCH(QString, glyphs);
    QFETCH(QList<int>, colours);
    QFETCH(QList<bool>, dims);
    QFETCH(QByteArray, expected);
    bandview::ViewGrid before;
    before.reset(120, 40);
    for (int c = 0; c < 100; ++c)
        before.at(10, c).setText("#");
    bandview::ViewGrid after = before;
    for (int i = 0; i < columns.size(); ++i) {
        bandview::Cell& cell = after.at(20, columns[i]);
        cell.setText(glyphs.mid(i, 1).toStdString());
        cell.colour = static_cast<std::int16_t>(colours[i]);
        cell.dim = dims[i];
    }
    const std::string update = bandview::screenUpdate(before, after, false);
    QVERIFY2(QByteArray::fromStdString(update) == expected,
        QByteArray::fromStdString(update).toPercentEncoding().constData());
    const std::string full = bandview::screenUpdate(before, after, true);
    QVERIFY2(full.rfind("\x1b[0m\x1b[H\x1b[2J", 0) == 0, full.c_str());
    QCOMPARE(static_cast<int>(std::count(full.begin(), full.end(), '#')), 100);
}

void tst_BandviewRun::progressBarOnlyOnATerminal()
{
    int master = -1;
    int slave = -1;
    QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
    int pipeEnds[2];
    QVERIFY(::pipe2(pipeEnds, O_NONBLOCK) == 0);
    {
        bandview::ProgressBar onTerminal(slave, 0.0);
        bandview::ProgressBar onPipe(pipeEnds[1], 0.0);
        onTerminal.update(30.0, 60.0);
        onPipe.update(30.0, 60.0);
    }
    char text[512] = {};
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    const ssize_t shown = ::read(master, text, sizeof(text) - 1);
    QVERIFY2(shown > 0 && QByteArray(text).contains("50%"), text);
    QCOMPARE(::read(pipeEnds[0], text, sizeof(text)), ssize_t(-1));
    for (int fd : { master, slave, pipeEnds[0], pipeEnds[1] })
        ::close(fd);
}

void tst_BandviewRun::liveViewTitleCannotSteerTheTerminal()
{
    int master = -1;
    int slave = -1;
    winsize size { 24, 80, 0, 0 };
    QVERIFY(::openpty(&master, &slave, nullptr, nullptr, &size) == 0);
    {
        bandview::LiveView view(slave, QStringLiteral("a\x1b]2;owned\x07.wav"),
            std::vector<float>(dsp::kDefaultBands, 1000.0f));
        view.draw(dsp::SpectrumFrame {}, dsp::SpectrumFrame {}, 0.0, 1.0, {}, 0.0f, false);
    }
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QByteArray shown;
    char text[4096];
    for (ssize_t n; (n = ::read(master, text, sizeof(text))) > 0;)
        shown.append(text, int(n));
    QVERIFY2(shown.contains("a\\x1B]2;owned\\x07.wav") && !shown.contains("\x1b]2;"),
        shown.toPercentEncoding().constData());
    ::close(master);
    ::close(slave);
}

void tst_BandviewRun::clockReadsHoursPastAnHour_data()
{
    QTest::addColumn<double>("sec");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0:00.0";
    QTest::newRow("under a minute") << 59.96 << "0:59.9";
    QTest::newRow("just under an hour") << 3599.95 << "59:59.9";
    QTest::newRow("an hour") << 3600.0 << "1:00:00.0";
    QTest::newRow("past an hour") << 3632.5 << "1:00:32.5";
    QTest::newRow("ten hours") << 36152.5 << "10:02:32.5";
    QTest::newRow("not a number") << double(NAN) << "0:00.0";
}

void tst_BandviewRun::clockReadsHoursPastAnHour()
{
    QFETCH(double, sec);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(bandview::clockText(sec)), text);
}

QTEST_APPLESS_MAIN(tst_BandviewRun)
#include "tst_bandviewrun.moc"
