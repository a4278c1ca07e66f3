// The FFmpeg decoder: every format a music library holds, read from files, standard input and
// FIFOs, and every kind of damage it must absorb and report. The compressed fixtures are made by
// the ffmpeg program in a temporary folder; the PCM ones by libsndfile.

#include "bandviewfiles.h"
#include "describe.h"
#include "heapcounter.h"
#include "media/audiodecoder.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Where a test damages an Ogg stream.
enum OggDamage { MidFile, LastPageCut, BeforeLast, BeforeLastWhole };

constexpr double kTwoPi = 6.283185307179586;
// The fixtures: a stereo file, 0.5 x 1 kHz on the left and 0.5 x 3 kHz on the right, so that the
// mono mix holds each tone at 0.25. A decoder that kept one channel would show 0.5 and 0.
constexpr double kFixtureSec = 2.0;
constexpr double kLeftHz = 1000.0;
constexpr double kRightHz = 3000.0;
constexpr double kMixedAmplitude = 0.25;
// Lossy codecs at their default bit rates keep a pure tone's amplitude within a few percent;
// 10% still tells a mix from a single channel (0.5 or 0) by far.
constexpr double kAmplitudeTolerance = 0.1 * kMixedAmplitude;
// Matches the decoder's allowance for encoder padding.
constexpr double kPaddingSec = 0.25;

std::string bytes(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

std::vector<float> decodeAll(media::AudioDecoder& decoder, int block = 1001)
{
    std::vector<float> mono;
    std::vector<float> buffer(static_cast<std::size_t>(block));
    int got = 0;
    while ((got = decoder.read(buffer.data(), block)) > 0)
        mono.insert(mono.end(), buffer.begin(), buffer.begin() + got);
    return mono;
}

// Amplitude of the component at hz over the whole signal (a single-bin Fourier transform).
double amplitudeAt(const std::vector<float>& s, double hz, int rate)
{
    double re = 0.0;
    double im = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double phase = kTwoPi * hz * static_cast<double>(i) / rate;
        re += s[i] * std::cos(phase);
        im += s[i] * std::sin(phase);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(s.size());
}

std::vector<float> sine(double hz, double amplitude, int rate, double seconds)
{
    std::vector<float> s(static_cast<std::size_t>(rate * seconds));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i]
            = static_cast<float>(amplitude * std::sin(kTwoPi * hz * static_cast<double>(i) / rate));
    return s;
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Makes fd the process's standard input for as long as it lives.
class StdinFrom {
public:
    explicit StdinFrom(int fd)
        : saved_(::dup(STDIN_FILENO))
    {
        ::dup2(fd, STDIN_FILENO);
    }
    ~StdinFrom()
    {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
    }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

private:
    int saved_;
};

// Writes data into fd from another thread, then closes it, as a program at the other end of a
// pipe would.
std::thread feed(int fd, QByteArray data)
{
    return std::thread([fd, data]() {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(
                fd, data.constData() + done, static_cast<std::size_t>(data.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        ::close(fd);
    });
}

} // namespace

class tst_AudioDecoder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void formatsDecodeToTheMix_data();
    void formatsDecodeToTheMix();
    void openFailuresGiveTheReason_data();
    void openFailuresGiveTheReason();
    void vorbisBlockSwitchesAreNotDamage();
    void filesMadeFromVorbisKeepTheirLength_data();
    void filesMadeFromVorbisKeepTheirLength();
    void damagedMp3DecodesPastTheDamage();
    void truncatedFlacSaysHowMuchWasDecoded();
    void damagedOggKeepsItsTimeLine_data();
    void damagedOggKeepsItsTimeLine();
    void nonFiniteSamplesBecomeSilence();
    void readErrorAfterOpenIsRecorded();
    void standardInputAndFifoAreStreams();
    void wavLengthIsTakenOnlyWhenStated_data();
    void wavLengthIsTakenOnlyWhenStated();
    void nonUtf8NameOpens();
    void readAllocatesNothing();
    void signalEndsAWaitingRead();

private:
    // Runs ffmpeg on a generated stereo fixture; extra holds the output options.
    bool makeFixture(const QString& name, int rate, const QStringList& extra, double seconds);
    bool ffmpeg(const QStringList& args);
    QString path(const QString& name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
};

bool tst_AudioDecoder::makeFixture(
    const QString& name, int rate, const QStringList& extra, double seconds)
{
    const QString source
        = QStringLiteral("aevalsrc=0.5*sin(2*PI*%1*t)|0.5*sin(2*PI*%2*t):s=%3:d=%4")
              .arg(kLeftHz)
              .arg(kRightHz)
              .arg(rate)
              .arg(seconds);
    QStringList args { "-f", "lavfi", "-i", source };
    args << extra << "-metadata"
         << "title=Test Tone" << path(name);
    return ffmpeg(args);
}

bool tst_AudioDecoder::ffmpeg(const QStringList& args)
{
    const QStringList all = QStringList { "-v", "error", "-y" } + args;
    QProcess p;
    p.start(QStringLiteral(FFMPEG_EXE), all);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("ffmpeg %s: %s", qPrintable(all.join(' ')), p.readAllStandardError().constData());
        return false;
    }
    return true;
}

void tst_AudioDecoder::initTestCase()
{
    QVERIFY(dir_.isValid());
}

void tst_AudioDecoder::formatsDecodeToTheMix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("tagged"); // the container carries a title tag
    QTest::newRow("WAV 16-bit") << "s16.wav" << 44100 << QStringList {} << true;
    QTest::newRow("WAV 8-bit") << "u8.wav" << 22050 << QStringList { "-c:a", "pcm_u8" } << true;
    QTest::newRow("WAV 24-bit") << "s24.wav" << 96000 << QStringList { "-c:a", "pcm_s24le" }
                                << true;
    QTest::newRow("WAV float") << "f32.wav" << 48000 << QStringList { "-c:a", "pcm_f32le" } << true;
    QTest::newRow("WAV double") << "f64.wav" << 8000 << QStringList { "-c:a", "pcm_f64le" } << true;
    QTest::newRow("AIFF") << "tone.aiff" << 44100 << QStringList {} << true;
    QTest::newRow("W64") << "tone.w64" << 192000 << QStringList {} << false;
    QTest::newRow("CAF") << "tone.caf" << 44100 << QStringList {} << true;
    QTest::newRow("FLAC") << "tone.flac" << 44100 << QStringList {} << true;
    QTest::newRow("ALAC") << "alac.m4a" << 44100 << QStringList { "-c:a", "alac" } << true;
    QTest::newRow("MP3") << "tone.mp3" << 44100 << QStringList {} << true;
    QTest::newRow("AAC in M4A") << "tone.m4a" << 44100 << QStringList {} << true;
    QTest::newRow("AAC raw") << "tone.aac" << 44100 << QStringList {} << false;
    QTest::newRow("Ogg Vorbis") << "tone.ogg" << 44100 << QStringList { "-c:a", "libvorbis" }
                                << true;
    QTest::newRow("Opus") << "tone.opus" << 48000 << QStringList {} << true;
    QTest::newRow("WMA") << "tone.wma" << 44100 << QStringList {} << true;
    // The picture is the first stream; the decoder must find the sound after it.
    QTest::newRow("video") << "video.mp4" << 48000
                           << QStringList { "-f", "lavfi", "-i",
                                  "testsrc=size=64x48:rate=10:duration=2", "-map", "1:v", "-map",
                                  "0:a", "-c:v", "mpeg4" }
                           << true;
}

void tst_AudioDecoder::formatsDecodeToTheMix()
{
    QFETCH(QString, name);
    QFETCH(int, rate);
    QFETCH(QStringList, options);
    QFETCH(bool, tagged);
    QVERIFY(makeFixture(name, rate, options, kFixtureSec));

    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path(name)), &error);
    QVERIFY2(decoder, error.c_str());
    QCOMPARE(decoder->sampleRate(), rate);
    QCOMPARE(decoder->channels(), 2);
    QCOMPARE(QString::fromStdString(decoder->title()), tagged ? "Test Tone" : "");
    const std::vector<float> mono = decodeAll(*decoder);
    const double sec = static_cast<double>(mono.size()) / rate;
    QVERIFY2(std::abs(sec - kFixtureSec) <= kPaddingSec, describe("length", 0, sec, kFixtureSec));
    const double declared = decoder->declaredSec();
    QVERIFY2(declared < 0.0 || std::abs(declared - kFixtureSec) <= kPaddingSec,
        describe("declared length", 0, declared, kFixtureSec));
    const media::DecodeDamage& damage = decoder->damage();
    QVERIFY2(!damage.any(), damage.warning().c_str());
    QCOMPARE(damage.decodedSec, sec);
    const double left = amplitudeAt(mono, kLeftHz, rate);
    const double right = amplitudeAt(mono, kRightHz, rate);
    QVERIFY2(std::abs(left - kMixedAmplitude) <= kAmplitudeTolerance,
        describe("1 kHz amplitude", 0, left, kMixedAmplitude));
    QVERIFY2(std::abs(right - kMixedAmplitude) <= kAmplitudeTolerance,
        describe("3 kHz amplitude", 0, right, kMixedAmplitude));
}

// Clicks make the Vorbis encoder switch between long and short blocks; the Ogg demuxer's packet
// times then jump ahead of the audio, which must not read as lost packets.
void tst_AudioDecoder::vorbisBlockSwitchesAreNotDamage()
{
    const QString name = QStringLiteral("clicks.ogg");
    QVERIFY(ffmpeg({ "-f", "lavfi", "-i",
        "aevalsrc='if(lt(mod(t,0.25),0.01),random(0)*2-1,0.1*sin(2*PI*440*t))':s=44100:d=3", "-c:a",
        "libvorbis", path(name) }));

    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path(name)), &error);
    QVERIFY2(decoder, error.c_str());
    const std::vector<float> mono = decodeAll(*decoder);
    const media::DecodeDamage& damage = decoder->damage();
    QVERIFY2(!damage.any(), damage.warning().c_str());
    const double sec = static_cast<double>(mono.size()) / 44100;
    QVERIFY2(std::abs(sec - 3.0) <= kPaddingSec, describe("length", 0, sec, 3.0));
}

void tst_AudioDecoder::filesMadeFromVorbisKeepTheirLength_data()
{
    // The Ogg demuxer's jittered packet times go into the new container's, where nothing was lost.
    // Zeros mid-Matroska lose a cluster silently; over a FLAC's end, a frame the decoder rejects.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("rate");
    // Zeros written over the file's middle; over its end where negative.
    QTest::addColumn<int>("zeroBytes");
    const QStringList aac { "-c:a", "aac" };
    QTest::newRow("AAC in M4A") << "aac.m4a" << aac << 32000 << 0;
    QTest::newRow("ALAC in M4A") << "alac.m4a" << QStringList { "-c:a", "alac" } << 32000 << 0;
    QTest::newRow("AAC in Matroska") << "aac.mkv" << aac << 32000 << 0;
    QTest::newRow("Opus in Matroska")
        << "opus.mka" << QStringList { "-c:a", "libopus" } << 48000 << 0;
    QTest::newRow("H.264 and AAC in MP4")
        << "h264.mp4"
        << QStringList { "-f", "lavfi", "-i", "testsrc=size=32x24:rate=5:duration=4", "-map", "1:v",
               "-map", "0:a", "-c:v", "libx264", "-c:a", "aac" }
        << 32000 << 0;
    QTest::newRow("AAC in Matroska, zeros mid-file")
        << "zeros.mkv" << aac + QStringList { "-cluster_time_limit", "500" } << 32000 << 2000;
    QTest::newRow("FLAC, zeros over its last frame")
        << "zeros.flac" << QStringList {} << 32000 << -64;
}

void tst_AudioDecoder::filesMadeFromVorbisKeepTheirLength()
{
    QFETCH(QString, name);
    QFETCH(QStringList, options);
    QFETCH(int, rate);
    QFETCH(int, zeroBytes);
    // Noise bursts switch the encoder's blocks: at 32 kHz every container here shows it in 4 s.
    const QString source = path(QStringLiteral("transients.ogg"));
    if (!QFile::exists(source))
        QVERIFY(ffmpeg({ "-f", "lavfi", "-i",
            "aevalsrc='if(lt(mod(t,0.37),0.02),random(0)*2-1,0)+0.05*sin(2*PI*220*t)"
            "+0.03*sin(2*PI*3100*t)':s=32000:d=4",
            "-c:a", "libvorbis", source }));
    QVERIFY(ffmpeg(QStringList { "-i", source } + options + QStringList { path(name) }));
    // ffmpeg's own decoding of the whole file, mono at the decoder's rate, is its length.
    QVERIFY(ffmpeg({ "-i", path(name), "-ac", "1", "-ar", QString::number(rate), "-f", "f32le",
        path("reference.f32") }));
    const double expected = double(readBytes(path("reference.f32")).size()) / sizeof(float);
    QByteArray data = readBytes(path(name));
    const int zeros = std::abs(zeroBytes);
    data.replace(
        zeroBytes > 0 ? data.size() / 2 : data.size() - zeros, zeros, QByteArray(zeros, 0));
    QVERIFY(writeBytes(path(name), data));

    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path(name)), &error);
    QVERIFY2(decoder, error.c_str());
    QCOMPARE(decoder->sampleRate(), rate);
    // One sample a read: the end, in a read of its own, still owes a rejected packet's silence.
    const std::vector<float> mono = decodeAll(*decoder, 1);
    const media::DecodeDamage& damage = decoder->damage();
    QVERIFY2(damage.any() == (zeros > 0) && !damage.truncated(), damage.warning().c_str());
    // Lost audio is silence as long as the packets say; give or take one where a demuxer got lost.
    const double slack = zeroBytes > 0 ? 0.05 * rate : 0.0;
    QVERIFY2(std::abs(double(mono.size()) - expected) <= slack,
        qPrintable(QStringLiteral("%1 samples at %2 Hz, ffmpeg decodes %3 from the whole file")
                       .arg(mono.size())
                       .arg(rate)
                       .arg(expected)));
}

void tst_AudioDecoder::openFailuresGiveTheReason_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "nothing.wav"
                             << "no such file or directory";
    QTest::newRow("empty name") << ""
                                << "no such file or directory";
    QTest::newRow("directory") << "."
                               << "is a directory";
    QTest::newRow("empty file") << "empty.mp3"
                                << "file is empty";
    QTest::newRow("not audio") << "garbage.flac"
                               << "not an audio file";
    QTest::newRow("picture only") << "picture.png"
                                  << "not an audio file";
    QTest::newRow("video without sound") << "silent.mp4"
                                         << "has no audio stream";
    QTest::newRow("no samples") << "nosamples.wav"
                                << "file ends before its audio begins";
    QTest::newRow("rate too low") << "slow.wav"
                                  << "sample rate 4000 Hz is outside 8000..192000 Hz";
    QTest::newRow("rate too high") << "fast.wav"
                                   << "sample rate 384000 Hz is outside 8000..192000 Hz";
}

void tst_AudioDecoder::openFailuresGiveTheReason()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(static_cast<char>((i * 7919) % 251));
    QVERIFY(writeBytes(path("empty.mp3"), {}));
    QVERIFY(writeBytes(path("garbage.flac"), garbage));
    QVERIFY(writeSoundFile(path("nosamples.wav"), { {} }, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeSoundFile(path("slow.wav"), { std::vector<float>(800, 0.1f) }, 4000,
        SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeSoundFile(path("fast.wav"), { std::vector<float>(800, 0.1f) }, 384000,
        SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(ffmpeg({ "-f", "lavfi", "-i", "testsrc=size=32x32:duration=0.1", "-frames:v", "1",
        path("picture.png") }));
    QVERIFY(ffmpeg({ "-f", "lavfi", "-i", "testsrc=size=32x32:rate=10:duration=0.5", "-c:v",
        "mpeg4", path("silent.mp4") }));

    std::string error;
    const std::string target = name.isEmpty() ? std::string() : bytes(path(name));
    auto decoder = media::AudioDecoder::open(target, &error);
    QVERIFY(!decoder);
    QCOMPARE(QString::fromStdString(error), reason);
}

void tst_AudioDecoder::damagedMp3DecodesPastTheDamage()
{
    // Zero bytes written over the middle of a clean MP3, as a bad disk or download leaves them.
    constexpr double kSec = 10.0;
    constexpr int kZeroBytes = 417;
    QVERIFY(makeFixture("clean.mp3", 44100, {}, kSec));
    QByteArray data = readBytes(path("clean.mp3"));
    data.replace(data.size() / 2, kZeroBytes, QByteArray(kZeroBytes, '\0'));
    QVERIFY(writeBytes(path("damaged.mp3"), data));

    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path("damaged.mp3")), &error);
    QVERIFY2(decoder, error.c_str());
    decodeAll(*decoder);
    const media::DecodeDamage& damage = decoder->damage();
    QVERIFY2(damage.skippedPackets > 0, damage.warning().c_str());
    QVERIFY2(!damage.truncated(), damage.warning().c_str());
    // The packets lost to the damage are filled with silence: the whole length is there.
    QVERIFY2(std::abs(damage.decodedSec - kSec) <= kPaddingSec,
        describe("decoded", 0, damage.decodedSec, kSec));
    QVERIFY2(damage.firstDamageSec > 4.0 && damage.firstDamageSec < 6.0,
        describe("first damage", 0, damage.firstDamageSec, kSec / 2));
    const QString warning = QString::fromStdString(damage.warning());
    QVERIFY2(warning.contains(
                 QRegularExpression("^\\d+ damaged packets? skipped from 0:0[45]\\.\\d; "
                                    "decoded 0:(09\\.[89]|10\\.0) of 0:10\\.0 \\(\\d+%\\)$")),
        qPrintable(warning));
}

void tst_AudioDecoder::truncatedFlacSaysHowMuchWasDecoded()
{
    constexpr double kSec = 10.0;
    QVERIFY(makeFixture("whole.flac", 44100, {}, kSec));
    const QByteArray data = readBytes(path("whole.flac"));
    QVERIFY(writeBytes(path("cut.flac"), data.left(data.size() * 4 / 10)));

    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path("cut.flac")), &error);
    QVERIFY2(decoder, error.c_str());
    const media::DecodeDamage& damage = decoder->damage();
    decodeAll(*decoder);
    QVERIFY2(damage.truncated(), damage.warning().c_str());
    QCOMPARE(damage.declaredSec, kSec);
    // A tone compresses evenly: 40% of the bytes hold about 40% of the time.
    QVERIFY2(damage.decodedSec > 3.0 && damage.decodedSec < 5.0,
        describe("decoded", 0, damage.decodedSec, 4.0));
    const QString warning = QString::fromStdString(damage.warning());
    QVERIFY2(warning.startsWith("truncated")
            && warning.contains(
                QRegularExpression("decoded 0:0[34]\\.\\d of 0:10\\.0 \\((3\\d|4\\d)%\\)$")),
        qPrintable(warning));
}

void tst_AudioDecoder::damagedOggKeepsItsTimeLine_data()
{
    // Zeroed bytes lose a page or more, which the demuxer skips; bytes cut from the end leave the
    // last page half there. Either way the stream is damaged, and after zeros the music past them
    // stays where it was, also where the lost page is the one before the last, which the
    // timestamps of the last page do not show, as long as the lost page's header is left to say
    // where the last page begins. Zeros over the whole of it leave that unknown.
    QTest::addColumn<QString>("codec");
    QTest::addColumn<int>("damage");
    QTest::addColumn<bool>("seekable");
    const char* names[] = { "zeros mid-file", "cut in its last page",
        "zeros in the page before the last", "zeros over the page before the last" };
    for (const char* codec : { "libvorbis", "libopus" }) {
        for (int damage : { MidFile, LastPageCut, BeforeLast, BeforeLastWhole }) {
            for (bool seekable : { true, false })
                QTest::addRow("%s, %s, %s", codec, names[damage], seekable ? "file" : "pipe")
                    << codec << damage << seekable;
        }
    }
}

void tst_AudioDecoder::damagedOggKeepsItsTimeLine()
{
    QFETCH(QString, codec);
    QFETCH(int, damage);
    QFETCH(bool, seekable);
    constexpr int kRate = 48000;
    constexpr int kZeroBytes = 6000;
    constexpr int kCutBytes = 300;
    // Long enough that the last page holds a good half second of music (encoders close a page
    // per second or per few kilobytes).
    constexpr double kSeconds = 7.5;
    const QString name = codec + QStringLiteral(".ogg");
    QVERIFY(makeFixture(name, kRate, { "-c:a", codec }, kSeconds));
    const QByteArray clean = readBytes(path(name));
    QByteArray damaged = clean;
    const qsizetype last = clean.lastIndexOf("OggS");
    const qsizetype before = clean.lastIndexOf("OggS", last - 1);
    const qsizetype page = last - before;
    QVERIFY(before > 0);
    if (damage == LastPageCut)
        damaged.chop(kCutBytes);
    else if (damage == MidFile)
        damaged.replace(damaged.size() / 2, kZeroBytes, QByteArray(kZeroBytes, '\0'));
    else if (damage == BeforeLast)
        damaged.replace(before + page / 4, page / 2, QByteArray(page / 2, '\0'));
    else
        damaged.replace(before, page, QByteArray(page, '\0'));
    auto decode = [seekable](const QByteArray& data, media::DecodeDamage* damage) {
        std::string error;
        auto decoder = media::AudioDecoder::openBuffer(
            reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size()),
            &error, seekable);
        if (!decoder)
            return std::vector<float>();
        std::vector<float> mono = decodeAll(*decoder);
        *damage = decoder->damage();
        return mono;
    };
    media::DecodeDamage none;
    const std::vector<float> whole = decode(clean, &none);
    QVERIFY2(!whole.empty() && !none.any(), none.warning().c_str());
    media::DecodeDamage found;
    const std::vector<float> got = decode(damaged, &found);
    const std::string warning = found.warning();
    QVERIFY2(found.any() && found.truncated() == (damage == LastPageCut)
            && found.lastPageEarly == (damage == BeforeLastWhole),
        warning.c_str());
    QVERIFY2(damage != LastPageCut || warning.rfind("truncated", 0) == 0, warning.c_str());
    QVERIFY2(damage != BeforeLastWhole
            || warning.rfind("audio lost before the last page, which came ", 0) == 0,
        warning.c_str());
    // The silence put in for lost audio is decoded time too.
    QVERIFY2(std::lround(found.decodedSec * kRate) == std::lround(double(got.size())),
        describe("decoded samples", 0, found.decodedSec * kRate, double(got.size())).constData());
    if (damage == LastPageCut || damage == BeforeLastWhole)
        return;
    QVERIFY2(got.size() == whole.size(),
        describe("samples", 0, double(got.size()), double(whole.size())).constData());
    // The last quarter second, past the damage, sample by sample: shifted by a fraction of a
    // period, the tones differ.
    for (std::size_t i = whole.size() - kRate / 4; i < whole.size(); ++i)
        QVERIFY2(std::abs(got[i] - whole[i]) < 0.1,
            describe("sample", int(i), double(got[i]), double(whole[i])).constData());
}

void tst_AudioDecoder::nonFiniteSamplesBecomeSilence()
{
    constexpr int kRate = 48000;
    std::vector<float> left = sine(440.0, 0.5, kRate, 1.0);
    std::vector<float> right = left;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Three bad samples on the left, one on the right, two of them in the same frame.
    const std::size_t at[] = { 24000, 24001, 30000 };
    left[at[0]] = nan;
    left[at[1]] = inf;
    left[at[2]] = -inf;
    right[at[2]] = nan;
    QVERIFY(
        writeSoundFile(path("nan.wav"), { left, right }, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT));

    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path("nan.wav")), &error);
    QVERIFY2(decoder, error.c_str());
    const std::vector<float> mono = decodeAll(*decoder);
    QCOMPARE(mono.size(), left.size());
    for (std::size_t i = 0; i < mono.size(); ++i)
        QVERIFY2(std::isfinite(mono[i]), describe("sample", static_cast<int>(i), mono[i], 0.0));
    // A bad sample counts as silence in the average; the good channel keeps its half.
    QCOMPARE(mono[at[0]], right[at[0]] / 2.0f);
    QCOMPARE(mono[at[2]], 0.0f);
    const media::DecodeDamage& damage = decoder->damage();
    QCOMPARE(damage.nonFiniteSamples, std::int64_t(4));
    QCOMPARE(damage.skippedPackets, std::int64_t(0));
    QVERIFY2(std::abs(damage.firstDamageSec - 0.5) < 0.05,
        describe("first damage", 0, damage.firstDamageSec, 0.5));
    QCOMPARE(QString::fromStdString(damage.warning()),
        "4 non-finite samples replaced by silence from 0:00.5; decoded 0:01.0 of 0:01.0 (100%)");
}

void tst_AudioDecoder::readErrorAfterOpenIsRecorded()
{
    // A real read error from the kernel, without special hardware: standard input is
    // /proc/self/mem positioned at a WAV image in memory. The image is a mapping of a file that
    // holds only its first part; reading past the file's end fails with EIO, as a bad sector would.
    constexpr int kRate = 48000;
    QVERIFY(writeSoundFile(path("long.wav"), { sine(440.0, 0.5, kRate, 10.0) }, kRate,
        SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    const long page = ::sysconf(_SC_PAGESIZE);
    // About 2.7 s of the 10 at 96000 bytes per second.
    const qsizetype kept = 64 * page;
    QVERIFY(writeBytes(path("head.wav"), readBytes(path("long.wav")).left(kept)));
    const int file = ::open(QFile::encodeName(path("head.wav")).constData(), O_RDONLY);
    QVERIFY(file >= 0);
    void* image = ::mmap(
        nullptr, static_cast<std::size_t>(kept + 16 * page), PROT_READ, MAP_PRIVATE, file, 0);
    ::close(file);
    QVERIFY(image != MAP_FAILED);
    const int mem = ::open("/proc/self/mem", O_RDONLY);
    QVERIFY(mem >= 0);
    QVERIFY(
        ::lseek(mem, static_cast<off_t>(reinterpret_cast<std::uintptr_t>(image)), SEEK_SET) >= 0);

    std::string error;
    std::unique_ptr<media::AudioDecoder> decoder;
    {
        const StdinFrom input(mem);
        decoder = media::AudioDecoder::open("-", &error);
        if (decoder)
            decodeAll(*decoder);
    }
    ::close(mem);
    ::munmap(image, static_cast<std::size_t>(kept + 16 * page));
    QVERIFY2(decoder, error.c_str());
    const media::DecodeDamage& damage = decoder->damage();
    QCOMPARE(QString::fromStdString(damage.readError), "input/output error");
    const double expected = static_cast<double>(kept - 44) / (2 * kRate);
    QVERIFY2(std::abs(damage.decodedSec - expected) < 0.05,
        describe("decoded", 0, damage.decodedSec, expected));
    // The WAV's header states its length, so the stream also reads as cut short.
    QVERIFY2(QString::fromStdString(damage.warning())
                 .startsWith("read error (input/output error), truncated from 0:02.7; decoded "
                             "0:02.7 of 0:10.0"),
        damage.warning().c_str());
}

void tst_AudioDecoder::standardInputAndFifoAreStreams()
{
    constexpr int kRate = 32000;
    const std::vector<float> tone = sine(1000.0, 0.5, kRate, 1.0);
    QVERIFY(writeSoundFile(path("piped.flac"), { tone }, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    const QByteArray data = readBytes(path("piped.flac"));
    std::string error;
    auto fromFile = media::AudioDecoder::open(bytes(path("piped.flac")), &error);
    QVERIFY2(fromFile, error.c_str());
    const std::vector<float> expected = decodeAll(*fromFile);

    int ends[2];
    QVERIFY(::pipe(ends) == 0);
    std::thread writer = feed(ends[1], data);
    std::vector<float> fromStdin;
    {
        const StdinFrom input(ends[0]);
        ::close(ends[0]);
        auto decoder = media::AudioDecoder::open("-", &error);
        if (decoder)
            fromStdin = decodeAll(*decoder);
    }
    writer.join();
    QVERIFY2(fromStdin == expected, error.c_str());

    const QString fifo = path("fifo");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    std::thread fifoWriter([&]() {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        if (fd >= 0)
            feed(fd, data).join();
    });
    auto decoder = media::AudioDecoder::open(bytes(fifo), &error);
    std::vector<float> fromFifo;
    if (decoder)
        fromFifo = decodeAll(*decoder);
    fifoWriter.join();
    QVERIFY2(decoder, error.c_str());
    QVERIFY(fromFifo == expected);
    QVERIFY2(!decoder->damage().any(), decoder->damage().warning().c_str());
}

void tst_AudioDecoder::wavLengthIsTakenOnlyWhenStated_data()
{
    QTest::addColumn<quint32>("dataLength");
    QTest::addColumn<bool>("seekable");
    QTest::addColumn<double>("keptShare");
    QTest::addColumn<bool>("truncated");
    // A writer that cannot seek back leaves a placeholder where the length goes; the stream then
    // ends cleanly wherever its bytes end.
    QTest::newRow("sox to a pipe") << 0x7FFFF000u << false << 1.0 << false;
    QTest::newRow("sox into a file") << 0x7FFFF000u << true << 1.0 << false;
    QTest::newRow("all ones, piped") << 0xFFFFFFFFu << false << 1.0 << false;
    QTest::newRow("zero, piped") << 0u << false << 1.0 << false;
    QTest::newRow("zero into a file") << 0u << true << 1.0 << false;
    // A real length still tells a cut stream from a whole one.
    QTest::newRow("stated, cut, piped") << 0u << false << 0.5 << true;
    QTest::newRow("stated, cut, file") << 0u << true << 0.5 << true;
}

void tst_AudioDecoder::wavLengthIsTakenOnlyWhenStated()
{
    QFETCH(quint32, dataLength);
    QFETCH(bool, seekable);
    QFETCH(double, keptShare);
    QFETCH(bool, truncated);
    constexpr int kRate = 32000;
    constexpr double kSec = 2.0;
    const std::vector<float> tone = sine(1000.0, 0.5, kRate, kSec);
    QVERIFY(writeSoundFile(path("stated.wav"), { tone }, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QByteArray wav = readBytes(path("stated.wav"));
    const qsizetype dataChunk = wav.indexOf("data");
    QVERIFY(dataChunk > 0);
    const qsizetype audioBytes = wav.size() - dataChunk - 8;
    wav.truncate(dataChunk + 8 + qsizetype(audioBytes * keptShare) / 2 * 2);
    if (!truncated) {
        const QByteArray length(reinterpret_cast<const char*>(&dataLength), 4);
        wav.replace(4, 4, length);
        wav.replace(dataChunk + 4, 4, length);
    }

    std::string error;
    auto decoder
        = media::AudioDecoder::openBuffer(reinterpret_cast<const std::uint8_t*>(wav.constData()),
            std::size_t(wav.size()), &error, seekable);
    QVERIFY2(decoder, error.c_str());
    const std::size_t decoded = decodeAll(*decoder).size();
    const media::DecodeDamage& damage = decoder->damage();
    QCOMPARE(decoded, std::size_t(tone.size() * keptShare));
    QCOMPARE(damage.truncated(), truncated);
    QCOMPARE(damage.declaredSec, truncated ? kSec : -1.0);
    QVERIFY2(damage.any() == truncated, damage.warning().c_str());
}

void tst_AudioDecoder::nonUtf8NameOpens()
{
    const QByteArray name = QFile::encodeName(dir_.path()) + "/\xff\xfe latin-1 \xe9.wav";
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(writeSoundFile(path("plain.wav"), { sine(500.0, 0.5, 16000, 0.5) }, 16000,
        SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    const QByteArray data = readBytes(path("plain.wav"));
    const int out = ::open(name.constData(), O_WRONLY);
    QVERIFY(out >= 0);
    QCOMPARE(::write(out, data.constData(), static_cast<std::size_t>(data.size())),
        static_cast<ssize_t>(data.size()));
    ::close(out);

    std::string error;
    auto decoder = media::AudioDecoder::open(name.toStdString(), &error);
    QVERIFY2(decoder, error.c_str());
    QCOMPARE(decodeAll(*decoder).size(), std::size_t(8000));
    // QTemporaryDir cannot name it to remove it.
    ::unlink(name.constData());
}

void tst_AudioDecoder::readAllocatesNothing()
{
    // Damaged MP3: planar floats, decoder errors and a gap filled with silence all on the path.
    constexpr int kRate = 44100;
    QVERIFY(makeFixture("alloc.mp3", kRate, {}, 3.0));
    QByteArray data = readBytes(path("alloc.mp3"));
    data.replace(data.size() / 2, 417, QByteArray(417, '\0'));
    QVERIFY(writeBytes(path("alloc.mp3"), data));
    std::string error;
    auto decoder = media::AudioDecoder::open(bytes(path("alloc.mp3")), &error);
    QVERIFY2(decoder, error.c_str());
    std::vector<float> hop(static_cast<std::size_t>(kRate / 60));
    const long before = heapcounter::allocations();
    while (decoder->read(hop.data(), static_cast<int>(hop.size())) > 0) { }
    const long made = heapcounter::allocations() - before;
    QVERIFY2(decoder->damage().skippedPackets > 0, "the fixture is not damaged");
    QVERIFY2(made == 0, describe("allocations while reading", 0, made, 0));
}

namespace {
std::atomic<bool> stopSignalled { false };
}

void tst_AudioDecoder::signalEndsAWaitingRead()
{
    // A pipe whose writer sent one second and then nothing, as a stalled program would; a signal
    // without SA_RESTART, as bandview's stop handlers, interrupts the read that waits on it.
    constexpr int kRate = 16000;
    QVERIFY(writeSoundFile(path("stalled.wav"), { sine(440.0, 0.5, kRate, 1.0) }, kRate,
        SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    const QByteArray data = readBytes(path("stalled.wav"));
    int ends[2];
    QVERIFY(::pipe(ends) == 0);
    // Fits the pipe's buffer, so that the write does not wait for the reader.
    QCOMPARE(::write(ends[1], data.constData(), static_cast<std::size_t>(data.size())),
        static_cast<ssize_t>(data.size()));

    struct sigaction action { };
    struct sigaction saved { };
    action.sa_handler = [](int) { stopSignalled = true; };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, &saved);
    media::AudioDecoder::setStopCheck([] { return stopSignalled.load(); });
    // The signal goes again until the read returns, in case the first came before it waited; a
    // decoder that kept waiting is released by closing the pipe after 20 s.
    std::atomic<bool> done { false };
    std::atomic<bool> released { false };
    const pthread_t reader = ::pthread_self();
    std::thread signaller([&]() {
        for (int i = 0; i < 200 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!done)
                ::pthread_kill(reader, SIGUSR1);
        }
        if (!done) {
            released = true;
            ::close(ends[1]);
        }
    });
    std::string error;
    std::vector<float> mono;
    bool readError = false;
    bool ended = true;
    {
        const StdinFrom input(ends[0]);
        auto decoder = media::AudioDecoder::open("-", &error);
        if (decoder) {
            mono = decodeAll(*decoder);
            readError = !decoder->damage().readError.empty();
            ended = decoder->damage().ended;
        }
    }
    done = true;
    signaller.join();
    media::AudioDecoder::setStopCheck(nullptr);
    ::sigaction(SIGUSR1, &saved, nullptr);
    ::close(ends[0]);
    if (!released)
        ::close(ends[1]);
    QVERIFY2(!released, "the read waited on after the signal");
    QVERIFY2(error.empty(), error.c_str());
    QCOMPARE(mono.size(), std::size_t(kRate));
    QVERIFY(!readError && !ended);
}

QTEST_APPLESS_MAIN(tst_AudioDecoder)
#include "tst_audiodecoder.moc"
