// The visualiser's player without its window: its keys and order of play, what goes in its list of
// tracks, and its MPRIS interface as a client on a private session bus sees it. It plays on the
// wall clock (no sound server) but for one case against the private PulseAudio.

#include "mpris.h"
#include "player.h"
#include "playlist.h"
#include "programme.h"

#include "pulseplay.h"
#include "tonefile.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sys/stat.h>

using namespace visualiser;

namespace {

constexpr int kWaitMs = 10000;
constexpr int kRateHz = 44100;
constexpr double kMicrosecondsPerSec = 1e6;
// Time for short.wav to be heard to its end, with room for a loaded machine.
constexpr int kPastShortTrackMs = 6000;
// The playback's stream: time to start; a wait in its write far longer than any between two of
// the server's requests while it plays; how much may read as heard meanwhile (a block and its
// jitter); how long it is watched after a track change, and how often.
constexpr int kStreamSettleMs = 1000;
constexpr int kLongestRequestGapMs = 300;
constexpr double kMostUnheardSec = 0.03;
constexpr int kWatchMs = 2500;
constexpr int kPollMs = 10;
const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool write(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).path()) && f.open(QIODevice::WriteOnly)
        && f.write(data) == data.size();
}

// A ProTracker module ("M.K."): its one pattern's first row plays sample 1, a looped square wave
// of 32 words, at C-2 on the first channel.
QByteArray trackerModule()
{
    QByteArray mod(20 + 31 * 30, '\0');
    mod[20 + 23] = 32; // sample 1: length in words (big-endian),
    mod[20 + 25] = 64; // volume,
    mod[20 + 29] = 32; // loop length in words
    mod += QByteArray("\x01\x7f", 2) + QByteArray(128, '\0') + "M.K.";
    constexpr int kPeriodC2 = 428;
    QByteArray pattern(64 * 4 * 4, '\0');
    pattern[0] = kPeriodC2 >> 8; // sample 1's high bits (0) and the period's
    pattern[1] = char(kPeriodC2 & 0xff);
    pattern[2] = 1 << 4; // sample 1's low bits, no effect
    return mod + pattern + QByteArray(32, 100) + QByteArray(32, -100);
}

} // namespace

class tst_Player : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // The cover art goes to a cache of the test's own.
        qputenv("PULSE_SERVER", ("unix:" + file("no-server")).toUtf8());
        qputenv("XDG_CACHE_HOME", file("cache").toUtf8());
        QVERIFY(writeTone(file("a.wav"), kRateHz, 5.0, 440.0));
        QVERIFY(writeTone(file("b.wav"), kRateHz, 5.0, 440.0));
        QVERIFY(writeTone(file("short.wav"), kRateHz, 0.3, 440.0));
        QVERIFY(::mkfifo(QFile::encodeName(file("fifo")).constData(), 0600) == 0);
        // A picture, and a tone that carries it as its cover, as tagging programs attach one.
        QCOMPARE(QProcess::execute(FFMPEG_EXE,
                     { "-v", "error", "-f", "lavfi", "-i", "color=red:size=8x8", "-frames:v", "1",
                         file("cover.png") }),
            0);
        QCOMPARE(
            QProcess::execute(FFMPEG_EXE,
                { "-v", "error", "-i", file("a.wav"), "-i", file("cover.png"), "-map", "0", "-map",
                    "1", "-c:v", "copy", "-disposition:v", "attached_pic", file("cover.flac") }),
            0);

        const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
        if (daemon.isEmpty())
            return;
        bus_.start(daemon, { "--session", "--nofork", "--print-address=1" });
        QByteArray address;
        while (!address.contains('\n') && bus_.waitForReadyRead(kWaitMs))
            address += bus_.readAllStandardOutput();
        QVERIFY2(address.contains('\n'), "dbus-daemon did not give its address");
        busAddress_ = QString::fromUtf8(address.trimmed());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.trimmed());
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus("client");
        bus_.terminate();
        bus_.waitForFinished();
    }

    void keys_data()
    {
        // Keys pressed in turn on a player of a.wav and b.wav, and where that leaves it.
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("state");
        const auto row = [](const char* name, const char* keys, const char* state) {
            QTest::newRow(name) << QString(keys) << QString(state);
        };
        row("P on the first track starts it again", "P", "track 0, finished 0, volume 1, loop 0");
        row("N then P goes back", "NP", "track 0, finished 0, volume 1, loop 0");
        row("N past the last ends the run", "NN", "track 1, finished 1, volume 1, loop 0");
        row("+ at full volume stays there", "+", "track 0, finished 0, volume 1, loop 0");
        row("- lowers a step", "--", "track 0, finished 0, volume 0.8, loop 0");
        row("+ while muted unmutes", "-M+", "track 0, finished 0, volume 1, loop 0");
        row("M mutes, the volume kept", "-M", "track 0, finished 0, volume 0.9 muted, loop 0");
        row("N leaves a looped track", "LN", "track 1, finished 0, volume 1, loop 1");
        row("L twice loops the list: after the last the first", "LLNN",
            "track 0, finished 0, volume 1, loop 2");
        row("L three times loops nothing", "LLLNN", "track 1, finished 1, volume 1, loop 0");
    }

    void keys()
    {
        QFETCH(QString, keys);
        QFETCH(QString, state);
        auto player = makePlayer({ "a.wav", "b.wav" });
        QSignalSpy ended(player.get(), &Player::finished);
        QVERIFY(player->start());
        for (QChar k : keys)
            QVERIFY2(player->handleKey(k == '+' ? int(Qt::Key_Plus) : int(k.unicode())),
                qPrintable(QString(k)));
        QCOMPARE(QStringLiteral("track %1, finished %2, volume %3%4, loop %5")
                     .arg(player->index())
                     .arg(ended.count())
                     .arg(player->volume(), 0, 'g', 9)
                     .arg(player->muted() ? " muted" : "")
                     .arg(int(player->loop())),
            state);
    }

    void shuffleVisitsEveryTrackOnce()
    {
        constexpr int kTracks = 8;
        auto player = makePlayer(QStringList(kTracks, "short.wav"));
        QSignalSpy ended(player.get(), &Player::finished);
        QVERIFY(player->start());
        player->next();
        QVERIFY(player->handleKey(Qt::Key_S));
        // The one playing stays; the others follow it in another order, each once.
        QList<int> order { player->index() };
        QString seen = QString::number(order[0]);
        while (order.size() < kTracks) {
            player->next();
            order << player->index();
            seen += ' ' + QString::number(order.last());
        }
        QList<int> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        QVERIFY2(order[0] == 1 && sorted == (QList<int> { 0, 1, 2, 3, 4, 5, 6, 7 })
                && order != (QList<int> { 1, 0, 2, 3, 4, 5, 6, 7 }) && ended.isEmpty(),
            qPrintable(seen));
        player->next();
        QVERIFY2(ended.count() == 1, qPrintable(seen));
    }

    void trackHeardToItsEnd_data()
    {
        // short.wav then a.wav: the track that follows short.wav's end under a loop.
        QTest::addColumn<int>("loop");
        QTest::addColumn<int>("index");
        QTest::newRow("no loop: the next track") << int(Loop::None) << 1;
        QTest::newRow("the track looped: the same again") << int(Loop::Track) << 0;
        QTest::newRow("the list looped: the next track") << int(Loop::Playlist) << 1;
    }

    void trackHeardToItsEnd()
    {
        QFETCH(int, loop);
        QFETCH(int, index);
        auto player = makePlayer({ "short.wav", "a.wav" });
        QVERIFY(player->start());
        player->setLoop(Loop(loop));
        QTRY_VERIFY_WITH_TIMEOUT(player->generation() > 1, kPastShortTrackMs);
        QVERIFY2(player->index() == index,
            qPrintable(QStringLiteral("track %1 after the first ended").arg(player->index())));
    }

    void inputsExpand_data()
    {
        // Files made in a fresh folder, as NAME or NAME=CONTENT ('|' for a line break); the inputs
        // and the tracks they give, relative to the folder; how many problem lines.
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("inputs");
        QTest::addColumn<QStringList>("tracks");
        QTest::addColumn<int>("problems");
        QTest::newRow("a folder's tracker modules")
            << QStringList { "m/b.mod", "m/a.XM", "m/c.it", "m/d.s3m", "m/notes.txt" }
            << QStringList { "m" } << QStringList { "m/a.XM", "m/b.mod", "m/c.it", "m/d.s3m" } << 0;
        QTest::newRow("a playlist: relative entries from its folder, comments skipped")
            << QStringList { "l/p.m3u=#EXTM3U|#EXTINF:3,x|../a.wav|sub/b.flac\r|" }
            << QStringList { "l/p.m3u", "c.wav" }
            << QStringList { "l/../a.wav", "l/sub/b.flac", "c.wav" } << 0;
        QTest::newRow("an m3u8 with a byte order mark and an absolute entry")
            << QStringList { "l/p.M3U8=\xEF\xBB\xBFz.ogg|/abs/y.mp3" } << QStringList { "l/p.M3U8" }
            << QStringList { "l/z.ogg", "/abs/y.mp3" } << 0;
        QTest::newRow("a playlist with nothing to play")
            << QStringList { "p.m3u=#EXTM3U||" } << QStringList { "p.m3u" } << QStringList {} << 1;
    }

    void inputsExpand()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, inputs);
        QFETCH(QStringList, tracks);
        QFETCH(int, problems);
        QTemporaryDir root;
        const auto full = [&root](const QString& name) {
            return name.startsWith('/') ? name : root.filePath(name);
        };
        for (const QString& f : files)
            QVERIFY(
                write(full(f.section('=', 0, 0)), f.section('=', 1).replace('|', '\n').toUtf8()));
        std::vector<std::string> given;
        for (const QString& i : inputs)
            given.push_back(QFile::encodeName(full(i)).toStdString());
        std::vector<std::string> said;
        QStringList got;
        for (const std::string& g : expandInputs(given, &said))
            got << QString::fromStdString(g);
        std::transform(tracks.begin(), tracks.end(), tracks.begin(), full);
        QVERIFY2(got == tracks && int(said.size()) == problems,
            qPrintable(
                QStringLiteral("tracks '%1', %2 problems").arg(got.join('|')).arg(said.size())));
    }

    void trackerModulePlays()
    {
        QVERIFY(write(file("song.mod"), trackerModule()));
        std::string why;
        const auto feed = openProgramme(QFile::encodeName(file("song.mod")).toStdString(), &why);
        QVERIFY2(feed, why.c_str());
        std::vector<float> mono(size_t(feed->sampleRate() / 2));
        const int got = feed->read(mono.data(), int(mono.size()), nullptr);
        float peak = 0.0f;
        for (int i = 0; i < got; ++i)
            peak = std::max(peak, std::abs(mono[size_t(i)]));
        QVERIFY2(got == int(mono.size()) && peak > 0.01f,
            qPrintable(QStringLiteral("%1 samples, peak %2").arg(got).arg(peak)));
    }

    void bus_data()
    {
        // The first track (then b.wav), the steps taken over the bus, and what the client then
        // reads.
        QTest::addColumn<QString>("track");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("checks");
        QTest::newRow("a file seeks") << "a.wav" << QStringList { "Seek 2" }
                                      << QStringList { "CanSeek=true", "Position>1.9" };
        QTest::newRow("a pipe does not seek")
            << "fifo" << QStringList { "Seek 2" } << QStringList { "CanSeek=false", "Position<1" };
        QTest::newRow("Stop goes back to the start")
            << "a.wav" << QStringList { "Seek 2", "Stop" }
            << QStringList { "PlaybackStatus=Stopped", "Position<0.001" };
        QTest::newRow("Play after Stop starts the track over")
            << "a.wav" << QStringList { "Seek 2", "Stop", "Play" }
            << QStringList { "PlaybackStatus=Playing", "Position<1",
                   "mpris:trackid=/org/mpris/MediaPlayer2/track/0" };
        QTest::newRow("SetPosition in the track seeks")
            << "a.wav" << QStringList { "SetPosition 3" }
            << QStringList { "Position>2.9", "xesam:title=a.wav" };
        QTest::newRow("SetPosition past the end is ignored")
            << "a.wav" << QStringList { "SetPosition 6" }
            << QStringList { "Position<1", "xesam:title=a.wav" };
        QTest::newRow("LoopStatus and Shuffle are answered")
            << "a.wav" << QStringList { "Next", "LoopStatus=Playlist", "Shuffle=true" }
            << QStringList { "LoopStatus=Playlist", "Shuffle=true", "CanGoNext=true" };
        QTest::newRow("an unknown LoopStatus changes nothing")
            << "a.wav" << QStringList { "LoopStatus=Track", "LoopStatus=Forever" }
            << QStringList { "LoopStatus=Track" };
        QTest::newRow("the embedded cover")
            << "cover.flac" << QStringList {} << QStringList { "mpris:artUrl~cover.png" };
        // MPRIS clients find the program's icon and name through the desktop entry it names.
        QTest::newRow("the desktop entry is the package's")
            << "a.wav" << QStringList {} << QStringList { "DesktopEntry@data/%1.desktop" };
        QTest::newRow("no cover, no art")
            << "a.wav" << QStringList {} << QStringList { "mpris:artUrl=" };
    }

    void bus()
    {
        QFETCH(QString, track);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, checks);
        // Under CI=true what a test needs must be there: a failure instead of a skip.
        if (busAddress_.isEmpty()) {
            QVERIFY2(!pulseplay::ci(), "dbus-daemon is not installed");
            QSKIP("dbus-daemon is not installed");
        }
        QProcess writer;
        if (track == "fifo")
            writer.start("sh", { "-c", "exec cat \"$0\" > \"$1\"", file("a.wav"), file(track) });
        auto player = makePlayer({ track, "b.wav" });
        QVERIFY(player->start());
        Mpris mpris(*player, nullptr);
        QCOMPARE(mpris.publish(), QString());
        service_ = mpris.serviceName();
        for (const QString& s : steps)
            QVERIFY2(step(s, *player), qPrintable(s));
        for (const QString& c : checks)
            QVERIFY2(check(c).isEmpty(), qPrintable(c + ": " + check(c)));
        player->finish();
        writer.kill();
        writer.waitForFinished();
    }

    // A fresh stream can wait for an idle sink to wake (the null sink's: 0.7 to 2 s) before it
    // plays a sample, while the playback thread has filled what the server took and waits in its
    // write. So long a wait is no pause between two of the server's requests: nothing was played,
    // and the position stays where the track began.
    void positionIsWhatTheSinkPlayed()
    {
        const QString server = QStringLiteral("unix:" PULSE_DIR "/runtime/pulse/native");
        if (!pulseplay::pulseServer("start") || !QFile::exists(server.mid(5))) {
            QVERIFY2(!pulseplay::ci(), "the private PulseAudio did not start");
            QSKIP("the private PulseAudio did not start");
        }
        const QByteArray noServer = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", server.toUtf8());
        auto restore = qScopeGuard([&noServer] { qputenv("PULSE_SERVER", noServer); });
        auto player = makePlayer({ "a.wav", "b.wav" });
        QVERIFY(player->start());
        QTest::qWait(kStreamSettleMs);
        player->next();
        QElapsedTimer since;
        since.start();
        std::int64_t written = -1;
        qint64 stillSinceMs = 0;
        double heardThenSec = 0.0;
        while (since.elapsed() < kWatchMs) {
            const Playback& p = *player->playback();
            const double heardSec = double(p.heardSamples()) / kRateHz;
            if (p.writtenSamples() != written) {
                written = p.writtenSamples();
                stillSinceMs = since.elapsed();
                heardThenSec = heardSec;
            }
            const qint64 stillMs = since.elapsed() - stillSinceMs;
            QVERIFY2(stillMs < kLongestRequestGapMs || heardSec - heardThenSec <= kMostUnheardSec,
                qPrintable(
                    QStringLiteral("at %1 ms: %2 s heard, %3 s more than when the server last "
                                   "took a block, %4 ms before")
                        .arg(since.elapsed())
                        .arg(heardSec)
                        .arg(heardSec - heardThenSec)
                        .arg(stillMs)));
            QTest::qWait(kPollMs);
        }
        player->finish();
    }

private:
    QString file(const QString& name) const { return dir_.filePath(name); }
    // The player as the window drives it: its pause requests toggle its pause.
    std::unique_ptr<Player> makePlayer(const QStringList& tracks)
    {
        std::vector<std::string> paths;
        for (const QString& t : tracks)
            paths.push_back(QFile::encodeName(file(t)).toStdString());
        auto player = std::make_unique<Player>(paths, 1);
        Player* p = player.get();
        connect(p, &Player::pauseToggleWanted, p, [p] { p->setPaused(!p->paused()); });
        return player;
    }

    // Calls out of a connection of its own while this thread's event loop answers as the player.
    QDBusMessage call(const QDBusMessage& message)
    {
        QDBusPendingCall pending
            = QDBusConnection::connectToBus(busAddress_, "client").asyncCall(message, kWaitMs);
        QElapsedTimer waited;
        waited.start();
        while (!pending.isFinished() && waited.elapsed() < kWaitMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return pending.reply();
    }

    QVariant property(const QString& interface, const QString& name)
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            service_, kPath, "org.freedesktop.DBus.Properties", "Get");
        get << interface << name;
        const QVariant value = call(get).arguments().value(0).value<QDBusVariant>().variant();
        if (value.userType() == qMetaTypeId<QDBusArgument>())
            return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
        return value;
    }

    // A method of the player interface, given seconds for Seek and SetPosition (on the track
    // playing), or NAME=VALUE to set a property.
    bool step(const QString& step, const Player& player)
    {
        const QStringList parts = step.split(QRegularExpression(QStringLiteral("[ =]")));
        const auto us = qlonglong(parts.value(1).toDouble() * kMicrosecondsPerSec);
        QDBusMessage m
            = QDBusMessage::createMethodCall(service_, kPath, kPlayerInterface, parts[0]);
        if (step.contains('=')) {
            m = QDBusMessage::createMethodCall(
                service_, kPath, "org.freedesktop.DBus.Properties", "Set");
            m << kPlayerInterface << parts[0]
              << QVariant::fromValue(QDBusVariant(
                     parts[0] == "Shuffle" ? QVariant(parts[1] == "true") : QVariant(parts[1])));
        } else if (parts[0] == "Seek") {
            m << us;
        } else if (parts[0] == "SetPosition") {
            m << QVariant::fromValue(
                QDBusObjectPath(kPath + "/track/" + QString::number(player.index())))
              << us;
        }
        return call(m).type() == QDBusMessage::ReplyMessage;
    }

    // Empty when the check holds, else what was found: NAME=TEXT for a property or a metadata key
    // (with a ':'), Position<SECONDS or Position>SECONDS, mpris:artUrl~FILE for a URL into the
    // test's cache of a copy of FILE, or NAME@PATH for a file of the source tree PATH names with
    // %1 for the value.
    QString check(const QString& check)
    {
        const qsizetype at = check.indexOf(QRegularExpression(QStringLiteral("[=<>~@]")));
        const QString name = check.left(at);
        const QString want = check.mid(at + 1);
        QVariant got = name.contains(':')
            ? property(kPlayerInterface, "Metadata").toMap().value(name)
            : property(name == "DesktopEntry" ? "org.mpris.MediaPlayer2" : kPlayerInterface, name);
        if (got.userType() == qMetaTypeId<QDBusObjectPath>())
            got = got.value<QDBusObjectPath>().path();
        const QString text = got.toString();
        const double sec = double(got.toLongLong()) / kMicrosecondsPerSec;
        bool holds = text == want;
        if (check[at] == '<')
            holds = got.isValid() && sec < want.toDouble();
        else if (check[at] == '>')
            holds = sec > want.toDouble();
        else if (check[at] == '~')
            holds = text.startsWith(QUrl::fromLocalFile(file("cache")).toString())
                && readAll(QUrl(text).toLocalFile()) == readAll(file(want));
        else if (check[at] == '@')
            holds = !text.isEmpty() && QFile::exists(BANDCORE_SOURCE_DIR "/" + want.arg(text));
        return holds ? QString() : QStringLiteral("%1 is '%2'").arg(name, text);
    }

    QTemporaryDir dir_;
    QProcess bus_;
    QString busAddress_;
    QString service_;
};

QTEST_GUILESS_MAIN(tst_Player)

#include "tst_player.moc"
