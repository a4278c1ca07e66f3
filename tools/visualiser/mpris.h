// The player on the session bus under MPRIS 2, so that media keys, playerctl and status bars can
// control it: org.mpris.MediaPlayer2.visualiser, or ...visualiser.instance<PID> when that name is
// taken. Play, pause, next, previous, seek, volume; the metadata carries the title, the artist and
// the length; position and status are read as they are.
//
// Contract: publish() returns an empty string once the player is on the bus, else the one-line
// reason it is not (no session bus); the player works the same either way. The bus is never
// started for the program: without DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus there is none.
#ifndef VISUALISER_MPRIS_H
#define VISUALISER_MPRIS_H

#include <QObject>
#include <QString>

namespace visualiser {

class Player;

class Mpris : public QObject {
    Q_OBJECT
public:
    Mpris(Player& player, QObject* window);
    ~Mpris() override;
    QString publish();
    QString serviceName() const { return service_; }

private:
    // Tells the bus that these properties of the player interface changed.
    void changed(const QStringList& names);

    QObject* playerAdaptor_ = nullptr;
    QString service_;
};

} // namespace visualiser

#endif
