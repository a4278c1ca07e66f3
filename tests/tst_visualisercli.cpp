// The visualiser program run off-line as a person runs it, with no display and nothing set up in
// its environment: what it writes, that both back ends and two runs agree, and how it fails.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// A bare environment: no display, no Qt or driver variables but those given as NAME=VALUE; the
// program picks its platform.
Run run(const QString& program, const QStringList& args, const QString& workDir = {},
    const QStringList& variables = {})
{
    QProcess p;
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    for (const QString& v : variables)
        env.insert(v.section(QLatin1Char('='), 0, 0), v.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

Run visualiser(const QStringList& args)
{
    return run(QStringLiteral(VISUALISER_EXE), args);
}

QString describe(const Run& r)
{
    return QStringLiteral("status %1, stderr '%2'")
        .arg(r.status)
        .arg(QString::fromLocal8Bit(r.err));
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A mono 16-bit WAV of a sine.
bool writeTone(const QString& path, int rate, double seconds, double hz)
{
    const int n = int(rate * seconds);
    QByteArray data;
    data.reserve(n * 2);
    for (int i = 0; i < n; ++i) {
        const qint16 v = qint16(std::lround(16000.0 * std::sin(6.283185307179586 * hz * i / rate)));
        data.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
    }
    auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    QByteArray wav = "RIFF" + u32(quint32(36 + data.size())) + "WAVEfmt " + u32(16) + u16(1)
        + u16(1) + u32(quint32(rate)) + u32(quint32(rate * 2)) + u16(2) + u16(16) + "data"
        + u32(quint32(data.size())) + data;
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(wav) == wav.size();
}

} // namespace

class tst_VisualiserCli : public QObject {
    Q_OBJECT

private slots:
    void backendsAgreeAndRunsRepeat();
    void videoHasFramesDurationAndAudio_data();
    void videoHasFramesDurationAndAudio();
    void failsCleanly_data();
    void failsCleanly();
    void backendWithoutVulkan_data();
    void backendWithoutVulkan();
    void sizeRangeIsStatedAndHolds();
};

void tst_VisualiserCli::backendsAgreeAndRunsRepeat()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The loud chord of the demo, three pictures at an odd size.
    const QStringList common
        = { QStringLiteral("--size"), QStringLiteral("161x91"), QStringLiteral("--from"),
              QStringLiteral("13"), QStringLiteral("--to"), QStringLiteral("13.05") };
    QStringList folders;
    for (const char* name : { "vulkan", "gles", "vulkan-again" }) {
        const QString folder = dir.filePath(QLatin1String(name));
        QVERIFY(QDir().mkpath(folder));
        const QString backend = QLatin1String(name).startsWith(QLatin1String("gles"))
            ? QStringLiteral("gles")
            : QStringLiteral("vulkan");
        const Run r = visualiser(common
            + QStringList {
                QStringLiteral("--backend"), backend, QStringLiteral("--render"), folder });
        QVERIFY2(r.status == 0, qPrintable(describe(r)));
        QCOMPARE(QDir(folder).entryList(QDir::Files),
            QStringList({ "000000.png", "000001.png", "000002.png" }));
        folders << folder;
    }
    for (const QString& picture : QDir(folders[0]).entryList(QDir::Files)) {
        const QString a = QDir(folders[0]).filePath(picture);
        QVERIFY2(readAll(a) == readAll(QDir(folders[2]).filePath(picture)),
            qPrintable(picture + QStringLiteral(" differs between two runs")));
        const QImage vulkan(a);
        const QImage gles(QDir(folders[1]).filePath(picture));
        QCOMPARE(vulkan.size(), QSize(161, 91));
        QCOMPARE(gles.size(), vulkan.size());
        // The two shader compilers may round a sub-pixel ribbon differently: a few pixels may
        // differ by more than 2 of 255, no more than one in a thousand.
        int beyond = 0, lit = 0;
        for (int y = 0; y < vulkan.height(); ++y) {
            for (int x = 0; x < vulkan.width(); ++x) {
                const QRgb p = vulkan.pixel(x, y), q = gles.pixel(x, y);
                const int d = std::max({ std::abs(qRed(p) - qRed(q)),
                    std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q)) });
                beyond += d > 2;
                lit += std::max({ qRed(p), qGreen(p), qBlue(p) }) > 8;
            }
        }
        const int pixels = vulkan.width() * vulkan.height();
        QVERIFY2(beyond * 1000 <= pixels,
            qPrintable(QStringLiteral("%1: %2 of %3 pixels differ by more than 2")
                           .arg(picture)
                           .arg(beyond)
                           .arg(pixels)));
        QVERIFY2(lit * 50 > pixels,
            qPrintable(QStringLiteral("%1: only %2 lit pixels").arg(picture).arg(lit)));
    }
}

void tst_VisualiserCli::videoHasFramesDurationAndAudio_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fps");
    QTest::addColumn<bool>("tone");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("audioCodec");
    QTest::newRow("demo, mp4 at 60") << "a.mp4"
                                     << "60" << false << 30 << "aac";
    QTest::newRow("demo, webm at 30") << "a.webm"
                                      << "30" << false << 15 << "opus";
    QTest::newRow("44.1 kHz tone, mkv at 60") << "a.mkv"
                                              << "60" << true << 30 << "aac";
}

void tst_VisualiserCli::videoHasFramesDurationAndAudio()
{
    QFETCH(QString, name);
    QFETCH(QString, fps);
    QFETCH(bool, tone);
    QFETCH(int, frames);
    QFETCH(QString, audioCodec);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList args = { QStringLiteral("--size"), QStringLiteral("96x54"), QStringLiteral("--fps"),
        fps, QStringLiteral("--from"), QStringLiteral("1"), QStringLiteral("--to"),
        QStringLiteral("1.5") };
    if (tone) {
        QVERIFY(writeTone(dir.filePath(QStringLiteral("tone.wav")), 44100, 2.0, 440.0));
        args << dir.filePath(QStringLiteral("tone.wav"));
    }
    const QString video = dir.filePath(name);
    Run r = visualiser(args + QStringList { QStringLiteral("--render"), video });
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    const QByteArray first = readAll(video);
    r = visualiser(args + QStringList { QStringLiteral("--render"), video });
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    QVERIFY2(readAll(video) == first, "a second run wrote different bytes");

    r = run(QStringLiteral(FFPROBE_EXE),
        { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
            QStringLiteral("-show_entries"),
            QStringLiteral("stream=codec_type,codec_name,nb_read_frames:format=duration"),
            QStringLiteral("-of"), QStringLiteral("json"), video });
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    const QJsonObject probe = QJsonDocument::fromJson(r.out).object();
    int videoFrames = -1;
    QString audio;
    for (const QJsonValue& s : probe.value(QStringLiteral("streams")).toArray()) {
        const QJsonObject stream = s.toObject();
        if (stream.value(QStringLiteral("codec_type")).toString() == QLatin1String("video"))
            videoFrames = stream.value(QStringLiteral("nb_read_frames")).toString().toInt();
        else if (stream.value(QStringLiteral("codec_type")).toString() == QLatin1String("audio"))
            audio = stream.value(QStringLiteral("codec_name")).toString();
    }
    QCOMPARE(videoFrames, frames);
    QCOMPARE(audio, audioCodec);
    // The container's duration: 0.5 s, give or take the audio codec's last frame (AAC 1024
    // samples, 23 ms at 44.1 kHz; Opus 20 ms) and the matroska muxer's millisecond timestamps.
    const double duration = probe.value(QStringLiteral("format"))
                                .toObject()
                                .value(QStringLiteral("duration"))
                                .toString()
                                .toDouble();
    QVERIFY2(std::fabs(duration - 0.5) <= 0.03,
        qPrintable(QStringLiteral("duration %1 s").arg(duration)));
}

void tst_VisualiserCli::failsCleanly_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("video in a folder that does not exist")
        << QStringList { "--render", "missing/out.mp4" } << "does not exist";
    QTest::newRow("pictures into a folder that does not exist")
        << QStringList { "--render", "missing" } << "not an existing folder";
    QTest::newRow("unknown container")
        << QStringList { "--render", "out.avi" } << "not an existing folder";
    QTest::newRow("odd video size")
        << QStringList { "--render", "out.mp4", "--size", "97x54" } << "even sides";
    QTest::newRow("bad size") << QStringList { "--render", "out.mp4", "--size", "big" } << "size";
    QTest::newRow("bad frame rate")
        << QStringList { "--render", "out.mp4", "--fps", "25" } << "60 or 30";
    QTest::newRow("bad back end") << QStringList { "--render", "out.mp4", "--backend", "metal" }
                                  << "vulkan or gles";
    QTest::newRow("--to before --from")
        << QStringList { "--render", "out.mp4", "--from", "3", "--to", "2" } << "not after";
    QTest::newRow("--from past the end")
        << QStringList { "--render", "out.mp4", "--from", "99" } << "past the end";
    QTest::newRow("input that does not exist")
        << QStringList { "--render", "out.mp4", "nothing.wav" } << "nothing.wav";
    QTest::newRow("input that is not audio")
        << QStringList { "--render", "out.mp4", "junk.wav" } << "junk.wav";
}

void tst_VisualiserCli::failsCleanly()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        QFile junk(dir.filePath(QStringLiteral("junk.wav")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("this is not a sound file at all, just some text\n");
    }
    const Run r = run(QStringLiteral(VISUALISER_EXE), args, dir.path());
    QVERIFY2(r.status == 2, qPrintable(describe(r)));
    QVERIFY2(r.err.startsWith("visualiser: ") && r.err.count('\n') == 1 && r.err.endsWith('\n'),
        qPrintable(describe(r)));
    QVERIFY2(QString::fromLocal8Bit(r.err).contains(message), qPrintable(describe(r)));
    // Nothing left behind: only the junk file the test made.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList { "junk.wav" });
}

void tst_VisualiserCli::backendWithoutVulkan_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("auto takes OpenGL ES") << QStringList {} << 0 << "";
    QTest::newRow("vulkan named: the error names the other")
        << QStringList { "--backend", "vulkan" } << 2
        << "visualiser: no Vulkan device (VkResult -9); --backend gles uses OpenGL ES instead\n";
}

void tst_VisualiserCli::backendWithoutVulkan()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A loader without a driver answers VK_ERROR_INCOMPATIBLE_DRIVER (-9).
    const Run r = run(QStringLiteral(VISUALISER_EXE),
        args + QStringList { "--render", "out.mp4", "--size", "64x36", "--to", "0.1" }, dir.path(),
        { QStringLiteral("VK_ICD_FILENAMES=") + dir.filePath(QStringLiteral("none.json")) });
    QVERIFY2(r.status == status, qPrintable(describe(r)));
    QCOMPARE(QString::fromLocal8Bit(r.err), message);
    QCOMPARE(QFile::exists(dir.filePath(QStringLiteral("out.mp4"))), status == 0);
}

void tst_VisualiserCli::sizeRangeIsStatedAndHolds()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Run refused = run(QStringLiteral(VISUALISER_EXE),
        { "--render", "out.mp4", "--size", "99999x16" }, dir.path());
    static const QRegularExpression statement(QStringLiteral(
        "^visualiser: --size '99999x16' is not WxH with sides from (\\d+) to (\\d+)\n$"));
    const QRegularExpressionMatch range = statement.match(QString::fromLocal8Bit(refused.err));
    QVERIFY2(refused.status == 2 && range.hasMatch(), qPrintable(describe(refused)));
    const QString sides
        = QStringLiteral("sides from %1 to %2").arg(range.captured(1), range.captured(2));
    QVERIFY2(QString::fromLocal8Bit(visualiser({ QStringLiteral("--help") }).out).contains(sides),
        qPrintable(QStringLiteral("--help does not say '%1'").arg(sides)));
    // Both ends render into the output with the tightest limits, an H.264 video.
    for (const QString& side : { range.captured(1), range.captured(2) }) {
        const Run r = run(QStringLiteral(VISUALISER_EXE),
            { "--render", "out.mp4", "--size", side + 'x' + side, "--to", "0.02" }, dir.path());
        QVERIFY2(r.status == 0, qPrintable(side + QStringLiteral(": ") + describe(r)));
    }
}

QTEST_GUILESS_MAIN(tst_VisualiserCli)

#include "tst_visualisercli.moc"
