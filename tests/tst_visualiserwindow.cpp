// The visualiser's window as a person meets it, on a virtual X server (Xvfb) with the OpenGL back
// end: it opens and shows lit strands on the demo, survives a resize, quits on its key, and
// playing a file its sound reaches the sound server (a private PulseAudio with a null sink, whose
// monitor the test records). Skips where Xvfb, xdotool, ImageMagick's import or PulseAudio are
// missing; with CI=true that is a failure instead.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 15000;
// Pixels brighter than this (of 255) count as lit strands.
constexpr int kLitLevel = 24;
constexpr int kToneHz = 1000;
constexpr int kRecordRateHz = 48000;

QString tool(const char* name)
{
    return QStandardPaths::findExecutable(QLatin1String(name));
}

bool skipOrFail(const QString& why)
{
    if (qEnvironmentVariable("CI") == QLatin1String("true"))
        return false;
    QTest::qSkip(qPrintable(why), __FILE__, __LINE__);
    return true;
}

QByteArray output(const QString& program, const QStringList& args, const QProcessEnvironment& env,
    int* status = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(kWaitMs)) {
        p.kill();
        p.waitForFinished();
    }
    if (status)
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

double meanLevel(const QImage& image)
{
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            sum += std::max({ qRed(p), qGreen(p), qBlue(p) });
        }
    return image.isNull() ? 0.0 : sum / (double(image.width()) * image.height());
}

int litPixels(const QImage& image)
{
    int lit = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            lit += std::max({ qRed(p), qGreen(p), qBlue(p) }) > kLitLevel;
        }
    return lit;
}

bool writeTone(const QString& path, int rate, double seconds)
{
    const int n = int(rate * seconds);
    QByteArray data;
    for (int i = 0; i < n; ++i) {
        const qint16 v
            = qint16(std::lround(12000.0 * std::sin(6.283185307179586 * kToneHz * i / rate)));
        data.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
    }
    auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    const QByteArray wav = "RIFF" + u32(quint32(36 + data.size())) + "WAVEfmt " + u32(16) + u16(1)
        + u16(1) + u32(quint32(rate)) + u32(quint32(rate * 2)) + u16(2) + u16(16) + "data"
        + u32(quint32(data.size())) + data;
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(wav) == wav.size();
}

} // namespace

class tst_VisualiserWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowShowsStrandsResizesAndQuits();
    void fileSoundReachesTheSink();
    void captureFollowsWhatPlays();
    void unreachableDisplayIsOneLine();

private:
    bool startVisualiser(
        QProcess& p, const QStringList& args, const QProcessEnvironment& env, QString* window);
    QImage grab(const QString& window);
    bool startPulse();
    bool quit(QProcess& p, const QString& window, int* status);

    QTemporaryDir dir_;
    QTemporaryDir pulseDir_;
    QProcessEnvironment pulseEnv_;
    bool pulseUp_ = false;
    QProcess xvfb_;
    QProcessEnvironment env_;
    QString missing_;
};

void tst_VisualiserWindow::initTestCase()
{
    for (const char* name : { "Xvfb", "xdotool", "import" })
        if (tool(name).isEmpty())
            missing_ += QLatin1String(name) + QLatin1Char(' ');
    if (!missing_.isEmpty())
        return;
    // A display number of our own.
    int display = 90 + int(getpid() % 400);
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)))
        ++display;
    xvfb_.start(tool("Xvfb"),
        { QStringLiteral(":%1").arg(display), QStringLiteral("-screen"), QStringLiteral("0"),
            QStringLiteral("800x600x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp") });
    for (int i = 0; i < 100 && !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display));
         ++i)
        QThread::msleep(50);
    env_.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env_.insert(QStringLiteral("HOME"), dir_.path());
    env_.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
    // No sound server unless a case starts one: the window then plays without sound.
    env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path());
    env_.insert(QStringLiteral("PULSE_SERVER"),
        QStringLiteral("unix:") + dir_.filePath(QStringLiteral("no-server")));
}

// A private sound server, started once: its own runtime folder, no D-Bus, one null sink.
bool tst_VisualiserWindow::startPulse()
{
    if (pulseUp_)
        return true;
    QFile::setPermissions(pulseDir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    pulseEnv_ = env_;
    pulseEnv_.insert(QStringLiteral("XDG_RUNTIME_DIR"), pulseDir_.path());
    pulseEnv_.insert(QStringLiteral("HOME"), pulseDir_.path());
    // Named outright: a server's address published on the X display would win otherwise.
    pulseEnv_.insert(QStringLiteral("PULSE_SERVER"),
        QStringLiteral("unix:") + pulseDir_.filePath(QStringLiteral("pulse/native")));
    output(tool("pulseaudio"),
        { QStringLiteral("-n"), QStringLiteral("--daemonize=yes"),
            QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=yes"),
            QStringLiteral("--log-target=file:") + pulseDir_.filePath(QStringLiteral("pa.log")),
            QStringLiteral("--load=module-native-protocol-unix"),
            QStringLiteral("--load=module-null-sink sink_name=vis_null rate=48000 channels=2") },
        pulseEnv_);
    for (int i = 0; i < 100 && !pulseUp_; ++i) {
        int status = -1;
        output(tool("pactl"), { QStringLiteral("info") }, pulseEnv_, &status);
        pulseUp_ = status == 0;
        if (!pulseUp_)
            QThread::msleep(50);
    }
    if (pulseUp_)
        output(tool("pactl"), { QStringLiteral("set-default-sink"), QStringLiteral("vis_null") },
            pulseEnv_);
    return pulseUp_;
}

void tst_VisualiserWindow::cleanupTestCase()
{
    if (pulseUp_)
        output(tool("pactl"), { QStringLiteral("exit") }, pulseEnv_);
    if (xvfb_.state() != QProcess::NotRunning) {
        xvfb_.terminate();
        xvfb_.waitForFinished();
    }
}

bool tst_VisualiserWindow::startVisualiser(
    QProcess& p, const QStringList& args, const QProcessEnvironment& env, QString* window)
{
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VISUALISER_EXE),
        QStringList { QStringLiteral("--backend"), QStringLiteral("gles") } + args);
    if (!p.waitForStarted())
        return false;
    for (int i = 0; i < 100; ++i) {
        const QByteArray ids = output(tool("xdotool"),
            // This process's own window: one that an earlier case left may linger a moment.
            { QStringLiteral("search"), QStringLiteral("--pid"), QString::number(p.processId()),
                QStringLiteral("--name"), QStringLiteral("^visualiser: ") },
            env)
                                   .trimmed();
        if (!ids.isEmpty()) {
            *window = QString::fromLatin1(ids.split('\n').first());
            return true;
        }
        if (p.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(100);
    }
    return false;
}

QImage tst_VisualiserWindow::grab(const QString& window)
{
    return QImage::fromData(
        output(
            tool("import"), { QStringLiteral("-window"), window, QStringLiteral("png:-") }, env_),
        "PNG");
}

bool tst_VisualiserWindow::quit(QProcess& p, const QString& window, int* status)
{
    output(tool("xdotool"),
        { QStringLiteral("windowfocus"), QStringLiteral("--sync"), window, QStringLiteral("key"),
            QStringLiteral("q") },
        env_);
    const bool finished = p.waitForFinished(kWaitMs);
    if (!finished) {
        p.kill();
        p.waitForFinished();
    }
    *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return finished;
}

void tst_VisualiserWindow::windowShowsStrandsResizesAndQuits()
{
    if (!missing_.isEmpty() && skipOrFail(QStringLiteral("missing: ") + missing_))
        return;
    QVERIFY2(missing_.isEmpty(), qPrintable(missing_));
    QProcess p;
    auto stop = qScopeGuard([&] {
        p.kill();
        p.waitForFinished();
    });
    QString window;
    QVERIFY(
        startVisualiser(p, { QStringLiteral("--size"), QStringLiteral("320x240") }, env_, &window));
    // The demo opens with a sine sweep at -15 dBFS: the strands are lit within a second.
    QThread::msleep(1500);
    QImage shot = grab(window);
    QCOMPARE(shot.size(), QSize(320, 240));
    const int lit = litPixels(shot);
    QVERIFY2(lit > 200, qPrintable(QStringLiteral("%1 lit pixels").arg(lit)));

    output(tool("xdotool"),
        { QStringLiteral("windowsize"), window, QStringLiteral("480"), QStringLiteral("200") },
        env_);
    QThread::msleep(1000);
    QVERIFY2(p.state() == QProcess::Running,
        qPrintable(QStringLiteral("ended with status %1: %2")
                       .arg(p.exitCode())
                       .arg(QString::fromLocal8Bit(p.readAllStandardError()))));
    shot = grab(window);
    QCOMPARE(shot.size(), QSize(480, 200));
    QVERIFY2(litPixels(shot) > 200,
        qPrintable(QStringLiteral("%1 lit pixels after the resize").arg(litPixels(shot))));

    int status = -1;
    QVERIFY2(quit(p, window, &status), "the window did not quit on its key");
    QCOMPARE(status, 0);
}

void tst_VisualiserWindow::fileSoundReachesTheSink()
{
    if (!missing_.isEmpty() && skipOrFail(QStringLiteral("missing: ") + missing_))
        return;
    if (tool("pulseaudio").isEmpty() || tool("parec").isEmpty()) {
        if (skipOrFail(QStringLiteral("PulseAudio is not installed")))
            return;
        QFAIL("PulseAudio is not installed");
    }
    QVERIFY2(startPulse(), "the private PulseAudio did not start");
    const QProcessEnvironment env = pulseEnv_;
    int status = -1;

    const QString tone = pulseDir_.filePath(QStringLiteral("tone.wav"));
    QVERIFY(writeTone(tone, 44100, 8.0));
    QProcess p;
    auto stop = qScopeGuard([&] {
        p.kill();
        p.waitForFinished();
    });
    QString window;
    QVERIFY2(startVisualiser(
                 p, { QStringLiteral("--size"), QStringLiteral("160x120"), tone }, env, &window),
        p.readAllStandardError().constData());
    QThread::msleep(500);
    // A second and a half of the sink's monitor.
    QProcess rec;
    rec.setProcessEnvironment(env);
    rec.start(tool("parec"),
        { QStringLiteral("-d"), QStringLiteral("vis_null.monitor"), QStringLiteral("--raw"),
            QStringLiteral("--format=s16le"), QStringLiteral("--channels=1"),
            QStringLiteral("--rate=%1").arg(kRecordRateHz), QStringLiteral("--latency-msec=20") });
    QThread::msleep(1500);
    rec.terminate();
    rec.waitForFinished();
    const QByteArray raw = rec.readAllStandardOutput();
    QVERIFY(quit(p, window, &status));
    QCOMPARE(status, 0);

    const int n = int(raw.size() / 2);
    // The monitor delivers in bursts: a tenth of a second is enough to measure the tone.
    QVERIFY2(n > kRecordRateHz / 10, qPrintable(QStringLiteral("recorded %1 samples").arg(n)));
    const auto* s = reinterpret_cast<const qint16*>(raw.constData());
    double energy = 0;
    int crossings = 0;
    for (int i = 0; i < n; ++i) {
        energy += double(s[i]) * s[i];
        if (i > 0 && (s[i - 1] < 0) != (s[i] < 0))
            ++crossings;
    }
    const double rms = std::sqrt(energy / n) / 32768.0;
    const double hz = crossings / 2.0 / (double(n) / kRecordRateHz);
    // The tone peaks at 12000 of 32767 (RMS 0.26); any share of it well above silence will do.
    QVERIFY2(rms > 0.05, qPrintable(QStringLiteral("monitor RMS %1").arg(rms)));
    // Zero crossings give the tone's frequency; the recording's edges may cut into it.
    QVERIFY2(std::fabs(hz - kToneHz) < 0.05 * kToneHz,
        qPrintable(QStringLiteral("monitor tone %1 Hz").arg(hz)));
}

void tst_VisualiserWindow::captureFollowsWhatPlays()
{
#ifndef VISUALISER_CAPTURE
    QSKIP("built without live capture");
#endif
    if (!missing_.isEmpty() && skipOrFail(QStringLiteral("missing: ") + missing_))
        return;
    if (tool("pulseaudio").isEmpty() || tool("paplay").isEmpty()) {
        if (skipOrFail(QStringLiteral("PulseAudio is not installed")))
            return;
        QFAIL("PulseAudio is not installed");
    }
    QVERIFY2(startPulse(), "the private PulseAudio did not start");
    const QString tone = pulseDir_.filePath(QStringLiteral("capture.wav"));
    QVERIFY(writeTone(tone, 48000, 2.0));
    QProcess p;
    auto stop = qScopeGuard([&] {
        p.kill();
        p.waitForFinished();
    });
    QString window;
    QVERIFY(startVisualiser(p,
        { QStringLiteral("--size"), QStringLiteral("200x120"),
            QStringLiteral("--capture=vis_null.monitor") },
        pulseEnv_, &window));
    // Let the capture stream settle on the idle monitor first.
    QThread::msleep(1500);
    QProcess player;
    player.setProcessEnvironment(pulseEnv_);
    player.start(tool("paplay"), { QStringLiteral("-d"), QStringLiteral("vis_null"), tone });
    QThread::msleep(1500);
    const QImage playingShot = grab(window);
    const double playing = meanLevel(playingShot);
    QVERIFY(player.waitForFinished(kWaitMs));
    QVERIFY2(player.exitCode() == 0, player.readAllStandardError().constData());
    // Presence holds 0.4 s after the sound stops and fades in 0.6 s; the bars sink faster.
    QThread::msleep(2500);
    const double after = meanLevel(grab(window));
    QVERIFY2(playing > 1.5 * after,
        qPrintable(QStringLiteral("mean level %1 while the tone plays, %2 after it (%3)")
                       .arg(playing)
                       .arg(after)
                       .arg(QString::fromLocal8Bit(p.readAllStandardError()))));
    int status = -1;
    QVERIFY(quit(p, window, &status));
    QCOMPARE(status, 0);
}

void tst_VisualiserWindow::unreachableDisplayIsOneLine()
{
    int display = 500 + int(getpid() % 400);
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)))
        ++display;
    const QString name = QStringLiteral(":%1").arg(display);
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("DISPLAY"), name);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VISUALISER_EXE), QStringList {});
    QVERIFY(p.waitForFinished(kWaitMs));
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 2,
        qPrintable(
            QStringLiteral("status %1: %2").arg(p.exitCode()).arg(QString::fromLocal8Bit(err))));
    QCOMPARE(QString::fromLocal8Bit(err),
        QStringLiteral("visualiser: cannot open the display '%1'\n").arg(name));
}

QTEST_GUILESS_MAIN(tst_VisualiserWindow)

#include "tst_visualiserwindow.moc"
