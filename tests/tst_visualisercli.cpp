// The visualiser program run off-line as a person runs it, with no display and nothing set up in
// its environment: what it writes, that both back ends and two runs agree, and how it fails.

#include "runprogram.h"
#include "tonefile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>
#include <csignal>

namespace {

// A bare environment: no display, no Qt or driver variables but those given as NAME=VALUE; the
// program picks its platform.
Run run(const QString& program, const QStringList& args, const QString& workDir = {},
    const QStringList& variables = {})
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    for (const QString& v : variables)
        env.insert(v.section(QLatin1Char('='), 0, 0), v.section(QLatin1Char('='), 1));
    return runProgram(program, args, workDir, env);
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

// Runs a shell script in workDir; the script names the program as it likes.
Run shell(const QString& script, const QString& workDir)
{
    return run(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), script }, workDir);
}

// Whether err starts with the line a finished --render gives: "INPUT: LENGTH of video at WxH, N
// pictures" (what), the time it took, then "video OUT" or "pictures OUT" (where).
bool startsWithResult(const QByteArray& err, const QString& what, const QString& where)
{
    return QRegularExpression(
        QStringLiteral("^%1 in \\d+\\.\\d\\d s; %2$")
            .arg(QRegularExpression::escape(what), QRegularExpression::escape(where)))
        .match(QString::fromLocal8Bit(err).section('\n', 0, 0))
        .hasMatch();
}

// The video's sound, decoded to interleaved 32-bit floats.
Run decodedSound(const QString& video)
{
    return run(QStringLiteral(FFMPEG_EXE),
        { "-v", "error", "-i", video, "-map", "0:a", "-f", "f32le", "-" });
}

// What ffprobe says of the video's sound: the entries asked for, one CSV line each.
Run probeSound(const QString& video, const QString& entries)
{
    return run(QStringLiteral(FFPROBE_EXE),
        { "-v", "error", "-select_streams", "a", "-show_entries", entries, "-of", "csv=p=0",
            video });
}

// The RMS of one channel of interleaved 32-bit floats, over at most its first `frames` frames.
double rms(const QByteArray& f32, int channels, int channel, qsizetype frames)
{
    const auto* s = reinterpret_cast<const float*>(f32.constData());
    frames = std::min(frames, f32.size() / qsizetype(channels * sizeof(float)));
    double sum = 0.0;
    for (qsizetype i = 0; i < frames; ++i)
        sum += double(s[i * channels + channel]) * s[i * channels + channel];
    return frames > 0 ? std::sqrt(sum / double(frames)) : 0.0;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class tst_VisualiserCli : public QObject {
    Q_OBJECT

private slots:
    void backendsAgreeAndRunsRepeat();
    void themeRendersRepeat_data();
    void themeRendersRepeat();
    void videoHasFramesDurationAndAudio_data();
    void videoHasFramesDurationAndAudio();
    void soundtrackIsTheSourcesChannelsInTime_data();
    void soundtrackIsTheSourcesChannelsInTime();
    void failsCleanly_data();
    void failsCleanly();
    void optionRulesHoldInBoth_data();
    void optionRulesHoldInBoth();
    void helpListsEveryExitStatus();
    void versionIsTheProjects();
    void folderTakesOnlyNewPictures();
    void damagedInputWarnsAndExitsThree();
    void fullDiskLeavesNothing_data();
    void fullDiskLeavesNothing();
    void stopSignalLeavesNothing_data();
    void stopSignalLeavesNothing();
    void backendWithoutVulkan_data();
    void backendWithoutVulkan();
    void sizeRangeIsStatedAndHolds();
    void missingSampleCountFallsToTheNearest_data();
    void missingSampleCountFallsToTheNearest();
    void configurationFileShapesTheWindowNotTheVideo();
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
    for (const char* name : { "vulkan", "gles", "vulkan-again", "gles-again" }) {
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
        QVERIFY2(r.err.count('\n') == 1
                && startsWithResult(r.err,
                    QStringLiteral("demo: 0:00.0 of video at 161x91, 3 pictures"),
                    QStringLiteral("pictures ") + folder),
            qPrintable(describe(r)));
        folders << folder;
    }
    for (const QString& picture : QDir(folders[0]).entryList(QDir::Files)) {
        const QString a = QDir(folders[0]).filePath(picture);
        for (int again : { 2, 3 })
            QVERIFY2(readAll(QDir(folders[again - 2]).filePath(picture))
                    == readAll(QDir(folders[again]).filePath(picture)),
                qPrintable(folders[again] + QLatin1Char('/') + picture
                    + QStringLiteral(" differs from the first run")));
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

void tst_VisualiserCli::themeRendersRepeat_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("vulkan") << "vulkan";
    QTest::newRow("gles") << "gles";
}

void tst_VisualiserCli::themeRendersRepeat()
{
    QFETCH(QString, backend);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Two pictures of the demo's loud chord, twice in ember and once in the default theme.
    QStringList folders;
    for (const char* theme : { "ember", "ember", "classic" }) {
        const QString folder = dir.filePath(QString::number(folders.size()));
        QVERIFY(QDir().mkpath(folder));
        const Run r = visualiser({ QStringLiteral("--backend"), backend, QStringLiteral("--size"),
            QStringLiteral("161x91"), QStringLiteral("--from"), QStringLiteral("13"),
            QStringLiteral("--to"), QStringLiteral("13.03"), QStringLiteral("--theme"),
            QLatin1String(theme), QStringLiteral("--render"), folder });
        QVERIFY2(r.status == 0, qPrintable(describe(r)));
        folders << folder;
    }
    for (const char* picture : { "000000.png", "000001.png" }) {
        const QByteArray ember = readAll(QDir(folders[0]).filePath(QLatin1String(picture)));
        QVERIFY2(!ember.isEmpty(), picture);
        QVERIFY2(ember == readAll(QDir(folders[1]).filePath(QLatin1String(picture))), picture);
        QVERIFY2(ember != readAll(QDir(folders[2]).filePath(QLatin1String(picture))), picture);
        // A corner, where no light reaches, shows ember's background #1c0f0a as it is: the
        // composite adds nothing to it there.
        const QImage image = QImage::fromData(ember);
        QCOMPARE(image.pixel(0, 0), qRgb(0x1c, 0x0f, 0x0a));
        QCOMPARE(
            QImage(QDir(folders[2]).filePath(QLatin1String(picture))).pixel(0, 0), qRgb(0, 0, 0));
    }
}

void tst_VisualiserCli::videoHasFramesDurationAndAudio_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fps");
    QTest::addColumn<bool>("tone");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("audioCodec");
    // The sound's bit rate over its packets, in kb/s: on the demo's pink noise AAC at 256 kb/s
    // takes 218 (at 192: 193), Opus at 192 takes 189 (at 256: 249).
    QTest::addColumn<int>("leastKbps");
    QTest::addColumn<int>("mostKbps");
    QTest::newRow("demo, mp4 at 60") << "a.mp4"
                                     << "60" << false << 30 << "aac" << 205 << 256;
    QTest::newRow("demo, webm at 30") << "a.webm"
                                      << "30" << false << 15 << "opus" << 150 << 220;
    QTest::newRow("44.1 kHz tone, mkv at 60") << "a.mkv"
                                              << "60" << true << 30 << "aac" << 0 << 256;
}

void tst_VisualiserCli::videoHasFramesDurationAndAudio()
{
    QFETCH(QString, name);
    QFETCH(QString, fps);
    QFETCH(bool, tone);
    QFETCH(int, frames);
    QFETCH(QString, audioCodec);
    QFETCH(int, leastKbps);
    QFETCH(int, mostKbps);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Half a second of the demo's pink noise, or of the tone.
    QStringList args = { QStringLiteral("--size"), QStringLiteral("96x54"), QStringLiteral("--fps"),
        fps, QStringLiteral("--from"), QStringLiteral("18.5"), QStringLiteral("--to"),
        QStringLiteral("19") };
    if (tone) {
        QVERIFY(writeTone(dir.filePath(QStringLiteral("tone.wav")), 44100, 20.0, 440.0));
        args << dir.filePath(QStringLiteral("tone.wav"));
    }
    const QString video = dir.filePath(name);
    Run r = visualiser(args + QStringList { QStringLiteral("--render"), video });
    const QString what = (tone ? dir.filePath(QStringLiteral("tone.wav")) : QStringLiteral("demo"))
        + QStringLiteral(": 0:00.5 of video at 96x54, %1 pictures").arg(frames);
    QVERIFY2(r.status == 0 && r.err.count('\n') == 1
            && startsWithResult(r.err, what, QStringLiteral("video ") + video),
        qPrintable(describe(r)));
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

    // The sound itself, not only its stream: loud enough, at its codec's rate.
    r = decodedSound(video);
    const double loudness = rms(r.out, 1, 0, r.out.size());
    QVERIFY2(r.status == 0 && loudness > 0.05,
        qPrintable(QStringLiteral("sound RMS %1, %2").arg(loudness).arg(describe(r))));
    double seconds = 0.0;
    double bits = 0.0;
    for (const QByteArray& packet :
        probeSound(video, "packet=size,duration_time").out.split('\n')) {
        seconds += packet.split(',').value(0).toDouble();
        bits += 8.0 * packet.split(',').value(1).toDouble();
    }
    const double kbps = seconds > 0.0 ? bits / seconds / 1000.0 : 0.0;
    QVERIFY2(kbps >= leastKbps && kbps <= mostKbps,
        qPrintable(QStringLiteral("%1 kb/s, not %2 to %3").arg(kbps).arg(leastKbps).arg(mostKbps)));
}

void tst_VisualiserCli::soundtrackIsTheSourcesChannelsInTime_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fps");
    QTest::addColumn<double>("from");
    QTest::addColumn<bool>("loud");
    // The source is silent for 1 s, then plays a stereo tone whose channels cancel in mono.
    QTest::newRow("mp4 at 30 from the tone") << "a.mp4"
                                             << "30" << 1.0 << true;
    QTest::newRow("webm at 30 from the tone") << "a.webm"
                                              << "30" << 1.0 << true;
    QTest::newRow("mkv at 60 from the start") << "a.mkv"
                                              << "60" << 0.0 << false;
}

void tst_VisualiserCli::soundtrackIsTheSourcesChannelsInTime()
{
    QFETCH(QString, name);
    QFETCH(QString, fps);
    QFETCH(double, from);
    QFETCH(bool, loud);
    constexpr int kRate = 48000;
    constexpr double kLengthSec = 0.5;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString input = dir.filePath(QStringLiteral("antiphase.wav"));
    QVERIFY(writeTone(input, kRate, 2.0, 440.0, 16000, 0.0, 2, 1.0));
    const QString video = dir.filePath(name);
    Run r = visualiser({ QStringLiteral("--size"), QStringLiteral("96x54"), QStringLiteral("--fps"),
        fps, QStringLiteral("--from"), QString::number(from), QStringLiteral("--to"),
        QString::number(from + kLengthSec), QStringLiteral("--render"), video, input });
    QVERIFY2(r.status == 0, qPrintable(describe(r)));

    QCOMPARE(probeSound(video, "stream=channels").out.trimmed(), QByteArray("2"));
    r = decodedSound(video);
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    const qsizetype frames = r.out.size() / qsizetype(2 * sizeof(float));
    // Every sample of the segment, flushed to the end; at most the AAC encoder's priming and the
    // padding of its last frame (1024 samples each) beyond.
    const qsizetype expected = qsizetype(kLengthSec * kRate);
    QVERIFY2(frames >= expected && frames <= expected + 2048,
        qPrintable(QStringLiteral("%1 stereo samples, expected %2").arg(frames).arg(expected)));
    // Each channel on its own, over the first quarter second: the tone when the segment starts
    // in it, silence when it starts before (an early soundtrack would be silent there).
    for (int c = 0; c < 2; ++c) {
        const double channel = rms(r.out, 2, c, kRate / 4);
        QVERIFY2(loud ? channel > 0.2 : channel < 0.01,
            qPrintable(
                QStringLiteral("channel %1: rms %2 over the first 0.25 s").arg(c).arg(channel)));
    }
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
    QTest::newRow("bad sample count")
        << QStringList { "--render", "out.mp4", "--msaa", "3" } << "1, 2, 4 or 8, got '3'";
    QTest::newRow("bad back end") << QStringList { "--render", "out.mp4", "--backend", "metal" }
                                  << "vulkan or gles";
    QTest::newRow("a layout only bandview draws") << QStringList { "--render", "out.mp4",
        "--layout", "mirror" } << "option '--layout' needs bars or stereo, got 'mirror'";
    QTest::newRow("--to before --from")
        << QStringList { "--render", "out.mp4", "--from", "3", "--to", "2" } << "not after";
    QTest::newRow("--from past the end")
        << QStringList { "--render", "out.mp4", "--from", "99" } << "past the end";
    QTest::newRow("--from far past the end")
        << QStringList { "--render", "out.mp4", "--from", "1e308" } << "'--from' 1e+308 is past";
    QTest::newRow("--to before the first picture")
        << QStringList { "--render", "out.mp4", "--to", "0.001" } << "--to 0.001";
    QTest::newRow("output swallows the next option")
        << QStringList { "--render", "--size", "160x90", "s.flac" } << "got the option '--size'";
    QTest::newRow("two outputs") << QStringList { "--render", "a.mp4", "--render", "b.mp4" }
                                 << "'--render' is given twice";
    QTest::newRow("empty input name") << QStringList { "" } << "input file name is empty";
    QTest::newRow("two inputs to --render")
        << QStringList { "--render", "out.mp4", "a.wav", "b.wav" } << "--render takes one input";
    QTest::newRow("--from in the window")
        << QStringList { "--from", "0" } << "'--from' needs --render";
    QTest::newRow("--to in the window") << QStringList { "--to", "1" } << "'--to' needs --render";
    QTest::newRow("--fullscreen off-line") << QStringList { "--render", "out.mp4", "--fullscreen" }
                                           << "'--fullscreen' is for the window";
    QTest::newRow("--delay off-line")
        << QStringList { "--render", "out.mp4", "--delay", "100" } << "'--delay' is for the window";
    QTest::newRow("--fps in the window")
        << QStringList { "--fps", "30" } << "'--fps' needs --render";
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

void tst_VisualiserCli::optionRulesHoldInBoth_data()
{
    // Each row runs in both programs, which share these options and rules.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty file name") << QStringList { "" } << "an input file name is empty";
    QTest::newRow("unknown option") << QStringList { "--colour" } << "unknown option '--colour'";
    QTest::newRow("repeated option") << QStringList { "--size", "640x360", "--size", "640x360" }
                                     << "option '--size' is given twice";
    QTest::newRow("repeated flag") << QStringList { "--list-sections", "--list-sections" }
                                   << "option '--list-sections' is given twice";
    QTest::newRow("repeated capture")
        << QStringList { "--capture", "--capture" } << "option '--capture' is given twice";
    QTest::newRow("option as a value") << QStringList { "--size", "--help" }
                                       << "option '--size' needs a value, got the option '--help'";
    QTest::newRow("no value") << QStringList { "--size" } << "option '--size' needs a value";
    QTest::newRow("empty value") << QStringList { "--size=" }
                                 << "option '--size' has an empty value";
    QTest::newRow("value for a flag")
        << QStringList { "--list-sections=all" } << "option '--list-sections' takes no value";
    QTest::newRow("capture without its source")
        << QStringList { "--capture=" } << "option '--capture=' needs a source name";
    QTest::newRow("size out of range")
        << QStringList { "--size", "12x9000" } << "option '--size' needs WIDTHxHEIGHT from ";
    QTest::newRow("unknown capture back end") << QStringList { "--capture", "--capture-backend",
        "jack" } << "option '--capture-backend' needs pipewire or pulse, got 'jack'";
    QTest::newRow("capture back end without a capture") << QStringList { "--capture-backend",
        "pulse" } << "option '--capture-backend' needs --capture or --list-sources";
    QTest::newRow("delay above its range") << QStringList { "--capture", "--delay", "2001" }
                                           << "option '--delay' needs whole milliseconds from 0 "
                                              "to 2000, got '2001'";
    QTest::newRow("delay not whole") << QStringList { "--delay=1.5" }
                                     << "option '--delay' needs whole milliseconds from 0 to "
                                        "2000, got '1.5'";
    QTest::newRow("delay below 0") << QStringList { "--delay=-1" }
                                   << "option '--delay' needs whole milliseconds from 0 to 2000, "
                                      "got '-1'";
    QTest::newRow("repeated wled") << QStringList { "--wled=127.0.0.1:9", "--wled=127.0.0.1:9" }
                                   << "option '--wled' is given twice";
    QTest::newRow("wled without its host")
        << QStringList { "--wled=" } << "option '--wled=' needs a host";
    QTest::newRow("wled port out of range") << QStringList { "--wled=127.0.0.1:65536" }
                                            << "option '--wled' needs a port from 1 to 65535";
    QTest::newRow("wled ttl without wled")
        << QStringList { "--wled-ttl", "2" } << "option '--wled-ttl' needs --wled";
}

void tst_VisualiserCli::optionRulesHoldInBoth()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QTemporaryDir dir;
    for (const char* program : { BANDVIEW_EXE, VISUALISER_EXE }) {
        const Run r = run(QLatin1String(program), args, dir.path());
        const QString name = QFileInfo(QLatin1String(program)).fileName();
        const QString line = QString::fromLocal8Bit(r.err);
        QVERIFY2(r.status == 2 && r.out.isEmpty() && r.err.count('\n') == 1
                && line.startsWith(name + QStringLiteral(": ")) && line.contains(message),
            qPrintable(name + QStringLiteral(": ") + describe(r)));
        QCOMPARE(entries(dir.path()), QStringList());
    }
}

void tst_VisualiserCli::helpListsEveryExitStatus()
{
    for (const char* program : { BANDVIEW_EXE, VISUALISER_EXE }) {
        const Run r = run(QLatin1String(program), { QStringLiteral("--help") });
        QVERIFY2(r.status == 0, qPrintable(describe(r)));
        for (const char* status :
            { "0 clean", "2 bad input", "3 damaged input", "128 + the signal", "SIGTERM (143)" })
            QVERIFY2(r.out.contains(status),
                qPrintable(QLatin1String(program) + QLatin1String(": ") + QLatin1String(status)));
    }
}

void tst_VisualiserCli::versionIsTheProjects()
{
    for (const char* program : { BANDVIEW_EXE, VISUALISER_EXE }) {
        const Run r = run(QLatin1String(program), { QStringLiteral("--version") });
        QCOMPARE(r.out,
            QFile::encodeName(QFileInfo(QLatin1String(program)).fileName())
                + " " BANDCORE_PROJECT_VERSION "\n");
        QVERIFY2(r.status == 0 && r.err.isEmpty(), qPrintable(describe(r)));
    }
}

void tst_VisualiserCli::folderTakesOnlyNewPictures()
{
    QTemporaryDir dir;
    QFile notes(dir.filePath(QStringLiteral("notes.txt")));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("mine") == 4);
    notes.close();
    // --from 0, the very start, is as valid as any later second.
    const QStringList args = { QStringLiteral("--size"), QStringLiteral("32x32"),
        QStringLiteral("--from"), QStringLiteral("0"), QStringLiteral("--to"),
        QStringLiteral("0.05"), QStringLiteral("--render"), dir.path() };
    Run r = visualiser(args);
    QVERIFY2(r.status == 0 && r.err.count('\n') == 1, qPrintable(describe(r)));
    const QStringList written = { "000000.png", "000001.png", "000002.png", "notes.txt" };
    QCOMPARE(entries(dir.path()), written);
    const QByteArray first = readAll(dir.filePath(QStringLiteral("000000.png")));
    // A second run would mix its pictures with the first's: refused before it renders.
    r = visualiser(args);
    QVERIFY2(r.status == 2 && r.err.contains("already holds 000000.png"), qPrintable(describe(r)));
    QCOMPARE(entries(dir.path()), written);
    QCOMPARE(readAll(dir.filePath(QStringLiteral("000000.png"))), first);
}

void tst_VisualiserCli::damagedInputWarnsAndExitsThree()
{
    QTemporaryDir dir;
    const QString tone = dir.filePath(QStringLiteral("cut.wav"));
    QVERIFY(writeTone(tone, 44100, 1.0, 440.0, 16000, 3.0));
    const QString video = dir.filePath(QStringLiteral("a.mp4"));
    const Run r = visualiser({ QStringLiteral("--size"), QStringLiteral("32x32"),
        QStringLiteral("--from"), QStringLiteral("0.9"), QStringLiteral("--render"), video, tone });
    // The result, then the warning as the run's last line.
    QVERIFY2(r.status == 3 && r.err.count('\n') == 2
            && startsWithResult(r.err,
                tone + QStringLiteral(": 0:00.1 of video at 32x32, 6 pictures"),
                QStringLiteral("video ") + video)
            && r.err.split('\n').value(1).startsWith(
                "visualiser: " + QFile::encodeName(tone) + ": "),
        qPrintable(describe(r)));
    QVERIFY2(QFileInfo(video).size() > 0, "the video of damaged input was not written");
}

void tst_VisualiserCli::fullDiskLeavesNothing_data()
{
    // dash's ulimit counts blocks of 512 bytes; a picture of 640x360 is larger than one.
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("limit");
    QTest::newRow("video") << "out.mp4"
                           << "out.mp4: cannot write: file too large" << 40;
    QTest::newRow("pictures") << "."
                              << "./000000.png: cannot write: file too large" << 1;
}

void tst_VisualiserCli::fullDiskLeavesNothing()
{
    QFETCH(QString, output);
    QFETCH(QString, message);
    QFETCH(int, limit);
    QTemporaryDir dir;
    const Run r = shell(QStringLiteral("ulimit -f %1; exec '%2' --size 640x360 --to 2 --render %3")
                            .arg(limit)
                            .arg(QStringLiteral(VISUALISER_EXE), output),
        dir.path());
    QVERIFY2(r.status == 2 && r.err == "visualiser: " + message.toLocal8Bit() + "\n",
        qPrintable(describe(r)));
    QCOMPARE(entries(dir.path()), QStringList());
}

void tst_VisualiserCli::stopSignalLeavesNothing_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("video");
    QTest::newRow("SIGINT into a video") << int(SIGINT) << true;
    QTest::newRow("SIGTERM into a video") << int(SIGTERM) << true;
    QTest::newRow("SIGHUP into a folder") << int(SIGHUP) << false;
    QTest::newRow("SIGTERM into a folder") << int(SIGTERM) << false;
}

void tst_VisualiserCli::stopSignalLeavesNothing()
{
    QFETCH(int, signal);
    QFETCH(bool, video);
    QTemporaryDir dir;
    // The user's own files: an output to keep as it is, and a picture the run did not write.
    for (const char* name : { "out.mp4", "notes.png" }) {
        QFile f(dir.filePath(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("mine") == 4);
    }
    const QStringList before = entries(dir.path());
    QProcess p;
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VISUALISER_EXE),
        { QStringLiteral("--size"), QStringLiteral("320x180"), QStringLiteral("--render"),
            video ? dir.filePath(QStringLiteral("out.mp4")) : dir.path() });
    QVERIFY(p.waitForStarted());
    // Stopped while it renders: once it has written something of its own.
    QElapsedTimer waited;
    waited.start();
    while (entries(dir.path()) == before && waited.elapsed() < 60000)
        QThread::msleep(20);
    QVERIFY2(p.state() == QProcess::Running, p.readAllStandardError().constData());
    ::kill(pid_t(p.processId()), signal);
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(p.waitForFinished(10000));
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 128 + signal
            && err == "visualiser: stopped, nothing written\n",
        qPrintable(QStringLiteral("status %1, '%2'").arg(p.exitCode()).arg(QLatin1String(err))));
    QVERIFY2(
        stopping.elapsed() < 1000, qPrintable(QStringLiteral("%1 ms").arg(stopping.elapsed())));
    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(readAll(dir.filePath(QStringLiteral("out.mp4"))), QByteArray("mine"));
}

void tst_VisualiserCli::backendWithoutVulkan_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    // The one line said: the whole error, or the start of the result.
    QTest::addColumn<QString>("message");
    QTest::newRow("auto takes OpenGL ES")
        << QStringList {} << 0 << "demo: 0:00.1 of video at 64x36, 6 pictures in ";
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
    QVERIFY2(
        r.status == status && r.err.startsWith(message.toLocal8Bit()) && r.err.count('\n') == 1,
        qPrintable(describe(r)));
    QCOMPARE(QFile::exists(dir.filePath(QStringLiteral("out.mp4"))), status == 0);
}

void tst_VisualiserCli::sizeRangeIsStatedAndHolds()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Run refused = run(QStringLiteral(VISUALISER_EXE),
        { "--render", "out.mp4", "--size", "99999x16" }, dir.path());
    static const QRegularExpression statement(QStringLiteral(
        "^visualiser: option '--size' needs WIDTHxHEIGHT from (\\d+)x\\1 to (\\d+)x\\2, got "
        "'99999x16'\n$"));
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

void tst_VisualiserCli::missingSampleCountFallsToTheNearest_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("nearest");
    // lavapipe has 1 and 4 samples, llvmpipe 1, 2 and 4.
    QTest::newRow("vulkan: 2 falls to 1") << "vulkan"
                                          << "2"
                                          << "1";
    QTest::newRow("gles: 8 falls to 4") << "gles"
                                        << "8"
                                        << "4";
}

void tst_VisualiserCli::missingSampleCountFallsToTheNearest()
{
    QFETCH(QString, backend);
    QFETCH(QString, wanted);
    QFETCH(QString, nearest);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray pictures[2];
    for (int i = 0; i < 2; ++i) {
        const QString out = dir.filePath(QString::number(i) + QStringLiteral(".png"));
        QVERIFY(QDir().mkpath(out));
        const Run r = visualiser({ QStringLiteral("--size"), QStringLiteral("64x36"),
            QStringLiteral("--from"), QStringLiteral("13"), QStringLiteral("--to"),
            QStringLiteral("13.01"), QStringLiteral("--backend"), backend, QStringLiteral("--msaa"),
            i == 0 ? wanted : nearest, QStringLiteral("--render"), out });
        QVERIFY2(r.status == 0, qPrintable(describe(r)));
        const QByteArray note = i == 0 ? "visualiser: the graphics back end has no "
                + wanted.toLatin1() + "x multisampling; drawing with " + nearest.toLatin1() + "x\n"
                                       : QByteArray();
        QVERIFY2(r.err.startsWith(note) && r.err.count('\n') == note.count('\n') + 1,
            qPrintable(describe(r)));
        pictures[i] = readAll(out + QStringLiteral("/000000.png"));
    }
    QVERIFY2(!pictures[0].isEmpty() && pictures[0] == pictures[1],
        "the fallback drew otherwise than the count it fell to");
}

// The file's size is the window's: a video keeps the command line's, and the file cannot name a
// frame rate at all.
void tst_VisualiserCli::configurationFileShapesTheWindowNotTheVideo()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("c/visualiser")));
    const QString cfg = dir.filePath(QStringLiteral("c/visualiser/config"));
    QFile f(cfg);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("size = 320x240\nfps = 30\n");
    f.close();
    const QStringList env { QStringLiteral("XDG_CONFIG_HOME=")
        + dir.filePath(QStringLiteral("c")) };
    const QString refused = QStringLiteral("visualiser: %1:2: 'fps' is not a setting the file can "
                                           "hold: give it on the command line\n")
                                .arg(cfg);

    const Run printed = run(QStringLiteral(VISUALISER_EXE), { "--print-config" }, dir.path(), env);
    QVERIFY2(printed.status == 0
            && printed.out.contains(
                QStringLiteral("\nsize = 320x240  # %1:1\n").arg(cfg).toLocal8Bit())
            && QString::fromLocal8Bit(printed.err) == refused,
        qPrintable(describe(printed)));
    const Run rendered = run(
        QStringLiteral(VISUALISER_EXE), { "--render", "out.mp4", "--to", "0.02" }, dir.path(), env);
    QVERIFY2(rendered.status == 0 && rendered.err.startsWith(refused.toLocal8Bit())
            && rendered.err.contains(" at 1280x720, "),
        qPrintable(describe(rendered)));
}

QTEST_GUILESS_MAIN(tst_VisualiserCli)

#include "tst_visualisercli.moc"
