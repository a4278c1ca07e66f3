#include "player.h"

#include "programme.h"
#include "titleoverlay.h"

#include "shell/signals.h"
#include "shell/status.h"
#include "shell/text.h"

#include <QWindow>
#include <Qt>

#include <algorithm>
#include <numeric>
#include <vector>

namespace visualiser {

namespace {

    // How often the end of a track is looked for: well within the gap a listener notices.
    constexpr int kPollMs = 50;
    // The samples read at a time while skipping to a seek's target.
    constexpr int kSkipBlock = 65536;

} // namespace

Player::Player(std::vector<std::string> tracks, std::uint32_t seed)
    : tracks_(std::move(tracks))
    , order_(tracks_.size())
    , random_(seed)
{
    std::iota(order_.begin(), order_.end(), 0);
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &Player::poll);
}

Player::~Player() = default;

bool Player::start()
{
    if (!openFrom(0, 1, 0.0))
        return false;
    poll_.start();
    return true;
}

void Player::finish()
{
    leaveTrack(true);
    poll_.stop();
}

double Player::positionSec() const
{
    if (!programme_)
        return 0.0;
    const std::int64_t heard = playback_ ? playback_->heardSamples() : 0;
    const std::int64_t end = playback_ ? playback_->endSample() : -1;
    return double(offsetSamples_ + (end >= 0 ? std::min(heard, end) : heard))
        / programme_->sampleRate();
}

bool Player::openAt(int i, double startSec)
{
    const bool sameTrack = i == index_ && programme_;
    std::unique_ptr<media::Feed> feed;
    std::int64_t at = 0;
    if (sameTrack && playback_->endSample() < 0) {
        // Onwards in the track the feed in hand reads on from where the playback stopped, so that
        // only the gap is decoded; back, the file opens again.
        const std::int64_t read = offsetSamples_ + playback_->stop();
        if (std::int64_t(startSec * programme_->sampleRate()) >= read) {
            feed = std::move(programme_);
            at = read;
        }
    }
    if (!feed) {
        std::string why;
        feed = openProgramme(tracks_[size_t(i)], &why);
        if (!feed) {
            // A stop signal that ended the wait on a pipe is the run's end, not the file's fault.
            if (shell::stopped())
                return false;
            shell::complain(why);
            status_ = shell::worse(status_, shell::kExitBadInput);
            return false;
        }
    }
    // Decoding up to the target keeps the decoder's account of damage whole.
    const auto target = std::int64_t(startSec * feed->sampleRate());
    std::vector<float> skipped(size_t(std::clamp<std::int64_t>(target - at, 0, kSkipBlock)));
    while (at < target) {
        const int want = int(std::min<std::int64_t>(target - at, kSkipBlock));
        const int got = feed->read(skipped.data(), want, nullptr);
        at += got;
        if (got < want)
            break;
    }
    // A feed opened again decoded everything before the target again, damage included: the old
    // one's account is superseded when it is the same track.
    if (programme_)
        leaveTrack(!sameTrack);
    playback_.reset();
    if (!sameTrack)
        tags_ = readTags(tracks_[size_t(i)]);
    index_ = i;
    programme_ = std::move(feed);
    offsetSamples_ = at;
    playback_ = std::make_unique<Playback>(*programme_);
    QString noSound;
    if (!playback_->start(&noSound) && !soundSaid_) {
        shell::complain(noSound.toStdString() + "; playing without sound");
        soundSaid_ = true;
    }
    playback_->setPaused(paused_);
    applyGain();
    ++generation_;
    return true;
}

bool Player::openFrom(int pos, int step, double startSec)
{
    for (; pos >= 0 && pos < count() && !shell::stopped(); pos += step) {
        if (openAt(order_[size_t(pos)], startSec)) {
            pos_ = pos;
            return true;
        }
    }
    return false;
}

void Player::leaveTrack(bool account)
{
    if (!programme_)
        return;
    // The thread reads the feed; what it found wrong is known once it has stopped.
    playback_.reset();
    const std::string warning
        = !account ? std::string() : damageWarning(tracks_[size_t(index_)], *programme_);
    if (!warning.empty()) {
        shell::complain(warning);
        status_ = shell::worse(status_, shell::kExitDamaged);
    }
    programme_.reset();
}

void Player::poll()
{
    if (!done_ && playback_ && playback_->done())
        advance(true);
}

void Player::next()
{
    advance(false);
}

void Player::advance(bool heardToTheEnd)
{
    if (done_)
        return;
    if (heardToTheEnd && loop_ == Loop::Track && openAt(index_, 0.0)) {
        emit seeked();
        return;
    }
    if (openFrom(pos_ + 1, 1, 0.0) || (loop_ == Loop::Playlist && openFrom(0, 1, 0.0))) {
        emit trackChanged();
        return;
    }
    finish();
    done_ = true;
    emit finished();
}

void Player::previous()
{
    if (done_)
        return;
    // Before the first track the first plays again from its start.
    if (!openFrom(pos_ - 1, -1, 0.0) && !openFrom(pos_, 1, 0.0)) {
        finish();
        done_ = true;
        emit finished();
        return;
    }
    emit trackChanged();
}

void Player::stop()
{
    if (done_ || stopped_)
        return;
    requestPaused(true);
    stopped_ = true;
    if (seekable() && openAt(index_, 0.0))
        emit seeked();
    emit pausedChanged();
}

void Player::seekBy(double sec)
{
    seekTo(positionSec() + sec);
}

void Player::seekTo(double sec)
{
    if (done_ || !seekable())
        return;
    sec = std::max(0.0, sec);
    if (tags_.lengthSec >= 0.0 && sec >= tags_.lengthSec) {
        next();
        return;
    }
    if (!openAt(index_, sec)) {
        next();
        return;
    }
    emit seeked();
}

void Player::setPaused(bool paused)
{
    paused_ = paused;
    if (!paused)
        stopped_ = false;
    if (playback_)
        playback_->setPaused(paused);
    emit pausedChanged();
}

void Player::requestPaused(bool paused)
{
    if (paused != paused_)
        emit pauseToggleWanted();
}

void Player::setVolume(double volume)
{
    volume_ = std::clamp(volume, 0.0, 1.0);
    applyGain();
    emit volumeChanged();
}

void Player::setMuted(bool muted)
{
    muted_ = muted;
    applyGain();
    emit volumeChanged();
}

void Player::setLoop(Loop loop)
{
    loop_ = loop;
    emit orderChanged();
}

void Player::setShuffled(bool shuffled)
{
    shuffled_ = shuffled;
    std::iota(order_.begin(), order_.end(), 0);
    pos_ = index_;
    if (shuffled && index_ >= 0) {
        // The track playing stays where the order starts; the rest follow it shuffled.
        std::swap(order_[0], order_[size_t(index_)]);
        std::shuffle(order_.begin() + 1, order_.end(), random_);
        pos_ = 0;
    }
    emit orderChanged();
}

void Player::applyGain()
{
    // Loudness follows the cube of the amplitude about as the ear hears it, as the sound servers'
    // own sliders assume; equal steps then sound like equal steps.
    if (playback_)
        playback_->setGain(muted_ ? 0.0f : float(volume_ * volume_ * volume_));
}

bool Player::handleKey(int key)
{
    switch (key) {
    case Qt::Key_Left:
        seekBy(-kSeekStepSec);
        return true;
    case Qt::Key_Right:
        seekBy(kSeekStepSec);
        return true;
    case Qt::Key_N:
        next();
        return true;
    case Qt::Key_P:
        previous();
        return true;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        // Turning the sound up is asking to hear it.
        setMuted(false);
        setVolume(volume_ + kVolumeStep);
        return true;
    case Qt::Key_Minus:
        setVolume(volume_ - kVolumeStep);
        return true;
    case Qt::Key_M:
        setMuted(!muted_);
        return true;
    case Qt::Key_S:
        setShuffled(!shuffled_);
        return true;
    case Qt::Key_L:
        setLoop(loop_ == Loop::None    ? Loop::Track
                : loop_ == Loop::Track ? Loop::Playlist
                                       : Loop::None);
        return true;
    default:
        return false;
    }
}

void attachWindow(Player& player, QWindow& window, std::function<void()> togglePause)
{
    auto* overlay = new TitleOverlay(&window);
    const auto announce = [&player, &window, overlay] {
        window.setTitle(QStringLiteral("visualiser: %1").arg(player.tags().display()));
        overlay->show(player.tags().display());
    };
    QObject::connect(&player, &Player::trackChanged, &window, announce);
    // The first track's now, before the window shows: the fonts load here, not while the shown
    // window should already answer its keys and signals.
    announce();
    QObject::connect(&player, &Player::pauseToggleWanted, &window, std::move(togglePause));
    QObject::connect(&player, &Player::finished, &window, &QWindow::close);
}

} // namespace visualiser
