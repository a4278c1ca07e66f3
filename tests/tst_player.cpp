// The visualiser's player without its window: the keys, the order of play (loops, shuffle), what
// goes in the list of tracks (folders with tracker modules, .m3u playlists), and its MPRIS
// interface as a client on a private session bus (a dbus-daemon of its own) sees it. No sound
// server, the player playing on the wall clock, but for one case against the private PulseAudio
// (tests/pulse_server.sh). Skips where dbus-daemon or PulseAudio is missing; with CI=true that
// is a failure instead.

#include "mpris.h"
#include "player.h"
#include "playlist.h"
#include "programme.h"

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
#include <numeric>
#include <sys/stat.h>

using namespace visualiser;

namespace {

constexpr int kWaitMs = 10000;
constexpr int kRateHz = 44100;
constexpr double kTrackSec = 5.0;
constexpr double kShortTrackSec = 0.3;
constexpr int kToneHz = 440;
constexpr double kMicrosecondsPerSec = 1e6;
// Time for a short track to be heard to its end, with room for a loaded machine.
constexpr int kPastShortTrackMs = 1500;
// The playback's stream: time to start, and a wait in its write far longer than any between two
// of the server's requests while it plays; how much may read as heard meanwhile (a block and its
// jitter); how long it is watched after a track change, and how often.
constexpr int kStreamSettleMs = 1000;
constexpr int kLongestRequestGapMs = 300;
constexpr double kMostUnheardSec = 0.03;
constexpr int kWatchMs = 2500;
constexpr int kPollMs = 10;
const QString kPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

int keyFor(QChar c)
{
    return c == QLatin1Char('+') ? int(Qt::Key_Plus) : int(c.toUpper().unicode());
}

// A ProTracker module ("M.K.", four channels): one pattern whose first row plays a looped square
// wave on the first channel, as tracker programs write it.
QByteArray trackerModule()
{
    constexpr int kSampleWords = 32;
    QByteArray mod(20, '\0');
    for (int i = 0; i < 31; ++i) {
        QByteArray header(30, '\0');
        if (i == 0) {
            header[22] = char(kSampleWords >> 8); // length, in words, big-endian
            header[23] = char(kSampleWords & 0xff);
            header[25] = 64; // volume
            header[29] = char(kSampleWords); // the whole sample loops
        }
        mod += header;
    }
    mod += char(1); // song length, in patterns
    mod += char(127);
    mod += QByteArray(128, '\0'); // the order: pattern 0
    mod += "M.K.";
    QByteArray pattern(64 * 4 * 4, '\0');
    constexpr int kPeriodC2 = 428;
    pattern[0] = char(kPeriodC2 >> 8); // sample 1's high bits (0) and the period's
    pattern[1] = char(kPeriodC2 & 0xff);
    pattern[2] = char(1 << 4); // sample 1's low bits, no effect
    mod += pattern;
    for (int i = 0; i < kSampleWords * 2; ++i)
        mod += char(i < kSampleWords ? 100 : -100);
    return mod;
}

} // namespace

class tst_Player : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void keys_data();
    void keys();
    void shuffleVisitsEveryTrackOnce();
    void trackHeardToItsEnd_data();
    void trackHeardToItsEnd();
    void inputsExpand_data();
    void inputsExpand();
    void trackerModulePlays();
    void bus_data();
    void bus();
    void desktopEntryIsInstalled();
    void positionIsWhatTheSinkPlayed();

private:
    QString file(const QString& name) const { return dir_.filePath(name); }
    // The player as the window drives it: its pause requests toggle its pause.
    std::unique_ptr<Player> makePlayer(const QStringList& tracks, std::uint32_t seed = 1);
    QDBusMessage call(const QDBusMessage& message);
    QVariant property(const QString& interface, const QString& name);
    bool step(const QString& step, Player& player);
    QString check(const QString& check);
    bool busReady();

    QTemporaryDir dir_;
    QProcess bus_;
    QString busAddress_;
    QString service_;
};

void tst_Player::initTestCase()
{
    QVERIFY(dir_.isValid());
    // No sound server: the player plays on the wall clock. The cover art goes to a cache of the
    // test's own.
    qputenv("PULSE_SERVER", ("unix:" + file(QStringLiteral("no-server"))).toUtf8());
    qputenv("XDG_CACHE_HOME", file(QStringLiteral("cache")).toUtf8());
    QVERIFY(writeTone(file(QStringLiteral("a.wav")), kRateHz, kTrackSec, kToneHz));
    QVERIFY(writeTone(file(QStringLiteral("b.wav")), kRateHz, kTrackSec, kToneHz));
    QVERIFY(writeTone(file(QStringLiteral("short.wav")), kRateHz, kShortTrackSec, kToneHz));
    QVERIFY(::mkfifo(QFile::encodeName(file(QStringLiteral("fifo"))).constData(), 0600) == 0);

    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return;
    bus_.start(daemon,
        { QStringLiteral("--session"), QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1") });
    QByteArray address;
    while (!address.contains('\n') && bus_.waitForReadyRead(kWaitMs))
        address += bus_.readAllStandardOutput();
    QVERIFY2(address.contains('\n'), "dbus-daemon did not give its address");
    busAddress_ = QString::fromUtf8(address.trimmed());
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.trimmed());
}

void tst_Player::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    if (bus_.state() != QProcess::NotRunning) {
        bus_.terminate();
        bus_.waitForFinished();
    }
}

std::unique_ptr<Player> tst_Player::makePlayer(const QStringList& tracks, std::uint32_t seed)
{
    std::vector<std::string> paths;
    for (const QString& t : tracks)
        paths.push_back(QFile::encodeName(file(t)).toStdString());
    auto player = std::make_unique<Player>(paths, seed);
    Player* p = player.get();
    connect(p, &Player::pauseToggleWanted, p, [p] { p->setPaused(!p->paused()); });
    return player;
}

void tst_Player::keys_data()
{
    // Keys pressed in turn on a player of a.wav and b.wav: '+', '-', M, N, P, L, S.
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<double>("volume");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<int>("loop");
    QTest::newRow("P on the first track starts it again") << "P" << 0 << false << 1.0 << false << 0;
    QTest::newRow("N then P goes back") << "NP" << 0 << false << 1.0 << false << 0;
    QTest::newRow("N past the last ends the run") << "NN" << 1 << true << 1.0 << false << 0;
    QTest::newRow("+ at full volume stays there") << "+" << 0 << false << 1.0 << false << 0;
    QTest::newRow("- lowers a step") << "--" << 0 << false << 0.8 << false << 0;
    QTest::newRow("+ while muted unmutes") << "-M+" << 0 << false << 1.0 << false << 0;
    QTest::newRow("M mutes, the volume kept") << "-M" << 0 << false << 0.9 << true << 0;
    QTest::newRow("L loops the track") << "L" << 0 << false << 1.0 << false << 1;
    QTest::newRow("L twice loops the list: after the last the first")
        << "LLNN" << 0 << false << 1.0 << false << 2;
    QTest::newRow("L three times loops nothing") << "LLLNN" << 1 << true << 1.0 << false << 0;
}

void tst_Player::keys()
{
    QFETCH(QString, keys);
    QFETCH(int, index);
    QFETCH(bool, finished);
    QFETCH(double, volume);
    QFETCH(bool, muted);
    QFETCH(int, loop);
    auto player = makePlayer({ QStringLiteral("a.wav"), QStringLiteral("b.wav") });
    QSignalSpy ended(player.get(), &Player::finished);
    QVERIFY(player->start());
    for (int i = 0; i < keys.size(); ++i)
        QVERIFY2(player->handleKey(keyFor(keys[i])), qPrintable(QString(keys[i])));
    QVERIFY2(player->index() == index && (ended.count() == 1) == finished
            && std::abs(player->volume() - volume) < 1e-9 && player->muted() == muted
            && int(player->loop()) == loop,
        qPrintable(QStringLiteral("after '%1': track %2, finished %3, volume %4, muted %5, loop %6")
                       .arg(keys)
                       .arg(player->index())
                       .arg(ended.count())
                       .arg(player->volume())
                       .arg(player->muted())
                       .arg(int(player->loop()))));
}

void tst_Player::shuffleVisitsEveryTrackOnce()
{
    constexpr int kTracks = 8;
    QStringList tracks;
    for (int i = 0; i < kTracks; ++i)
        tracks << QStringLiteral("short.wav");
    auto player = makePlayer(tracks);
    QSignalSpy ended(player.get(), &Player::finished);
    QVERIFY(player->start());
    player->next();
    QVERIFY(player->handleKey(Qt::Key_S));
    // The one playing stays; the others follow it in another order, each once.
    QList<int> order { player->index() };
    for (int i = 1; i < kTracks; ++i) {
        player->next();
        order << player->index();
    }
    QList<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    QList<int> all(kTracks);
    std::iota(all.begin(), all.end(), 0);
    QList<int> unshuffled = all;
    unshuffled.move(1, 0);
    QStringList names;
    for (int i : order)
        names << QString::number(i);
    const QString seen = QStringLiteral("order %1").arg(names.join(QLatin1Char(' ')));
    QVERIFY2(order.first() == 1 && sorted == all && order != unshuffled && ended.isEmpty(),
        qPrintable(seen));
    player->next();
    QVERIFY2(ended.count() == 1, qPrintable(seen));
}

void tst_Player::trackHeardToItsEnd_data()
{
    // short.wav then a.wav, under a loop: the track that follows short.wav's end.
    QTest::addColumn<int>("loop");
    QTest::addColumn<int>("index");
    QTest::newRow("no loop: the next track") << int(Loop::None) << 1;
    QTest::newRow("the track looped: the same again") << int(Loop::Track) << 0;
    QTest::newRow("the list looped: the next track") << int(Loop::Playlist) << 1;
}

void tst_Player::trackHeardToItsEnd()
{
    QFETCH(int, loop);
    QFETCH(int, index);
    auto player = makePlayer({ QStringLiteral("short.wav"), QStringLiteral("a.wav") });
    QVERIFY(player->start());
    player->setLoop(Loop(loop));
    QTRY_VERIFY_WITH_TIMEOUT(player->generation() > 1, kPastShortTrackMs * 4);
    QVERIFY2(player->index() == index,
        qPrintable(QStringLiteral("track %1 after the first ended").arg(player->index())));
}

void tst_Player::inputsExpand_data()
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

void tst_Player::inputsExpand()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, inputs);
    QFETCH(QStringList, tracks);
    QFETCH(int, problems);
    QTemporaryDir root;
    const auto full = [&root](const QString& name) {
        return name.startsWith(QLatin1Char('/')) ? name : root.filePath(name);
    };
    for (const QString& f : files) {
        const QString name = f.section(QLatin1Char('='), 0, 0);
        QVERIFY(QDir().mkpath(QFileInfo(full(name)).path()));
        QFile out(full(name));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(f.section(QLatin1Char('='), 1).replace(QLatin1Char('|'), '\n').toUtf8());
    }
    std::vector<std::string> given;
    for (const QString& i : inputs)
        given.push_back(QFile::encodeName(full(i)).toStdString());
    std::vector<std::string> said;
    const std::vector<std::string> got = expandInputs(given, &said);
    QStringList gotNames;
    for (const std::string& g : got)
        gotNames << QString::fromStdString(g);
    QStringList wanted;
    for (const QString& t : tracks)
        wanted << full(t);
    QVERIFY2(gotNames == wanted && int(said.size()) == problems,
        qPrintable(QStringLiteral("tracks '%1', %2 problems")
                       .arg(gotNames.join(QLatin1Char('|')))
                       .arg(said.size())));
}

void tst_Player::trackerModulePlays()
{
    const QString path = file(QStringLiteral("song.mod"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(trackerModule()) > 0);
    out.close();
    std::string why;
    const auto feed = openProgramme(QFile::encodeName(path).toStdString(), &why);
    QVERIFY2(feed, why.c_str());
    std::vector<float> mono(size_t(feed->sampleRate() / 2));
    const int got = feed->read(mono.data(), int(mono.size()), nullptr);
    float peak = 0.0f;
    for (int i = 0; i < got; ++i)
        peak = std::max(peak, std::abs(mono[size_t(i)]));
    QVERIFY2(got == int(mono.size()) && peak > 0.01f,
        qPrintable(QStringLiteral("%1 samples, peak %2").arg(got).arg(peak)));
}

bool tst_Player::busReady()
{
    if (!busAddress_.isEmpty())
        return true;
    if (qEnvironmentVariable("CI") == QLatin1String("true"))
        QTest::qFail("dbus-daemon is not installed", __FILE__, __LINE__);
    else
        QTest::qSkip("dbus-daemon is not installed", __FILE__, __LINE__);
    return false;
}

// Calls out of a connection of its own while this thread's event loop answers as the player.
QDBusMessage tst_Player::call(const QDBusMessage& message)
{
    QDBusConnection client = QDBusConnection::connectToBus(busAddress_, QStringLiteral("client"));
    QDBusPendingCall pending = client.asyncCall(message, kWaitMs);
    QElapsedTimer waited;
    waited.start();
    while (!pending.isFinished() && waited.elapsed() < kWaitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pending.reply();
}

QVariant tst_Player::property(const QString& interface, const QString& name)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service_, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << name;
    const QVariant value = call(get).arguments().value(0).value<QDBusVariant>().variant();
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value;
}

// A method of the player interface ("Seek 2" in seconds, "SetPosition 9" on the track playing),
// or NAME=VALUE for a property.
bool tst_Player::step(const QString& step, Player& player)
{
    const QString name = step.section(QRegularExpression(QStringLiteral("[ =]")), 0, 0);
    const QString value = step.section(QRegularExpression(QStringLiteral("[ =]")), 1);
    QDBusMessage m;
    if (step.contains(QLatin1Char('='))) {
        m = QDBusMessage::createMethodCall(service_, kPath,
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
        m << kPlayerInterface << name
          << QVariant::fromValue(QDBusVariant(value == QLatin1String("true") ? QVariant(true)
                     : value == QLatin1String("false")                       ? QVariant(false)
                                                                             : QVariant(value)));
    } else {
        m = QDBusMessage::createMethodCall(service_, kPath, kPlayerInterface, name);
        const auto us = qlonglong(value.toDouble() * kMicrosecondsPerSec);
        if (name == QLatin1String("Seek"))
            m << us;
        else if (name == QLatin1String("SetPosition"))
            m << QVariant::fromValue(
                QDBusObjectPath(QStringLiteral("%1/track/%2").arg(kPath).arg(player.index())))
              << us;
    }
    return call(m).type() == QDBusMessage::ReplyMessage;
}

// Empty when the check holds: NAME=VALUE, NAME<SECONDS or NAME>SECONDS for a player property
// (Position in seconds), a metadata key (with a ':'), or mpris:artUrl~FILE, a URL to a copy of
// FILE; else what was found.
QString tst_Player::check(const QString& check)
{
    const qsizetype at = check.indexOf(QRegularExpression(QStringLiteral("[=<>~]")));
    const QString name = check.left(at);
    const QChar op = check[at];
    const QString want = check.mid(at + 1);
    QVariant got = name.contains(QLatin1Char(':'))
        ? property(kPlayerInterface, QStringLiteral("Metadata")).toMap().value(name)
        : property(kPlayerInterface, name);
    if (got.userType() == qMetaTypeId<QDBusObjectPath>())
        got = got.value<QDBusObjectPath>().path();
    const QString text = got.toString();
    const double number = name == QLatin1String("Position")
        ? double(got.toLongLong()) / kMicrosecondsPerSec
        : got.toDouble();
    bool holds = false;
    if (op == QLatin1Char('='))
        holds = text == want;
    else if (op == QLatin1Char('<'))
        holds = got.isValid() && number < want.toDouble();
    else if (op == QLatin1Char('>'))
        holds = number > want.toDouble();
    else {
        QFile copy(QUrl(text).toLocalFile());
        QFile original(file(want));
        holds = copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly)
            && text.startsWith(QUrl::fromLocalFile(file(QStringLiteral("cache"))).toString())
            && copy.readAll() == original.readAll();
    }
    return holds ? QString() : QStringLiteral("%1 is '%2'").arg(name, text);
}

void tst_Player::bus_data()
{
    // The first track (then b.wav), the steps taken over the bus, and what the client then reads.
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
    QTest::newRow("no cover, no art")
        << "a.wav" << QStringList {} << QStringList { "mpris:artUrl=" };
}

void tst_Player::bus()
{
    QFETCH(QString, track);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, checks);
    if (!busReady())
        return;
    if (track == QLatin1String("cover.flac") && !QFile::exists(file(track))) {
        // A picture, and a tone that carries it as its cover, as tagging programs attach one.
        const QStringList quiet { QStringLiteral("-v"), QStringLiteral("error"),
            QStringLiteral("-y") };
        QCOMPARE(QProcess::execute(QStringLiteral(FFMPEG_EXE),
                     quiet
                         + QStringList { QStringLiteral("-f"), QStringLiteral("lavfi"),
                             QStringLiteral("-i"), QStringLiteral("color=red:size=8x8"),
                             QStringLiteral("-frames:v"), QStringLiteral("1"),
                             file(QStringLiteral("cover.png")) }),
            0);
        QCOMPARE(QProcess::execute(QStringLiteral(FFMPEG_EXE),
                     quiet
                         + QStringList { QStringLiteral("-i"), file(QStringLiteral("a.wav")),
                             QStringLiteral("-i"), file(QStringLiteral("cover.png")),
                             QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-map"),
                             QStringLiteral("1"), QStringLiteral("-c:v"), QStringLiteral("copy"),
                             QStringLiteral("-disposition:v"), QStringLiteral("attached_pic"),
                             file(track) }),
            0);
    }
    QProcess writer;
    if (track == QLatin1String("fifo"))
        writer.start(QStringLiteral("sh"),
            { QStringLiteral("-c"), QStringLiteral("exec cat \"$0\" > \"$1\""),
                file(QStringLiteral("a.wav")), file(track) });
    auto player = makePlayer({ track, QStringLiteral("b.wav") });
    QVERIFY(player->start());
    Mpris mpris(*player, nullptr);
    const QString published = mpris.publish();
    QVERIFY2(published.isEmpty(), qPrintable(published));
    service_ = mpris.serviceName();
    for (const QString& s : steps)
        QVERIFY2(step(s, *player), qPrintable(s));
    for (const QString& c : checks) {
        const QString found = check(c);
        QVERIFY2(found.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(c, found)));
    }
    player->finish();
    writer.kill();
    writer.waitForFinished();
}

// MPRIS clients find the program's icon and name through the desktop entry it names.
void tst_Player::desktopEntryIsInstalled()
{
    if (!busReady())
        return;
    auto player = makePlayer({ QStringLiteral("a.wav") });
    QVERIFY(player->start());
    Mpris mpris(*player, nullptr);
    QVERIFY(mpris.publish().isEmpty());
    service_ = mpris.serviceName();
    const QString entry
        = property(QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("DesktopEntry"))
              .toString();
    QVERIFY2(!entry.isEmpty()
            && QFile::exists(
                QStringLiteral(BANDCORE_SOURCE_DIR "/data/") + entry + QStringLiteral(".desktop")),
        qPrintable(QStringLiteral("DesktopEntry '%1'").arg(entry)));
    player->finish();
}

// A fresh stream can wait for an idle sink to wake (the null sink's: 0.7 to 2 s) before it plays a
// sample, while the playback thread has filled what the server took and waits in its write. So
// long a wait is no pause between two of the server's requests (a fraction of the 200 ms queue):
// nothing was played, and the position stays where the track began.
void tst_Player::positionIsWhatTheSinkPlayed()
{
    const QString server = QStringLiteral("unix:" PULSE_DIR "/runtime/pulse/native");
    if (QProcess::execute(QStringLiteral(PULSE_SERVER_SCRIPT),
            { QStringLiteral("start"), QStringLiteral(PULSE_DIR) })
            != 0
        || !QFile::exists(server.mid(5))) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL("the private PulseAudio did not start");
        QSKIP("the private PulseAudio did not start");
    }
    const QByteArray noServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", server.toUtf8());
    auto restore = qScopeGuard([&noServer] { qputenv("PULSE_SERVER", noServer); });
    auto player = makePlayer({ QStringLiteral("a.wav"), QStringLiteral("b.wav") });
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
            qPrintable(QStringLiteral("at %1 ms: %2 s heard, %3 s more than when the server last "
                                      "took a block, %4 ms before")
                           .arg(since.elapsed())
                           .arg(heardSec)
                           .arg(heardSec - heardThenSec)
                           .arg(stillMs)));
        QTest::qWait(kPollMs);
    }
    player->finish();
}

QTEST_GUILESS_MAIN(tst_Player)

#include "tst_player.moc"
