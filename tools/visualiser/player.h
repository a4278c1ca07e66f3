// The window's tracks as a player plays them: one at a time in order, each through its own
// Playback, with seeking, next and previous, volume and mute, and the run's exit status.
//
// Contract:
// - start() opens the first track that opens; a track that cannot be opened is said in one line,
//   skipped and counts 2 (here and whenever the player moves onto it); false when none opens.
// - Every change of what plays (another track, or a seek, which opens the file again at the new
//   place, decoding up to it) makes a fresh feed and Playback and bumps generation(), so that the
//   analysis starts over from there. Seeking does nothing on a pipe or standard input.
// - When the last track has been heard, or next() passes it, finished() is emitted once; unless
//   the loop is Playlist (the first track follows the last) or, for a track heard to its end,
//   Track (it plays again from its start). previous() on the first track starts it again.
// - Shuffled, the tracks after the one playing follow in a random order (from the seed), each once.
// - stop() pauses and goes back to the track's start (a pipe only pauses); the player is stopped
//   until it plays again.
// - status() is the worst of the tracks left so far (2 over 3 over 0: 3 for a damaged one, after
//   its warning line); finish() closes the current track into it when the run ends early.
// - Pause, volume and mute carry over from track to track; turning the volume up unmutes.
#ifndef VISUALISER_PLAYER_H
#define VISUALISER_PLAYER_H

#include "playback.h"
#include "playlist.h"

#include "media/feed.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

class QWindow;

namespace visualiser {

constexpr double kSeekStepSec = 5.0;
constexpr double kVolumeStep = 0.1;

enum class Loop { None, Track, Playlist };

class Player : public QObject {
    Q_OBJECT
public:
    explicit Player(std::vector<std::string> tracks, std::uint32_t seed = std::random_device {}());
    ~Player() override;

    bool start();
    void finish();
    int status() const { return status_; }

    media::Feed& programme() { return *programme_; }
    Playback* playback() { return playback_.get(); }
    int generation() const { return generation_; }
    int index() const { return index_; }
    int count() const { return int(tracks_.size()); }
    const TrackTags& tags() const { return tags_; }
    bool seekable() const { return tags_.seekable; }
    double positionSec() const;
    bool paused() const { return paused_; }
    bool stopped() const { return stopped_; }
    bool canGoNext() const { return pos_ + 1 < count() || loop_ == Loop::Playlist; }
    Loop loop() const { return loop_; }
    bool shuffled() const { return shuffled_; }
    double volume() const { return volume_; }
    bool muted() const { return muted_; }

    // The window's keys: Left/Right, N/P, +/-, M, S (shuffle), L (the loops in turn). False for
    // any other key.
    bool handleKey(int key);
    // What the window's pause changed.
    void setPaused(bool paused);
    // Asks the window to pause or play (it owns the pause, with the picture's).
    void requestPaused(bool paused);

    void next();
    void previous();
    void stop();
    void seekBy(double sec);
    void seekTo(double sec);
    void setVolume(double volume);
    void setMuted(bool muted);
    void setLoop(Loop loop);
    void setShuffled(bool shuffled);

signals:
    void trackChanged();
    void seeked();
    void pauseToggleWanted();
    void pausedChanged();
    void volumeChanged();
    void orderChanged();
    void finished();

private:
    // Opens the track at place pos of the order at startSec, walking by step past tracks that do
    // not open; false when it walks off the list.
    bool openFrom(int pos, int step, double startSec);
    void advance(bool heardToTheEnd);
    bool openAt(int i, double startSec);
    void leaveTrack(bool account);
    void poll();
    void applyGain();

    std::vector<std::string> tracks_;
    int index_ = -1;
    // The order of play: track indices, and the place in it of the one playing.
    std::vector<int> order_;
    int pos_ = -1;
    std::mt19937 random_;
    Loop loop_ = Loop::None;
    bool shuffled_ = false;
    bool stopped_ = false;
    TrackTags tags_;
    std::unique_ptr<media::Feed> programme_;
    std::unique_ptr<Playback> playback_;
    std::int64_t offsetSamples_ = 0;
    int generation_ = 0;
    int status_ = 0;
    bool soundSaid_ = false;
    bool paused_ = false;
    bool muted_ = false;
    bool done_ = false;
    double volume_ = 1.0;
    QTimer poll_;
};

// The window follows the player: its title names the track, which also shows over the visual for a
// few seconds as it starts (TitleOverlay); the player's pause requests reach togglePause (the
// window's own pause, of picture and sound together); the window closes once the player finished.
void attachWindow(Player& player, QWindow& window, std::function<void()> togglePause);

} // namespace visualiser

#endif
