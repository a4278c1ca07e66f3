// bandview --capture as a person runs it, against the private sound server of the pulse_server
// fixture: a 1 kHz tone played into its null sink lights band 15 in the rows that --csv - streams,
// the bars fall to 0 once nothing plays, a server killed and restarted mid-run is heard again and
// the run still ends cleanly, a FIFO's readers may come and go without losing sound, and a missing
// server is one line and status 2. With --delay the raw stream shows each frame that many ticks
// after the data rows. Both programs list the sources alike; a source that is absent is awaited
// in silence, said once, until the run's time limit or a stop signal ends it.

#include "emptyconfig.h"
#include "led/audiosync.h"
#include "pulseplay.h"
#include "udpreceiver.h"

#include "dsp/spectrumanalyzer.h"
#include "media/framedelay.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace pulseplay;

// The 1 kHz band at 48 kHz.
constexpr int kToneBand = 15;

struct Run {
    int status = -1;
    QList<QList<QByteArray>> rows;
    QByteArray err;
};

QProcess* startBandview(QProcess& p, const QStringList& args)
{
    p.start(QStringLiteral(BANDVIEW_EXE), args);
    p.waitForStarted(5000);
    return &p;
}

// What plays, captured for `seconds` with the bars written as CSV on standard output.
void captureToCsv(QProcess& p, int seconds)
{
    startBandview(p,
        { QStringLiteral("--capture"), QStringLiteral("--duration"), QString::number(seconds),
            QStringLiteral("--csv"), QStringLiteral("-") });
}

Run finish(QProcess& p)
{
    Run r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.err = p.readAllStandardError();
    const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
    // Skip the header.
    for (int i = 1; i < lines.size(); ++i) {
        if (!lines[i].isEmpty())
            r.rows.append(lines[i].split(','));
    }
    return r;
}

// Columns: seq, timeSec, rmsDb, agcDb, presence, then the bars.
float bar(const QList<QByteArray>& row, int k)
{
    return row[5 + k].toFloat();
}

int tallest(const QList<QByteArray>& row)
{
    int best = 0;
    for (int k = 1; k < dsp::kDefaultBands; ++k) {
        if (bar(row, k) > bar(row, best))
            best = k;
    }
    return best;
}

float loudest(const QList<QByteArray>& row)
{
    float m = 0.0f;
    for (int k = 0; k < dsp::kDefaultBands; ++k)
        m = std::max(m, bar(row, k));
    return m;
}

QByteArray describe(const Run& r)
{
    return "status " + QByteArray::number(r.status) + ", " + QByteArray::number(r.rows.size())
        + " rows, stderr: " + r.err;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

class tst_BandviewCapture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void toneLightsItsBandThenBarsFall();
    void hearsTheToneAgainAfterTheServerRestarts();
    void fifoReadersComeAndGoWithoutLoss();
    void rawStreamWaitsForTheDelay();
    void listsTheSources_data();
    void listsTheSources();
    void absentSourceIsAwaitedUntilTheEnd_data();
    void absentSourceIsAwaitedUntilTheEnd();
    void noServerIsOneLineAndStatus2();
    void ledsFollowTheCapture();
};

void tst_BandviewCapture::initTestCase()
{
    if (run({ "pactl", "info" }) == 0)
        return;
    if (ci())
        QFAIL("no private sound server (see the pulse_server_start test)");
    QSKIP("no private sound server (see the pulse_server_start test)");
}

void tst_BandviewCapture::toneLightsItsBandThenBarsFall()
{
    QProcess p;
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 3.0);
        sleepMs(300);
        captureToCsv(p, 6);
        sleepMs(2700);
    }
    const Run r = finish(p);
    QVERIFY2(r.status == 0 && r.rows.size() >= 300, describe(r));
    // A new capture stream on the null sink's monitor has been seen to take up to 2 s to deliver
    // its first samples; from the tone's first frame on, half a second of band 15 standing
    // tallest, above half height.
    int first = 0;
    while (first < r.rows.size() && bar(r.rows[first], kToneBand) <= 0.5f)
        ++first;
    QVERIFY2(first + 30 <= r.rows.size(), "the tone never showed");
    for (int i = first; i < first + 30; ++i)
        QVERIFY2(tallest(r.rows[i]) == kToneBand && bar(r.rows[i], kToneBand) > 0.5f,
            qPrintable(QStringLiteral("row %1: tallest band %2, band 15 at %3")
                           .arg(i)
                           .arg(tallest(r.rows[i]))
                           .arg(bar(r.rows[i], kToneBand))));
    // The tone stopped 3 s before the end: every bar is down. The bars fall exponentially;
    // below 1e-3 is less than a pixel on any display.
    QVERIFY2(loudest(r.rows.last()) < 1e-3f,
        qPrintable(QStringLiteral("tallest bar %1 at the end").arg(loudest(r.rows.last()))));
}

void tst_BandviewCapture::hearsTheToneAgainAfterTheServerRestarts()
{
    QProcess p;
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 3.0);
        sleepMs(500);
        captureToCsv(p, 7);
        sleepMs(1500);
        QVERIFY(pulseServer("kill"));
    }
    sleepMs(1500);
    QVERIFY(pulseServer("start"));
    Tone again("vis_null", 1000.0, 0.5f, 0.5f, 5.0);
    const Run r = finish(p);
    QVERIFY2(r.status == 0 && r.rows.size() >= 400, describe(r));
    QVERIFY2(r.err.contains("went away") && r.err.contains("again"), describe(r));
    // While the server is gone the bars fall; after its return the tone is back.
    float lowest = 1.0f;
    for (const QList<QByteArray>& row : r.rows)
        lowest = std::min(lowest, bar(row, kToneBand));
    QVERIFY2(lowest < 0.01f, qPrintable(QStringLiteral("band 15 never fell: %1").arg(lowest)));
    const QList<QByteArray>& last = r.rows.last();
    QVERIFY2(tallest(last) == kToneBand && bar(last, kToneBand) > 0.5f,
        qPrintable(QStringLiteral("after the restart: tallest band %1, band 15 at %2")
                       .arg(tallest(last))
                       .arg(bar(last, kToneBand))));
}

void tst_BandviewCapture::fifoReadersComeAndGoWithoutLoss()
{
    // While a tone plays, the first reader comes 1.5 s after the start and leaves after a few
    // lines; the next comes a second later. Each wait is longer than the capture's ring holds.
    Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 7.0);
    sleepMs(500);
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("bands"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QProcess p;
    startBandview(p,
        { QStringLiteral("--capture"), QStringLiteral("--duration"), QStringLiteral("3"),
            QStringLiteral("--raw"), fifo });
    QProcess readers;
    readers.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("sleep 1.5; head -n 3 \"$0\" | wc -l; sleep 1; wc -l <\"$0\""), fifo });
    QVERIFY(readers.waitForFinished(30000));
    const QList<QByteArray> lines = readers.readAllStandardOutput().split('\n');
    const Run r = finish(p);
    QVERIFY2(r.status == 0 && r.err.contains(", 0 samples dropped,"), describe(r));
    // What is left of the 3 s once the second reader came, at 60 lines a second.
    QVERIFY2(lines.value(0).toInt() == 3 && lines.value(1).toInt() >= 60,
        "the readers got " + lines.join(' '));
}

// The programs that capture: bandview, and the visualiser where it is built.
void tst_BandviewCapture::rawStreamWaitsForTheDelay()
{
    // The delay is a queue of frames, one per 1/60 s tick of the live clock: record i of the raw
    // stream holds the bars of data row i - ticks, the first ticks records silent. Compared frame
    // by frame, not by the wall clock, so a loaded machine that writes a record late cannot move
    // it. The tone, playing before the capture starts, makes the bars rise when its first samples
    // arrive, so that a shift by any other number of ticks shows.
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("rows.csv"));
    QProcess p;
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 6.0);
        sleepMs(300);
        startBandview(p,
            { QStringLiteral("--capture"), QStringLiteral("--duration"), QStringLiteral("5"),
                QStringLiteral("--delay"), QStringLiteral("500"), QStringLiteral("--csv"), csv,
                QStringLiteral("--raw"), QStringLiteral("-") });
        QVERIFY(p.waitForFinished(30000));
    }
    const QByteArray err = p.readAllStandardError();
    QList<QByteArray> records = p.readAllStandardOutput().split('\n');
    records.removeLast();
    QFile file(csv);
    QVERIFY2(p.exitCode() == 0 && file.open(QIODevice::ReadOnly), err.constData());
    QList<QByteArray> rows = file.readAll().split('\n');
    rows.removeFirst();
    rows.removeLast();
    // The delay in use: --delay and whatever latency the output reports.
    const QRegularExpressionMatch said
        = QRegularExpression(QStringLiteral("delay (\\d+) ms")).match(QString::fromLocal8Bit(err));
    QVERIFY2(said.hasMatch() && said.captured(1).toInt() >= 500, err.constData());
    const int ticks = media::delayTicks(said.captured(1).toInt());
    QVERIFY2(records.size() == rows.size() && rows.size() >= 240,
        qPrintable(QStringLiteral("%1 records, %2 rows").arg(records.size()).arg(rows.size())));
    int toneRow = -1;
    for (int i = 0; i < rows.size(); ++i) {
        const QList<QByteArray> row = rows[i].split(',');
        const QList<QByteArray> record = records[i].split(';');
        const QList<QByteArray> due = i >= ticks ? rows[i - ticks].split(',') : QList<QByteArray>();
        if (toneRow < 0 && bar(row, kToneBand) > 0.5f)
            toneRow = i;
        for (int k = 0; k < dsp::kDefaultBands; ++k) {
            const long expected = due.isEmpty() ? 0 : std::lround(double(bar(due, k)) * 1000.0);
            QVERIFY2(record.size() == dsp::kDefaultBands && record[k].toLong() == expected,
                qPrintable(QStringLiteral("record %1 band %2: %3, expected %4 (row %5's)")
                               .arg(i)
                               .arg(k)
                               .arg(QString::fromLatin1(record.value(k)))
                               .arg(expected)
                               .arg(i - ticks)));
        }
    }
    QVERIFY2(toneRow >= 0 && toneRow + ticks < rows.size(),
        qPrintable(
            QStringLiteral("the tone showed in row %1 of %2").arg(toneRow).arg(rows.size())));
}

void programRows()
{
    QTest::addColumn<QString>("exe");
    QTest::newRow("bandview") << QStringLiteral(BANDVIEW_EXE);
#ifdef VISUALISER_EXE
    QTest::newRow("visualiser") << QStringLiteral(VISUALISER_EXE);
#endif
}

void tst_BandviewCapture::listsTheSources_data()
{
    programRows();
}

void tst_BandviewCapture::listsTheSources()
{
    QFETCH(QString, exe);
    QProcess p;
    p.start(exe, { QStringLiteral("--list-sources") });
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
    const auto monitor = std::find_if(lines.begin(), lines.end(),
        [](const QByteArray& l) { return l.startsWith("vis_null.monitor "); });
    QVERIFY2(monitor != lines.end(), lines.join('\n').constData());
    const QList<QByteArray> fields = monitor->simplified().split(' ');
    // source, rate, channels, marks, description.
    QCOMPARE(fields.value(1), QByteArray("48000"));
    QCOMPARE(fields.value(2), QByteArray("2"));
    QCOMPARE(fields.value(3), QByteArray("default"));
    QCOMPARE(fields.value(4), QByteArray("monitor"));
    // The null sink is the default output: its monitor is what a plain --capture takes.
    QCOMPARE(fields.value(5), QByteArray("capture"));
}

void tst_BandviewCapture::absentSourceIsAwaitedUntilTheEnd_data()
{
    // After a second, a stop signal or none; the run's time limit; how it ends.
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("status");
    QTest::newRow("time limit") << 0 << 2 << 0;
    QTest::newRow("SIGINT") << SIGINT << 30 << 128 + SIGINT;
}

void tst_BandviewCapture::absentSourceIsAwaitedUntilTheEnd()
{
    QFETCH(int, signal);
    QFETCH(int, seconds);
    QFETCH(int, status);
    // What plays meanwhile is not what was asked for: it must not show.
    Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 3.0);
    QProcess p;
    startBandview(p,
        { QStringLiteral("--capture=vis_absent"), QStringLiteral("--duration"),
            QString::number(seconds), QStringLiteral("--csv"), QStringLiteral("-") });
    if (signal != 0) {
        sleepMs(1000);
        ::kill(static_cast<pid_t>(p.processId()), signal);
    }
    const Run r = finish(p);
    const QByteArray waiting = "bandview: capture: source 'vis_absent' is absent; waiting for it; "
                               "the bars rest until it appears\n";
    QVERIFY2(r.status == status && r.err.startsWith(waiting) && r.err.count(waiting) == 1
            && !r.rows.isEmpty(),
        describe(r));
    for (int i = 0; i < r.rows.size(); ++i)
        QVERIFY2(loudest(r.rows[i]) == 0.0f,
            qPrintable(QStringLiteral("row %1: a bar at %2").arg(i).arg(loudest(r.rows[i]))));
}

void tst_BandviewCapture::noServerIsOneLineAndStatus2()
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent/native"));
    p.setProcessEnvironment(env);
    startBandview(p, { QStringLiteral("--capture"), QStringLiteral("--csv"), QStringLiteral("-") });
    const Run r = finish(p);
    QCOMPARE(r.status, 2);
    QVERIFY2(r.rows.isEmpty(), describe(r));
    QVERIFY2(r.err.count('\n') == 1 && r.err.contains("no sound server")
            && r.err.contains("PULSE_SERVER"),
        r.err.constData());
}

// --wled with a capture, its main use: the packets on 127.0.0.1 light the tone's channel while it
// plays.
void tst_BandviewCapture::ledsFollowTheCapture()
{
    UdpReceiver receiver("127.0.0.1", 0);
    QVERIFY(receiver.ok());
    QProcess p;
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 4.0);
        sleepMs(300);
        startBandview(p,
            { QStringLiteral("--capture"), QStringLiteral("--duration"), QStringLiteral("3"),
                QStringLiteral("--wled=127.0.0.1:%1").arg(receiver.port()) });
        QVERIFY(p.waitForFinished(30000));
    }
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    int packets = 0;
    int lit = 0;
    Datagram d;
    while (receiver.receive(&d, 200)) {
        ++packets;
        const auto channels = d.bytes.begin() + led::kChannelsAt;
        const auto top = std::max_element(channels, channels + led::kChannels);
        // The channel of 818 to 1120 Hz.
        lit += top - channels == 7 && *top > 128;
    }
    // Three seconds at up to 50 a second; a new stream may take up to 2 s to deliver (above),
    // and the tone then shows in at least half a second's packets.
    QVERIFY2(packets >= 60 && lit >= 25,
        qPrintable(
            QStringLiteral("%1 packets, %2 with the tone's channel lit").arg(packets).arg(lit)));
}

QTEST_GUILESS_MAIN(tst_BandviewCapture)
#include "tst_bandviewcapture.moc"
