#include "mpris.h"

#include "player.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QStringList>
#include <QVariantMap>
#include <QWindow>

#include <array>

#include <unistd.h>

namespace visualiser {

namespace {

    constexpr double kMicrosecondsPerSec = 1e6;
    // LoopStatus's values, in the order of Loop.
    const std::array<QString, 3> kLoopNames
        = { QStringLiteral("None"), QStringLiteral("Track"), QStringLiteral("Playlist") };

    QString objectPath()
    {
        return QStringLiteral("/org/mpris/MediaPlayer2");
    }

    class RootAdaptor : public QDBusAbstractAdaptor {
        Q_OBJECT
        Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
        Q_PROPERTY(bool CanQuit READ canQuit)
        Q_PROPERTY(bool CanRaise READ canRaise)
        Q_PROPERTY(bool HasTrackList READ hasTrackList)
        Q_PROPERTY(QString Identity READ identity)
        Q_PROPERTY(QString DesktopEntry READ desktopEntry)
        Q_PROPERTY(QStringList SupportedUriSchemes READ none)
        Q_PROPERTY(QStringList SupportedMimeTypes READ none)
    public:
        RootAdaptor(QObject* parent, QWindow* window)
            : QDBusAbstractAdaptor(parent)
            , window_(window)
        {
        }
        bool canQuit() const { return true; }
        bool canRaise() const { return true; }
        bool hasTrackList() const { return false; }
        QString identity() const { return QStringLiteral("visualiser"); }
        // The name of the desktop entry the package installs (data/), without ".desktop".
        QString desktopEntry() const { return QStringLiteral("org.bandcore.Visualiser"); }
        QStringList none() const { return {}; }

    public slots:
        void Raise() { window_->requestActivate(); }
        void Quit() { window_->close(); }

    private:
        QWindow* window_;
    };

    class PlayerAdaptor : public QDBusAbstractAdaptor {
        Q_OBJECT
        Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
        Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
        Q_PROPERTY(QString LoopStatus READ loopStatus WRITE setLoopStatus)
        Q_PROPERTY(bool Shuffle READ shuffle WRITE setShuffle)
        Q_PROPERTY(double Rate READ rate)
        Q_PROPERTY(double MinimumRate READ rate)
        Q_PROPERTY(double MaximumRate READ rate)
        Q_PROPERTY(QVariantMap Metadata READ metadata)
        Q_PROPERTY(double Volume READ volume WRITE setVolume)
        Q_PROPERTY(qlonglong Position READ position)
        Q_PROPERTY(bool CanGoNext READ canGoNext)
        Q_PROPERTY(bool CanGoPrevious READ yes)
        Q_PROPERTY(bool CanPlay READ yes)
        Q_PROPERTY(bool CanPause READ yes)
        Q_PROPERTY(bool CanSeek READ canSeek)
        Q_PROPERTY(bool CanControl READ yes)
    public:
        PlayerAdaptor(QObject* parent, Player& player)
            : QDBusAbstractAdaptor(parent)
            , player_(player)
        {
        }
        QString playbackStatus() const
        {
            return player_.stopped() ? QStringLiteral("Stopped")
                : player_.paused()   ? QStringLiteral("Paused")
                                     : QStringLiteral("Playing");
        }
        QString loopStatus() const { return kLoopNames[size_t(player_.loop())]; }
        void setLoopStatus(const QString& name)
        {
            // An unknown name changes nothing, as MPRIS asks of a value the player does not have.
            for (size_t i = 0; i < kLoopNames.size(); ++i)
                if (name == kLoopNames[i])
                    player_.setLoop(Loop(i));
        }
        bool shuffle() const { return player_.shuffled(); }
        void setShuffle(bool on) { player_.setShuffled(on); }
        double rate() const { return 1.0; }
        bool yes() const { return true; }
        bool canGoNext() const { return player_.canGoNext(); }
        bool canSeek() const { return player_.seekable(); }
        double volume() const { return player_.muted() ? 0.0 : player_.volume(); }
        void setVolume(double v)
        {
            player_.setMuted(false);
            player_.setVolume(v);
        }
        qlonglong position() const { return toMicroseconds(player_.positionSec()); }
        QVariantMap metadata() const
        {
            const TrackTags& t = player_.tags();
            QVariantMap m;
            m.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(trackId()));
            m.insert(QStringLiteral("xesam:title"), t.title);
            if (!t.artist.isEmpty())
                m.insert(QStringLiteral("xesam:artist"), QStringList { t.artist });
            if (t.lengthSec >= 0.0)
                m.insert(QStringLiteral("mpris:length"), toMicroseconds(t.lengthSec));
            if (!t.artUrl.isEmpty())
                m.insert(QStringLiteral("mpris:artUrl"), t.artUrl);
            return m;
        }

    public slots:
        void Next() { player_.next(); }
        void Previous() { player_.previous(); }
        void Pause() { player_.requestPaused(true); }
        void Play() { player_.requestPaused(false); }
        void PlayPause() { player_.requestPaused(!player_.paused()); }
        void Stop() { player_.stop(); }
        void Seek(qlonglong offsetUs) { player_.seekBy(double(offsetUs) / kMicrosecondsPerSec); }
        void SetPosition(const QDBusObjectPath& track, qlonglong positionUs)
        {
            // A position for a track that is no longer playing, or outside the track, is ignored,
            // as MPRIS asks: it is not a skip to the next.
            const double sec = double(positionUs) / kMicrosecondsPerSec;
            const double length = player_.tags().lengthSec;
            if (track == trackId() && sec >= 0.0 && (length < 0.0 || sec <= length))
                player_.seekTo(sec);
        }
        void OpenUri(const QString&) { }

    signals:
        void Seeked(qlonglong positionUs);

    private:
        static qlonglong toMicroseconds(double sec) { return qlonglong(sec * kMicrosecondsPerSec); }
        QDBusObjectPath trackId() const
        {
            return QDBusObjectPath(
                QStringLiteral("/org/mpris/MediaPlayer2/track/%1").arg(player_.index()));
        }

        Player& player_;
    };

    bool sessionBusAvailable()
    {
        if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            return true;
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        return !runtime.isEmpty() && QFile::exists(runtime + QStringLiteral("/bus"));
    }

} // namespace

Mpris::Mpris(Player& player, QObject* window)
{
    new RootAdaptor(this, qobject_cast<QWindow*>(window));
    auto* adaptor = new PlayerAdaptor(this, player);
    playerAdaptor_ = adaptor;
    connect(&player, &Player::trackChanged, this, [this] {
        changed(
            { QStringLiteral("Metadata"), QStringLiteral("CanGoNext"), QStringLiteral("CanSeek") });
    });
    connect(&player, &Player::seeked, adaptor,
        [adaptor] { emit adaptor->Seeked(adaptor->position()); });
    connect(&player, &Player::orderChanged, this, [this] {
        changed({ QStringLiteral("LoopStatus"), QStringLiteral("Shuffle"),
            QStringLiteral("CanGoNext") });
    });
    connect(&player, &Player::pausedChanged, this,
        [this] { changed({ QStringLiteral("PlaybackStatus") }); });
    connect(
        &player, &Player::volumeChanged, this, [this] { changed({ QStringLiteral("Volume") }); });
}

Mpris::~Mpris()
{
    if (!service_.isEmpty())
        QDBusConnection::sessionBus().unregisterService(service_);
}

QString Mpris::publish()
{
    if (!sessionBusAvailable())
        return QStringLiteral("no session bus; media keys and MPRIS control are off");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return QStringLiteral("no session bus (%1); media keys and MPRIS control are off")
            .arg(bus.lastError().message());
    if (!bus.registerObject(objectPath(), this))
        return QStringLiteral("cannot publish the MPRIS object on the session bus");
    const QString name = QStringLiteral("org.mpris.MediaPlayer2.visualiser");
    for (const QString& candidate :
        { name, name + QStringLiteral(".instance%1").arg(::getpid()) }) {
        if (bus.registerService(candidate)) {
            service_ = candidate;
            return {};
        }
    }
    return QStringLiteral("cannot take an MPRIS name on the session bus: %1")
        .arg(bus.lastError().message());
}

void Mpris::changed(const QStringList& names)
{
    if (service_.isEmpty())
        return;
    QVariantMap values;
    for (const QString& name : names)
        values.insert(name, playerAdaptor_->property(name.toLatin1().constData()));
    QDBusMessage signal = QDBusMessage::createSignal(objectPath(),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << values << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

} // namespace visualiser

#include "mpris.moc"
