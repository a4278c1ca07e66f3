#include "source.h"

#include <sndfile.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace bandview {

namespace {

    // libsndfile words its errors as sentences ("Format not recognised."); they read better as
    // the tail of our own one-line message.
    QString phrase(const QString& text)
    {
        QString s = text.trimmed();
        while (s.endsWith(QLatin1Char('.')))
            s.chop(1);
        if (!s.isEmpty())
            s[0] = s[0].toLower();
        return s;
    }

    // Decoders behind libsndfile (mpg123 among them) print notes about damaged streams on
    // standard error. bandview owns that stream: one line for an error, and the live view's
    // terminal. Whatever a decoder finds wrong reaches us through libsndfile's error instead.
    class QuietStderr {
    public:
        QuietStderr()
        {
            std::fflush(stderr);
            saved_ = ::dup(STDERR_FILENO);
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (saved_ >= 0 && null >= 0)
                ::dup2(null, STDERR_FILENO);
            if (null >= 0)
                ::close(null);
        }
        ~QuietStderr()
        {
            if (saved_ < 0)
                return;
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
        QuietStderr(const QuietStderr&) = delete;
        QuietStderr& operator=(const QuietStderr&) = delete;

    private:
        int saved_;
    };

} // namespace

MemorySource::MemorySource(std::vector<float> samples, int sampleRate)
    : samples_(std::move(samples))
    , rate_(sampleRate)
{
}

int MemorySource::read(float* out, int count)
{
    const std::size_t n
        = std::min(samples_.size() - next_, static_cast<std::size_t>(std::max(count, 0)));
    std::memcpy(out, samples_.data() + next_, n * sizeof(float));
    next_ += n;
    return static_cast<int>(n);
}

std::unique_ptr<SoundFileSource> SoundFileSource::open(const QString& path, QString* reason)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *reason = QStringLiteral("no such file");
        return nullptr;
    }
    if (info.isDir()) {
        *reason = QStringLiteral("is a directory");
        return nullptr;
    }
    // Asked first through Qt so that a permission problem is named as such rather than as a
    // decoding failure.
    QFile probe(path);
    if (!probe.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read: %1").arg(phrase(probe.errorString()));
        return nullptr;
    }
    if (probe.size() == 0) {
        *reason = QStringLiteral("file is empty");
        return nullptr;
    }
    probe.close();

    SF_INFO sf {};
    SNDFILE* file = nullptr;
    {
        const QuietStderr quiet;
        file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &sf);
    }
    if (!file) {
        QString why = phrase(QString::fromLocal8Bit(sf_strerror(nullptr)));
        // libsndfile blames an undecodable MPEG stream on the file not being a regular one; the
        // probe above has ruled that out.
        if (why.contains(QLatin1String("regular file")))
            why = QStringLiteral("format not recognised");
        *reason = QStringLiteral("cannot decode: %1").arg(why);
        return nullptr;
    }
    if (sf.samplerate < kMinRateHz || sf.samplerate > kMaxRateHz) {
        *reason = QStringLiteral("sample rate %1 Hz is outside %2..%3 Hz")
                      .arg(sf.samplerate)
                      .arg(kMinRateHz)
                      .arg(kMaxRateHz);
        sf_close(file);
        return nullptr;
    }
    if (sf.channels < 1 || sf.frames == 0) {
        *reason = QStringLiteral("holds no audio");
        sf_close(file);
        return nullptr;
    }
    // libsndfile says SF_COUNT_MAX where it cannot know the length in advance.
    const std::int64_t frames = sf.frames > 0 && sf.frames < std::numeric_limits<sf_count_t>::max()
        ? static_cast<std::int64_t>(sf.frames)
        : -1;
    return std::unique_ptr<SoundFileSource>(
        new SoundFileSource(file, sf.samplerate, sf.channels, frames));
}

SoundFileSource::SoundFileSource(sf_private_tag* file, int rate, int channels, std::int64_t frames)
    : file_(file)
    , rate_(rate)
    , channels_(channels)
    , frames_(frames)
{
}

SoundFileSource::~SoundFileSource()
{
    sf_close(file_);
}

int SoundFileSource::read(float* out, int count)
{
    if (count <= 0)
        return 0;
    float* frames = out;
    if (channels_ > 1) {
        const std::size_t needed
            = static_cast<std::size_t>(count) * static_cast<std::size_t>(channels_);
        if (interleaved_.size() < needed)
            interleaved_.resize(needed);
        frames = interleaved_.data();
    }
    // Some decoders hand out less than asked before the end; only a read of nothing ends it.
    int got = 0;
    const QuietStderr quiet;
    while (got < count) {
        const sf_count_t n = sf_readf_float(
            file_, frames + static_cast<std::size_t>(got) * channels_, count - got);
        if (n <= 0)
            break;
        got += static_cast<int>(n);
    }
    if (got < count && sf_error(file_) != SF_ERR_NO_ERROR) {
        error_ = QStringLiteral("cannot decode: %1")
                     .arg(phrase(QString::fromLocal8Bit(sf_strerror(file_))));
        return -1;
    }
    if (channels_ > 1) {
        const float channels = static_cast<float>(channels_);
        for (int i = 0; i < got; ++i) {
            const float* frame = frames + static_cast<std::size_t>(i) * channels_;
            float sum = 0.0f;
            for (int c = 0; c < channels_; ++c)
                sum += frame[c];
            out[i] = sum / channels;
        }
    }
    return got;
}

} // namespace bandview
