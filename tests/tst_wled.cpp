// bandview --wled and the visualiser's as a person runs them: a file's packets received on
// 127.0.0.1, the command line's refusals, the visualiser's window on a virtual display, and, in a
// network namespace of the test's own with only its loopback device up, the default multicast group
// and time-to-live, a name that does not resolve and a network that comes back. No packet leaves
// the machine: outside a namespace every run names 127.0.0.1.
#include "led/audiosync.h"
#include "led/channelmap.h"
#include "led/sender.h"
#include "runprogram.h"
#include "tonefile.h"
#include "udpreceiver.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int kRateHz = 48000;
constexpr double kToneHz = 1000.0;
// The channel whose range holds 1 kHz (818 to 1120 Hz).
constexpr int kToneChannel = 7;
constexpr double kToneSec = 1.5;
constexpr double kSilentSec = 0.3;

float floatAt(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i)
        bits |= std::uint32_t(bytes[at + i]) << (8 * i);
    float f = 0.0f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

// The reserved bytes are zero and the header is "00002" with its zero.
QString layoutProblem(const std::vector<std::uint8_t>& p)
{
    if (p.size() != led::kPacketBytes)
        return QStringLiteral("%1 bytes").arg(p.size());
    if (std::memcmp(p.data(), "00002", 6) != 0)
        return QStringLiteral("header");
    for (std::size_t at : { 6, 7, 17, 34, 35 }) {
        if (p[at] != 0)
            return QStringLiteral("reserved byte %1 is %2").arg(at).arg(p[at]);
    }
    return {};
}

// How unshare makes a network namespace here: as root by itself, else inside a user namespace
// that maps the user to root there; empty where neither works (then *why says why).
QStringList namespaceArgs(QString* why)
{
    for (const QStringList& args : { QStringList { QStringLiteral("--net") },
             QStringList { QStringLiteral("--net"), QStringLiteral("--map-root-user") } }) {
        const Run r = runProgram(QStringLiteral("unshare"),
            args
                + QStringList { QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"),
                    QStringLiteral("lo"), QStringLiteral("up") });
        if (r.status == 0)
            return args;
        *why = QStringLiteral("no network namespace here (unshare --net, ip): ")
            + QString::fromLocal8Bit(r.err.trimmed());
    }
    return {};
}

// Runs script with sh in a namespace of its own (made with args) whose loopback is up; $1 is
// wledlisten, $2 bandview, $3 the tone file, $4 a folder for what they write.
Run inNamespace(
    const QStringList& args, const QString& script, const QString& tone, const QString& folder)
{
    const QString up = QStringLiteral("ip link set lo up || exit 90\n");
    return runProgram(QStringLiteral("unshare"),
        args
            + QStringList { QStringLiteral("sh"), QStringLiteral("-c"), up + script,
                QStringLiteral("sh"), QStringLiteral(WLEDLISTEN_EXE), QStringLiteral(BANDVIEW_EXE),
                tone, folder });
}

// The listener's lines: "ttl=N bytes=N HEX".
struct Heard {
    int ttl;
    std::vector<std::uint8_t> bytes;
};
std::vector<Heard> heard(const QString& path)
{
    QFile f(path);
    std::vector<Heard> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 3 || !parts[0].startsWith("ttl="))
            continue;
        const QByteArray bytes = QByteArray::fromHex(parts[2]);
        out.push_back(
            { parts[0].mid(4).toInt(), std::vector<std::uint8_t>(bytes.begin(), bytes.end()) });
    }
    return out;
}

// The script's start: the listener on the group, waited for until it listens.
const QString kListen = QStringLiteral("\"$1\" 239.0.0.1 11988 2 > \"$4/heard\" &\n"
                                       "for i in $(seq 100); do grep -q ready \"$4/heard\" && "
                                       "break; sleep 0.05; done\n");

QStringList lines(const QByteArray& err)
{
    return QString::fromLocal8Bit(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestWled : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        tone_ = dir_.filePath(QStringLiteral("tone.wav"));
        // After a moment of silence, so that the tone's start is an onset.
        QVERIFY(writeTone(tone_, kRateHz, kToneSec, kToneHz, 16000, 0.0, 1, kSilentSec));
    }

    // A file's packets on 127.0.0.1: laid out right, the tone's onset once, in its channel and
    // peak, spaced by at least 20 ms, counted in the closing line, the run paced to the music.
    void sendsAFilesPacketsToLoopback()
    {
        UdpReceiver receiver("127.0.0.1", 0);
        QVERIFY(receiver.ok());
        const QString target = QStringLiteral("--wled=127.0.0.1:%1").arg(receiver.port());
        QElapsedTimer wall;
        wall.start();
        const Run r = runProgram(
            QStringLiteral(BANDVIEW_EXE), { QStringLiteral("--no-live"), target, tone_ });
        const qint64 wallMs = wall.elapsed();
        QVERIFY2(r.status == 0, r.err.constData());
        // Paced as --realtime paces it: no sooner than the music's length.
        QVERIFY2(wallMs >= kToneSec * 1000 - 50, qPrintable(QString::number(wallMs)));
        std::vector<Datagram> got;
        Datagram d;
        while (receiver.receive(&d, 200))
            got.push_back(d);
        QVERIFY2(r.err.contains(QStringLiteral("; %1 LED packets to 127.0.0.1:%2")
                                    .arg(got.size())
                                    .arg(receiver.port())
                                    .toUtf8()),
            r.err.constData());
        QVERIFY2(got.size() >= 30, qPrintable(QString::number(got.size())));
        for (std::size_t i = 0; i < got.size(); ++i) {
            const QString problem = layoutProblem(got[i].bytes);
            QVERIFY2(
                problem.isEmpty(), qPrintable(QStringLiteral("packet %1: %2").arg(i).arg(problem)));
            // As tst_ledoutput: the kernel's stamps, slewed by at most 500 ppm.
            if (i > 0)
                QVERIFY2(
                    (got[i].stampSec - got[i - 1].stampSec) * 1000 >= led::kMinIntervalMs - 0.05,
                    qPrintable(QStringLiteral("packets %1 and %2 too close").arg(i - 1).arg(i)));
        }
        // The tone's start is its one onset: one packet marks a peak, the steady tone no more.
        const auto peaks = std::count_if(got.begin(), got.end(),
            [](const Datagram& p) { return p.bytes[led::kSamplePeakAt] == 1; });
        QVERIFY2(peaks == 1, qPrintable(QStringLiteral("%1 packets mark a peak").arg(peaks)));
        const std::vector<std::uint8_t>& last = got.back().bytes;
        const auto channels = last.begin() + led::kChannelsAt;
        const auto top = std::max_element(channels, channels + led::kChannels) - channels;
        QCOMPARE(int(top), kToneChannel);
        QVERIFY2(std::abs(floatAt(last, led::kMajorPeakAt) - kToneHz) < 6.0,
            qPrintable(QString::number(double(floatAt(last, led::kMajorPeakAt)))));
        QVERIFY2(floatAt(last, led::kSampleRawAt) > 100.0f,
            qPrintable(QString::number(double(floatAt(last, led::kSampleRawAt)))));
    }

    void refusesWhatCannotBeSent_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        const QString lo = QStringLiteral("--wled=127.0.0.1:9");
        QTest::newRow("ttl without --wled")
            << QStringList { QStringLiteral("--wled-ttl"), QStringLiteral("2") } << "needs --wled";
        QTest::newRow("ttl 0") << QStringList { lo, QStringLiteral("--wled-ttl"),
            QStringLiteral("0") }
                               << "from 1 to 255";
        QTest::newRow("ttl 256") << QStringList { lo, QStringLiteral("--wled-ttl"),
            QStringLiteral("256") }
                                 << "from 1 to 255";
        QTest::newRow("port 0") << QStringList { QStringLiteral("--wled=127.0.0.1:0") }
                                << "1 to 65535";
        QTest::newRow("port 65536")
            << QStringList { QStringLiteral("--wled=127.0.0.1:65536") } << "1 to 65535";
        QTest::newRow("no host") << QStringList { QStringLiteral("--wled=:9") } << "needs a host";
        QTest::newRow("IPv6") << QStringList { QStringLiteral("--wled=::1") } << "IPv4";
        QTest::newRow("fast") << QStringList { lo, QStringLiteral("--fast") } << "'--fast'";
        QTest::newRow("two files")
            << QStringList { lo, QStringLiteral("a.wav"), QStringLiteral("b.wav") } << "one input";
    }

    // A usage problem is one line and status 2, before anything is sent.
    void refusesWhatCannotBeSent()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        const Run r = runProgram(
            QStringLiteral(BANDVIEW_EXE), QStringList { QStringLiteral("--no-live") } + args);
        QCOMPARE(r.status, 2);
        QCOMPARE(lines(r.err).size(), 1);
        QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
    }

    // The window sends as it plays, through the same shell; --render has no LEDs to drive.
    void visualiserSendsAsItPlays()
    {
#ifndef VISUALISER_EXE
        QSKIP("no visualiser in this build (nor in the sanitizer build, see tests/CMakeLists.txt)");
#else
        if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
            QSKIP("no xvfb-run for a virtual display (xvfb)");
        const Run refused = runProgram(QStringLiteral(VISUALISER_EXE),
            { QStringLiteral("--wled=127.0.0.1:9"), QStringLiteral("--render"),
                dir_.filePath(QStringLiteral("out.mkv")), tone_ });
        QCOMPARE(refused.status, 2);
        QVERIFY2(refused.err.contains("not --render"), refused.err.constData());
        UdpReceiver receiver("127.0.0.1", 0);
        QVERIFY(receiver.ok());
        const Run r = runProgram(QStringLiteral("xvfb-run"),
            { QStringLiteral("-a"), QStringLiteral(VISUALISER_EXE), QStringLiteral("--size"),
                QStringLiteral("160x90"),
                QStringLiteral("--wled=127.0.0.1:%1").arg(receiver.port()), tone_ });
        QVERIFY2(r.status == 0, r.err.constData());
        std::vector<std::uint8_t> last;
        int count = 0;
        Datagram d;
        while (receiver.receive(&d, 200)) {
            QVERIFY2(layoutProblem(d.bytes).isEmpty(), qPrintable(QString::number(count)));
            last = d.bytes;
            ++count;
        }
        // However slowly the virtual display draws, the tone's second and a half gives a few.
        QVERIFY2(count >= 3, qPrintable(QString::number(count)));
        const auto channels = last.begin() + led::kChannelsAt;
        QCOMPARE(
            int(std::max_element(channels, channels + led::kChannels) - channels), kToneChannel);
#endif
    }

    void sendsToTheGroupWithItsTtl_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("ttl");
        QTest::newRow("default") << QStringLiteral("--wled") << 1;
        QTest::newRow("--wled-ttl 3") << QStringLiteral("--wled --wled-ttl 3") << 3;
    }

    // Inside the namespace, a bare --wled reaches a listener on the boards' group and port, with
    // the time-to-live asked for (loopback delivers it unchanged).
    void sendsToTheGroupWithItsTtl()
    {
        QFETCH(QString, options);
        QFETCH(int, ttl);
        QString why;
        const QStringList unshare = namespaceArgs(&why);
        if (unshare.isEmpty())
            QSKIP(qPrintable(why));
        QTemporaryDir out;
        const Run r = inNamespace(unshare,
            QStringLiteral("ip route add 239.0.0.0/8 dev lo || exit 91\n") + kListen
                + QStringLiteral("\"$2\" --no-live %1 \"$3\" || exit $?\nwait\n").arg(options),
            tone_, out.path());
        QVERIFY2(r.status == 0, r.err.constData());
        const std::vector<Heard> got = heard(out.filePath(QStringLiteral("heard")));
        QVERIFY2(got.size() >= 30, qPrintable(QString::number(got.size())));
        for (std::size_t i = 0; i < got.size(); ++i) {
            QVERIFY2(got[i].ttl == ttl,
                qPrintable(QStringLiteral("packet %1: ttl %2").arg(i).arg(got[i].ttl)));
            QVERIFY2(layoutProblem(got[i].bytes).isEmpty(), qPrintable(QString::number(i)));
        }
    }

    // A name that does not resolve is one line; the run goes on to its end and its status.
    void goesOnWithoutAName()
    {
        QString why;
        const QStringList unshare = namespaceArgs(&why);
        if (unshare.isEmpty())
            QSKIP(qPrintable(why));
        QTemporaryDir out;
        const Run r = inNamespace(unshare,
            QStringLiteral("\"$2\" --no-live --wled=nowhere.invalid \"$3\"\n"), tone_, out.path());
        QVERIFY2(r.status == 0, r.err.constData());
        const QStringList said = lines(r.err);
        QCOMPARE(said.filter(QStringLiteral("nowhere.invalid")).size(), 2);
        QVERIFY2(
            said.filter(QStringLiteral("LED output: cannot resolve nowhere.invalid")).size() == 1,
            r.err.constData());
        QVERIFY2(said.last().contains(QStringLiteral("0 LED packets to nowhere.invalid:11988")),
            r.err.constData());
    }

    // With no route to the group the run goes on without LEDs; once the route is there the
    // packets go out again, said in one line each way.
    void sendsAgainWhenTheNetworkComesBack()
    {
        QString why;
        const QStringList unshare = namespaceArgs(&why);
        if (unshare.isEmpty())
            QSKIP(qPrintable(why));
        QTemporaryDir out;
        const Run r = inNamespace(unshare,
            kListen
                + QStringLiteral("\"$2\" --no-live --wled \"$3\" 2> \"$4/said\" &\n"
                                 "sleep 0.5\nip route add 239.0.0.0/8 dev lo || exit 91\nwait\n"
                                 "cat \"$4/said\" >&2\n"),
            tone_, out.path());
        QVERIFY2(r.status == 0, r.err.constData());
        const QStringList said = lines(r.err);
        QVERIFY2(said.filter(QStringLiteral("cannot send to 239.0.0.1:11988")).size() == 1,
            r.err.constData());
        QVERIFY2(
            said.filter(QStringLiteral("LED output: sending to 239.0.0.1:11988 again")).size() == 1,
            r.err.constData());
        // Sent from the retry after the route came, a second at most, to the end of the file.
        const std::size_t count = heard(out.filePath(QStringLiteral("heard"))).size();
        QVERIFY2(count >= 10, qPrintable(QString::number(count)));
    }

private:
    QTemporaryDir dir_;
    QString tone_;
};

QTEST_GUILESS_MAIN(TestWled)
#include "tst_wled.moc"
