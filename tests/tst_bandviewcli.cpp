// The bandview program as a person runs it: the files it writes, what it says, and how it fails.

#include "bandviewfiles.h"
#include "media/demo.h"
#include "picture.h"
#include "runprogram.h"

#include "dsp/spectrumanalyzer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr double kTwoPi = 6.283185307179586;

Run runBandview(const QStringList& args)
{
    // Standard output is a pipe here, so the run is off-line.
    return runProgram(QStringLiteral(BANDVIEW_EXE), args);
}

// Runs a shell script with $BANDVIEW naming the program.
Run runShell(const QString& script)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BANDVIEW"), QStringLiteral(BANDVIEW_EXE));
    return runProgram(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), script }, {}, env);
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
}

QString describe(const Run& r)
{
    return QStringLiteral("status %1, stdout '%2', stderr '%3'")
        .arg(r.status)
        .arg(QString::fromLocal8Bit(r.out), QString::fromLocal8Bit(r.err));
}

QList<QList<QByteArray>> readCsv(const QString& path)
{
    QFile f(path);
    QList<QList<QByteArray>> rows;
    if (!f.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (!line.isEmpty())
            rows.append(line.split(','));
    }
    return rows;
}

int tallest(const QList<QByteArray>& row)
{
    // Columns: seq, timeSec, rmsDb, agcDb, presence, then the bars.
    int best = 0;
    for (int k = 1; k < dsp::kDefaultBands; ++k) {
        if (row[5 + k].toFloat() > row[5 + best].toFloat())
            best = k;
    }
    return best;
}

} // namespace

class tst_BandviewCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void badInputExitsTwoWithOneLine_data();
    void badInputExitsTwoWithOneLine();
    void csvHasARowPerFrame();
    void stereoFileMatchesItsMonoOriginal_data();
    void stereoFileMatchesItsMonoOriginal();
    void compressedFilesDecode_data();
    void compressedFilesDecode();
    void pictureIsWrittenAndNamed();
    void sectionsAndHelpAreListed();
    void outputsStreamToStandardOutput();
    void inputFromAPipeAndAFifo();
    void fifoAndDeviceAreWrittenIntoNotReplaced();
    void failedCommitLeavesNothing_data();
    void failedCommitLeavesNothing();
    void stopWhileWritingLeavesNothing();
    void severalFilesStandOnTheirOwn();
    void outputRulesSeenFromTheShell_data();
    void outputRulesSeenFromTheShell();
    void stoppedBatchKeepsWhatFinished();
    void rawRecordsMatchTheData_data();
    void rawRecordsMatchTheData();
    void selfChecksRunAsDocumented();
    void damagedInputWarnsAndExitsThree_data();
    void damagedInputWarnsAndExitsThree();
    void configurationFileSeenFromTheProgram_data();
    void configurationFileSeenFromTheProgram();

private:
    QTemporaryDir inputs_;
};

void tst_BandviewCli::initTestCase()
{
    QVERIFY(inputs_.isValid());
    QFile empty(inputs_.filePath(QStringLiteral("empty.wav")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    // The same bytes as FLAC and as MP3: the name must not make the decoder take them for audio,
    // nor let it talk about them on standard error.
    QByteArray bytes;
    for (int i = 0; i < 4096; ++i)
        bytes.append(static_cast<char>((i * 7919) % 251));
    for (const char* name : { "garbage.flac", "garbage.mp3" }) {
        QFile garbage(inputs_.filePath(QLatin1String(name)));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(bytes);
    }
    QVERIFY(writeSoundFile(inputs_.filePath(QStringLiteral("noframes.wav")), { {} }, 48000,
        SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeSoundFile(inputs_.filePath(QStringLiteral("slow.wav")),
        { std::vector<float>(8000, 0.1f) }, 4000, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeSoundFile(inputs_.filePath(QStringLiteral("blip.wav")),
        { std::vector<float>(2000, 0.1f) }, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    // One sample short of the first analysis window.
    QVERIFY(writeSoundFile(inputs_.filePath(QStringLiteral("almost.wav")),
        { std::vector<float>(4095, 0.1f) }, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeSoundFile(inputs_.filePath(QStringLiteral("good.wav")),
        { std::vector<float>(24000, 0.1f) }, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(QFile::copy(inputs_.filePath(QStringLiteral("good.wav")),
        inputs_.filePath(QStringLiteral("locked.wav"))));
    QVERIFY(QFile::setPermissions(
        inputs_.filePath(QStringLiteral("locked.wav")), QFileDevice::WriteOwner));
    // A second input of the same name, and a link to an output that is not there yet.
    QVERIFY(QDir(inputs_.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(QFile::copy(inputs_.filePath(QStringLiteral("good.wav")),
        inputs_.filePath(QStringLiteral("sub/good.wav"))));
    QVERIFY(QFile::link(inputs_.filePath(QStringLiteral("linked.csv")),
        inputs_.filePath(QStringLiteral("link.csv"))));
}

void tst_BandviewCli::badInputExitsTwoWithOneLine_data()
{
    // Arguments with {in} for the input folder and {out} for an empty folder that must stay empty;
    // the message must name `subject` and hold `reason`.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("reason");
    const QString csv = QStringLiteral("{out}/frames.csv");
    const QString png = QStringLiteral("{out}/picture.png");
    QTest::newRow("missing file") << QStringList { "--csv", csv, "{in}/nothing.wav" }
                                  << "{in}/nothing.wav"
                                  << "no such file";
    QTest::newRow("name that would retitle the terminal")
        << QStringList { "{in}/\x1b]2;owned\x07.wav" } << "{in}/\\x1B]2;owned\\x07.wav"
        << "no such file";
    // C1 controls steer some terminals as ESC does; DEL is a control too.
    QTest::newRow("name with a C1 control")
        << QStringList { "{in}/a\u009b2Jb.wav" } << "{in}/a\\xC2\\x9B2Jb.wav"
        << "no such file";
    QTest::newRow("name with DEL") << QStringList { "{in}/a\x7f.wav" } << "{in}/a\\x7F.wav"
                                   << "no such file";
    QTest::newRow("directory") << QStringList { "--png", png, "{in}" } << "{in}"
                               << "is a directory";
    QTest::newRow("empty file") << QStringList { "{in}/empty.wav", "--csv", csv }
                                << "{in}/empty.wav"
                                << "file is empty";
    QTest::newRow("undecodable") << QStringList { "{in}/garbage.flac", "--png", png }
                                 << "{in}/garbage.flac"
                                 << "not an audio file";
    QTest::newRow("undecodable mp3") << QStringList { "{in}/garbage.mp3" } << "{in}/garbage.mp3"
                                     << "not an audio file";
    QTest::newRow("no frames") << QStringList { "{in}/noframes.wav", "--csv", csv }
                               << "{in}/noframes.wav"
                               << "file ends before its audio begins";
    QTest::newRow("rate too low") << QStringList { "{in}/slow.wav", "--csv", csv }
                                  << "{in}/slow.wav"
                                  << "sample rate 4000 Hz is outside 8000..192000 Hz";
    QTest::newRow("raw format unknown")
        << QStringList { "--raw", "-", "--raw-format", "u9" } << "--raw-format"
        << "takes ascii, u8 or u16, got 'u9'";
    QTest::newRow("raw beat without raw")
        << QStringList { "--csv", csv, "--raw-beat" } << "--raw-beat"
        << "need '--raw FILE'";
    QTest::newRow("raw range zero") << QStringList { "--raw", "-", "--raw-max", "0" } << "--raw-max"
                                    << "from 1 to 65535, got '0'";
    QTest::newRow("one sample short of a window")
        << QStringList { "{in}/almost.wav", "--csv", csv } << "{in}/almost.wav"
        << "too short: 4095 samples (0.085 s) of audio, the first analysis frame needs 4096 ";
    QTest::newRow("shorter than a window")
        << QStringList { "{in}/blip.wav", "--csv", csv, "--png", png } << "{in}/blip.wav"
        << "too short: 2000 samples (0.042 s) of audio, the first analysis frame needs 4096 "
           "(0.085 s)";
    QTest::newRow("unreadable") << QStringList { "{in}/locked.wav", "--csv", csv }
                                << "{in}/locked.wav"
                                << "cannot read: ";
    QTest::newRow("delay on a file")
        << QStringList { "{in}/good.wav", "--delay", "100" } << "'--delay'"
        << "needs --capture";
    QTest::newRow("unknown option")
        << QStringList { "--colour", "{in}/good.wav" } << "unknown option '--colour'"
        << "--help";
    QTest::newRow("option without file") << QStringList { "{in}/good.wav", "--csv" } << "'--csv'"
                                         << "needs a value";
    QTest::newRow("option as a value")
        << QStringList { "--png", "--no-live", "{in}/good.wav" } << "'--png'"
        << "got the option '--no-live'";
    QTest::newRow("help as a value") << QStringList { "{in}/good.wav", "--csv", "-h" } << "'--csv'"
                                     << "got the option '-h'";
    QTest::newRow("repeated option")
        << QStringList { "--csv", csv, "--csv", "{out}/other.csv" } << "'--csv'"
        << "twice";
    QTest::newRow("repeated flag") << QStringList { "--fast", "--fast" } << "'--fast'"
                                   << "twice";
    QTest::newRow("empty input name") << QStringList { "", "--csv", csv } << "input file name"
                                      << "is empty";
    QTest::newRow("two inputs, one output")
        << QStringList { "{in}/good.wav", "{in}/good.wav", "--csv", csv } << "'--csv'"
        << "needs {name}";
    QTest::newRow("two inputs, one name")
        << QStringList { "{in}/good.wav", "{in}/sub/good.wav", "--csv", "{out}/{name}.csv" }
        << "{out}/good.csv"
        << "named for both";
    QTest::newRow("size too small")
        << QStringList { "--png", png, "--size", "300x200" } << "'--size'"
        << "got '300x200'";
    QTest::newRow("picture into missing folder")
        << QStringList { "--csv", csv, "--png", "{out}/no/such/picture.png" } << "{out}/no/such/"
        << "cannot write: no such file or directory";
    QTest::newRow("data onto a folder") << QStringList { "--png", png, "--csv", "{out}" } << "{out}"
                                        << "is a directory";
    QTest::newRow("data onto the input")
        << QStringList { "{in}/good.wav", "--csv", "{in}/good.wav" } << "{in}/good.wav"
        << "is the input file";
    QTest::newRow("same file twice")
        << QStringList { "--csv", csv, "--png", csv } << csv << "named for both";
    QTest::newRow("same file through a link")
        << QStringList { "--png", "{in}/linked.csv", "--csv", "{in}/link.csv" } << "{in}/link.csv"
        << "named for both";
    QTest::newRow("standard output twice") << QStringList { "--csv", "-", "--png", "-" } << "-"
                                           << "named for both";
    QTest::newRow("configuration file named but missing")
        << QStringList { "--config", "{in}/nothing.conf" } << "{in}/nothing.conf"
        << "cannot read";
}

void tst_BandviewCli::badInputExitsTwoWithOneLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, subject);
    QFETCH(QString, reason);
    if (QByteArray(QTest::currentDataTag()) == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads every file");
    QTemporaryDir out;
    QVERIFY(out.isValid());
    auto expand = [&](QString s) {
        return s.replace(QStringLiteral("{in}"), inputs_.path())
            .replace(QStringLiteral("{out}"), out.path());
    };
    for (QString& a : args)
        a = expand(a);
    const QFileInfo input(inputs_.filePath(QStringLiteral("good.wav")));
    const QDateTime inputTime = input.lastModified();

    const Run r = runBandview(args);
    QVERIFY2(r.status == 2, qPrintable(describe(r)));
    QVERIFY2(r.out.isEmpty(), qPrintable(describe(r)));
    QVERIFY2(r.err.count('\n') == 1 && r.err.endsWith('\n'), qPrintable(describe(r)));
    const QString line = QString::fromLocal8Bit(r.err);
    QVERIFY2(line.startsWith(QStringLiteral("bandview: ")), qPrintable(describe(r)));
    QVERIFY2(line.contains(expand(subject)), qPrintable(describe(r)));
    QVERIFY2(line.contains(reason), qPrintable(describe(r)));
    // Nothing written, not even the half of a file or a temporary beside it; the input untouched.
    const QStringList left
        = QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    QCOMPARE(QFileInfo(input.filePath()).lastModified(), inputTime);
    QCOMPARE(QFileInfo(input.filePath()).size(), input.size());
}

void tst_BandviewCli::csvHasARowPerFrame()
{
    QTemporaryDir out;
    const QString csv = out.filePath(QStringLiteral("demo.csv"));
    const Run r = runBandview({ QStringLiteral("--csv"), csv });
    QVERIFY2(r.status == 0 && r.out.isEmpty() && r.err.count('\n') == 1, qPrintable(describe(r)));
    const auto rows = readCsv(csv);
    QVERIFY(!rows.isEmpty());
    // The beat's two columns come after the bands', so that readers of those keep working.
    QCOMPARE(rows[0].size(), 5 + 2 * dsp::kDefaultBands + 2);
    QCOMPARE(rows[0][0], QByteArray("seq"));
    QCOMPARE(rows[0][4 + 2 * dsp::kDefaultBands], QByteArray("peak27"));
    QCOMPARE(rows[0].mid(5 + 2 * dsp::kDefaultBands), (QList<QByteArray> { "onset", "bpm" }));
    // 60 hops per second of demo; the first frame comes with the hop that fills the 4096-sample
    // window: hop 6 of 800 samples.
    const int frames = static_cast<int>(std::lround(media::kDemoLengthSec * 60)) - 5;
    QCOMPARE(rows.size() - 1, frames);
    for (int i = 1; i < rows.size(); ++i) {
        QVERIFY2(rows[i].size() == rows[0].size(),
            qPrintable(QStringLiteral("row %1 has %2 cells").arg(i).arg(rows[i].size())));
        QVERIFY2(rows[i][0].toInt() == i,
            qPrintable(QStringLiteral("row %1 has seq %2").arg(i).arg(rows[i][0])));
    }
    QCOMPARE(rows.last()[1].toDouble(), media::kDemoLengthSec);
    QVERIFY2(r.err.contains(QStringLiteral("%1 frames").arg(frames).toLatin1()), r.err.constData());
    QVERIFY2(r.err.contains("data " + QFile::encodeName(csv)), r.err.constData());
}

void tst_BandviewCli::stereoFileMatchesItsMonoOriginal_data()
{
    QTest::addColumn<int>("format");
    // 16-bit samples are the original within 1/32768: far under 0.01 dB at these levels.
    QTest::addColumn<double>("rmsToleranceDb");
    QTest::newRow("float") << int(SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 1e-4;
    QTest::newRow("16 bit") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 0.01;
}

void tst_BandviewCli::stereoFileMatchesItsMonoOriginal()
{
    QFETCH(int, format);
    QFETCH(double, rmsToleranceDb);
    constexpr int kRate = 44100;
    constexpr int kSeconds = 4;
    // 300 Hz for two seconds, then 3 kHz: the loudest band moves once. Left and right differ, and
    // only their average is the original.
    std::vector<float> mono(kRate * kSeconds);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        mono[i] = static_cast<float>(0.25 * std::sin(kTwoPi * (t < 2.0 ? 300.0 : 3000.0) * t));
    }
    std::vector<float> left(mono.size());
    std::vector<float> right(mono.size());
    for (std::size_t i = 0; i < mono.size(); ++i) {
        left[i] = 1.5f * mono[i];
        right[i] = 0.5f * mono[i];
    }
    QTemporaryDir dir;
    const QString stereoPath = dir.filePath(QStringLiteral("stereo.wav"));
    const QString monoPath = dir.filePath(QStringLiteral("mono.wav"));
    QVERIFY(writeSoundFile(stereoPath, { left, right }, kRate, format));
    QVERIFY(writeSoundFile(monoPath, { mono }, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT));

    const QString stereoCsv = dir.filePath(QStringLiteral("stereo.csv"));
    const QString monoCsv = dir.filePath(QStringLiteral("mono.csv"));
    const Run rs = runBandview({ stereoPath, QStringLiteral("--csv"), stereoCsv });
    QVERIFY2(rs.status == 0, qPrintable(describe(rs)));
    const Run rm = runBandview({ monoPath, QStringLiteral("--csv"), monoCsv });
    QVERIFY2(rm.status == 0, qPrintable(describe(rm)));
    const auto stereo = readCsv(stereoCsv);
    const auto original = readCsv(monoCsv);

    // 60 frames for every second of audio: 240 hops of 735 samples, of which the first five only
    // fill the 4096-sample window.
    QCOMPARE(stereo.size() - 1, kSeconds * 60 - 5);
    QCOMPARE(original.size(), stereo.size());
    QCOMPARE(stereo.last()[1].toDouble(), double(kSeconds));
    for (int i = 61; i < stereo.size(); ++i) {
        const double second = stereo[i][1].toDouble() - stereo[i - 60][1].toDouble();
        QVERIFY2(std::abs(second - 1.0) < 1e-9,
            qPrintable(QStringLiteral("row %1: 60 frames span %2 s").arg(i).arg(second)));
    }
    QSet<int> bands;
    for (int i = 1; i < stereo.size(); ++i) {
        const int band = tallest(stereo[i]);
        QVERIFY2(band == tallest(original[i]),
            qPrintable(QStringLiteral("row %1: tallest band %2, mono original %3")
                           .arg(i)
                           .arg(band)
                           .arg(tallest(original[i]))));
        const double rmsGap = std::abs(stereo[i][2].toDouble() - original[i][2].toDouble());
        QVERIFY2(rmsGap <= rmsToleranceDb,
            qPrintable(QStringLiteral("row %1: rmsDb %2 against %3")
                           .arg(i)
                           .arg(stereo[i][2], original[i][2])));
        bands.insert(band);
    }
    QCOMPARE(bands.size(), 2);
}

void tst_BandviewCli::compressedFilesDecode_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("rate");
    // Lossy encoders add priming and padding; libsndfile 1.2 strips them, and two frames of slack
    // leave room for a decoder that keeps a little.
    QTest::addColumn<int>("frameSlack");
    QTest::newRow("FLAC") << "tone.flac" << int(SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 44100 << 0;
    QTest::newRow("Ogg Vorbis") << "tone.ogg" << int(SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 44100
                                << 2;
    QTest::newRow("Opus") << "tone.opus" << int(SF_FORMAT_OGG | SF_FORMAT_OPUS) << 48000 << 2;
    QTest::newRow("MP3") << "tone.mp3" << int(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III) << 44100
                         << 2;
}

void tst_BandviewCli::compressedFilesDecode()
{
    QFETCH(QString, name);
    QFETCH(int, format);
    QFETCH(int, rate);
    QFETCH(int, frameSlack);
    constexpr int kSeconds = 2;
    constexpr double kToneHz = 1000.0;
    std::vector<float> tone(static_cast<std::size_t>(rate * kSeconds));
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i]
            = static_cast<float>(0.3 * std::sin(kTwoPi * kToneHz * static_cast<double>(i) / rate));
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY2(writeSoundFile(path, { tone, tone }, rate, format),
        qPrintable(QStringLiteral("libsndfile cannot write %1").arg(name)));
    const QString csv = dir.filePath(QStringLiteral("tone.csv"));
    const Run r = runBandview({ path, QStringLiteral("--csv"), csv });
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    const auto rows = readCsv(csv);
    const int frames = static_cast<int>(rows.size()) - 1;
    QVERIFY2(std::abs(frames - (kSeconds * 60 - 5)) <= frameSlack,
        qPrintable(QStringLiteral("%1 frames").arg(frames)));
    // 1 kHz lies in band 15 (991..1227 Hz) of the 28 from 40 Hz to 16 kHz.
    const int band = tallest(rows.last());
    QVERIFY2(band == 15, qPrintable(QStringLiteral("tallest band %1").arg(band)));
}

void tst_BandviewCli::pictureIsWrittenAndNamed()
{
    QTemporaryDir out;
    const QString png = out.filePath(QStringLiteral("demo.png"));
    const Run r = runBandview({ QStringLiteral("--png"), png });
    QVERIFY2(r.status == 0 && r.out.isEmpty(), qPrintable(describe(r)));
    QVERIFY2(r.err.contains("picture " + QFile::encodeName(png)), r.err.constData());
    QImage image;
    QVERIFY(image.load(png, "PNG"));
    QCOMPARE(
        image.size(), bandview::PictureLayout(dsp::kDefaultBands, media::kDemoLengthSec).size());
}

void tst_BandviewCli::sectionsAndHelpAreListed()
{
    const Run sections = runBandview({ QStringLiteral("--list-sections") });
    QVERIFY2(sections.status == 0, qPrintable(describe(sections)));
    const QList<QByteArray> lines = sections.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 1 + media::kDemoSectionCount);
    for (int i = 0; i < media::kDemoSectionCount; ++i) {
        const auto& s = media::kDemoSections[i];
        const QList<QByteArray> fields = lines[i + 1].simplified().split(' ');
        QVERIFY2(fields.size() > 3 && fields[0].toDouble() == s.startSec
                && fields[1].toDouble() == s.endSec && lines[i + 1].contains(s.name),
            lines[i + 1].constData());
    }
    const Run help = runBandview({ QStringLiteral("--help") });
    QVERIFY2(
        help.status == 0 && help.out.startsWith("Usage: bandview"), qPrintable(describe(help)));
    for (const char* option :
        { "--png", "--csv", "--size", "--duration", "--fast", "--no-live", "--list-sections" })
        QVERIFY2(help.out.contains(option), option);
}

void tst_BandviewCli::outputsStreamToStandardOutput()
{
    const Run csv = runBandview({ "--csv", "-", "--duration", "2" });
    QVERIFY2(csv.status == 0 && csv.err.count('\n') == 1, qPrintable(describe(csv)));
    QVERIFY2(csv.out.startsWith("seq,timeSec,"), csv.out.left(80).constData());
    // Two seconds at 60 frames a second, less the five hops that fill the window, and the header.
    QCOMPARE(csv.out.count('\n'), 2 * 60 - 5 + 1);
    const Run png = runBandview({ "--png", "-", "--duration", "2", "--size", "640x360" });
    QVERIFY2(png.status == 0 && png.err.count('\n') == 1, qPrintable(png.err));
    QImage image;
    QVERIFY(image.loadFromData(png.out, "PNG"));
    QCOMPARE(image.size(), QSize(640, 360));
}

void tst_BandviewCli::inputFromAPipeAndAFifo()
{
    // Half a second at 48 kHz: 30 hops, of which the first five fill the window; and the header.
    QTemporaryDir dir;
    const QString script = QStringLiteral(
        "cd '%1' && cat '%2' | \"$BANDVIEW\" - --csv - >piped.csv && mkfifo fifo && "
        "{ cat '%2' >fifo & } && \"$BANDVIEW\" fifo --csv - >fifo.csv")
                               .arg(dir.path(), inputs_.filePath(QStringLiteral("good.wav")));
    const Run r = runShell(script);
    QVERIFY2(r.status == 0 && r.err.count('\n') == 2, qPrintable(describe(r)));
    // Names that are not UTF-8 go through as the bytes they are, in and out.
    const Run bytes = runShell(QStringLiteral(
        "cd '%1' && cp '%2' \"$(printf '\\377')x.wav\" && "
        "\"$BANDVIEW\" \"$(printf '\\377')x.wav\" --csv \"$(printf '\\376').csv\" && "
        "test -s \"$(printf '\\376').csv\"")
                                   .arg(dir.path(), inputs_.filePath(QStringLiteral("good.wav"))));
    QVERIFY2(bytes.status == 0, qPrintable(describe(bytes)));
    for (const char* name : { "piped.csv", "fifo.csv" }) {
        const auto rows = readCsv(dir.filePath(QLatin1String(name)));
        QVERIFY2(rows.size() == 30 - 5 + 1,
            qPrintable(QStringLiteral("%1: %2 rows").arg(name).arg(rows.size())));
    }
}

void tst_BandviewCli::fifoAndDeviceAreWrittenIntoNotReplaced()
{
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    QProcess reader;
    reader.start(QStringLiteral("cat"), { QString::fromLocal8Bit(fifo) });
    QVERIFY(reader.waitForStarted());
    const Run r = runBandview({ "--csv", QString::fromLocal8Bit(fifo), "--duration", "1" });
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    QVERIFY(reader.waitForFinished(10000));
    const QByteArray got = reader.readAllStandardOutput();
    QVERIFY2(got.startsWith("seq,") && got.count('\n') == 60 - 5 + 1, got.left(80).constData());
    struct stat st { };
    QVERIFY(::stat(fifo.constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    QCOMPARE(entries(dir.path()), QStringList { "fifo" });

    const Run null = runBandview({ "--duration", "1", "--csv", "/dev/null", "--png", "/dev/null" });
    QVERIFY2(null.status == 0, qPrintable(describe(null)));
    const Run device = runBandview({ "--csv", "/dev/null", "--duration", "1" });
    QVERIFY2(device.status == 0, qPrintable(describe(device)));
    QVERIFY(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
}

void tst_BandviewCli::failedCommitLeavesNothing_data()
{
    // A shell script run in {out}, which must stay empty; the one error line must hold reason.
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("reason");
    // The demo's data file is about 800 kB; one second of it 15 kB, its picture 40 kB. dash counts
    // the limit in blocks of 512 bytes.
    QTest::newRow("size limit on the data")
        << "ulimit -f 200; exec \"$BANDVIEW\" --csv a.csv --png b.png"
        << "file too large";
    QTest::newRow("size limit on the picture")
        << "ulimit -f 60; exec \"$BANDVIEW\" --duration 1 --csv a.csv --png b.png"
        << "b.png: cannot write: file too large";
    QTest::newRow("second output on a full disk")
        << "exec \"$BANDVIEW\" --csv a.csv --png /dev/full"
        << "no space left on device";
    QTest::newRow("first output on a full disk") << "exec \"$BANDVIEW\" --csv /dev/full --png b.png"
                                                 << "no space left on device";
}

void tst_BandviewCli::failedCommitLeavesNothing()
{
    QFETCH(QString, script);
    QFETCH(QString, reason);
    QTemporaryDir out;
    const Run r = runShell(QStringLiteral("cd '%1' && %2").arg(out.path(), script));
    QVERIFY2(r.status == 2 && r.out.isEmpty() && r.err.count('\n') == 1, qPrintable(describe(r)));
    QVERIFY2(r.err.contains(reason.toLocal8Bit()), qPrintable(describe(r)));
    const QStringList left = entries(out.path());
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

void tst_BandviewCli::stopWhileWritingLeavesNothing()
{
    // The data goes into a FIFO that nobody reads: the run blocks writing it, with the picture's
    // temporary open beside. SIGTERM must end it there.
    QTemporaryDir out;
    const QByteArray fifo = QFile::encodeName(out.filePath(QStringLiteral("fifo")));
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    const int idleReader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(idleReader >= 0);
    QProcess p;
    p.start(QStringLiteral(BANDVIEW_EXE),
        { "--csv", QString::fromLocal8Bit(fifo), "--png", out.filePath(QStringLiteral("b.png")) });
    QVERIFY(p.waitForStarted());
    QTest::qWait(1500);
    QCOMPARE(p.state(), QProcess::Running);
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    ::close(idleReader);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 128 + SIGTERM,
        qPrintable(QStringLiteral("status %1, '%2'").arg(p.exitCode()).arg(err.constData())));
    QVERIFY2(err == "bandview: stopped, nothing written\n", err.constData());
    QCOMPARE(entries(out.path()), QStringList { "fifo" });
}

void tst_BandviewCli::severalFilesStandOnTheirOwn()
{
    QTemporaryDir out;
    const Run r = runBandview({ inputs_.filePath(QStringLiteral("good.wav")),
        inputs_.filePath(QStringLiteral("blip.wav")),
        inputs_.filePath(QStringLiteral("nothing.wav")), "--csv",
        out.filePath(QStringLiteral("{name}.csv")), "--png",
        out.filePath(QStringLiteral("{name}.png")) });
    // One line per file and a summary; the worst status wins.
    QVERIFY2(r.status == 2 && r.err.count('\n') == 4, qPrintable(describe(r)));
    QVERIFY2(
        r.err.contains("\n3 files: 1 clean, 0 damaged, 2 failed in "), qPrintable(describe(r)));
    QVERIFY2(r.err.contains("good.wav: 0:00.5 of audio"), qPrintable(describe(r)));
    QVERIFY2(r.err.contains("blip.wav: too short"), qPrintable(describe(r)));
    QCOMPARE(entries(out.path()), (QStringList { "good.csv", "good.png" }));
}

void tst_BandviewCli::outputRulesSeenFromTheShell_data()
{
    // A script run in an empty folder with $IN naming the inputs' folder; what it prints (the
    // statuses and what the files hold) must be `expected`.
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    const QString run = QStringLiteral("\"$BANDVIEW\" --duration 1 ");
    QTest::newRow("/dev/stdout appended to")
        << "echo old > log; " + run + "--csv /dev/stdout >> log 2>/dev/null; echo $?; head -c 8 log"
        << "0\nold\nseq,";
    QTest::newRow("/dev/stderr appended to, result line kept") << "echo old > log; " + run
            + "--csv /dev/stderr 2>> log; echo $?; head -c 8 log; "
              "grep -c '^demo: ' log"
                                                               << "0\nold\nseq,1\n";
    QTest::newRow("/proc/self/fd/3 appended to") << "echo old > log; " + run
            + "--csv /proc/self/fd/3 3>> log 2>/dev/null; echo $?; "
              "head -c 8 log"
                                                 << "0\nold\nseq,";
    QTest::newRow("one open file named twice")
        << run + "--csv /dev/stdout --png - 2>&1 >/dev/null | grep -c 'named for both'; ls"
        << "1\n";
    QTest::newRow("replaced file keeps its mode") << "touch a.csv; chmod 604 a.csv; " + run
            + "--csv a.csv 2>/dev/null; echo $?; "
              "stat -c %a a.csv; ls -A"
                                                  << "0\n604\na.csv\n";
    // A line on standard error would land in the middle of the live view.
    QTest::newRow("configuration file's news in the live view's status line") << QStringLiteral(
        "mkdir -p c/bandview; echo 'delay = 9' > c/bandview/config; "
        "(sleep 1; echo 'colour = red' > c/bandview/config) & "
        "XDG_CONFIG_HOME=$PWD/c script -qec '\"$BANDVIEW\" --duration 4' "
        "/dev/null </dev/null >view; wait; "
        "grep -aq \"config:1: unknown key 'colour'\" view && "
        "! grep -aq 'bandview: [^ ]*config:1:' view && echo shown") << "shown\n";
    QTest::newRow("folder that takes no file named")
        << "mkdir ro; chmod 555 ro; setpriv --reuid=65534 --clear-groups " + run
            + "--csv ro/a.csv 2>&1; echo $?"
        << "bandview: ro/a.csv: cannot write: permission denied\n2\n";
    QTest::newRow("folder on a read-only file system named with the file")
        // Propagation left as it is: in a chroot the root is no mount point to make private, so
        // the mount is taken down again in the same namespace.
        << "mkdir -p bad/rofs; unshare -m --propagation unchanged sh -c 'mount -t tmpfs -o ro none "
           "bad/rofs || exit 9; "
            + run + "--csv bad/rofs/out.csv; s=$?; umount bad/rofs; exit $s' 2>&1; echo $?"
        << "bandview: bad/rofs/out.csv: cannot write: read-only file system\n2\n";
    QTest::newRow("value after '=' led by a dash") << run + "--csv=-a.csv 2>/dev/null; echo $?; ls"
                                                   << "0\n-a.csv\n";
    QTest::newRow("temporary of a writer gone removed, a running one's kept")
        << "h=$(hostname); touch .a.csv.999999@$h.Xy12zW .a.csv.1@$h.Xy12zW; " + run
            + "--csv a.csv 2>/dev/null; ls -A"
        << ".a.csv.1@" + QSysInfo::machineHostName() + ".Xy12zW\na.csv\n";
    QTest::newRow("--realtime paces an off-line run") << "s=$(date +%s%N); " + run
            + "--realtime --raw /dev/null 2>/dev/null; "
              "[ $(( $(date +%s%N) - s )) -ge 900000000 ] && echo paced"
                                                      << "paced\n";
    // The system calls, in order: every output synced before any takes its name, then the folder.
    const QString trace = QStringLiteral(
        "strace -f -qq -e trace=fsync,rename,renameat,renameat2 -o trace %1 2>/dev/null; "
        "sed -E 's/^[0-9]+ +//; s/\\(.*//; s/renameat2?/rename/' trace | tr '\\n' ' '");
    QTest::newRow("synced before it takes its name")
        << trace.arg(run + "--csv a.csv") << "fsync rename fsync ";
    QTest::newRow("all synced before any takes its name")
        << trace.arg(run + "--csv a.csv --png b.png") << "fsync fsync rename rename fsync ";
    QTest::newRow("{dir} tells same-named inputs apart, one summary")
        << "\"$BANDVIEW\" \"$IN/good.wav\" \"$IN/sub/good.wav\" --csv '{dir}-{name}.csv' 2>&1 "
           "| sed 's/ in [0-9.]* s$//; s/ frames in .*//; s|'\"$IN\"'|IN|'| sort; ls"
        << "2 files: 2 clean, 0 damaged, 0 failed\nIN/good.wav: 0:00.5 of audio at 48000 Hz, "
           "25\nIN/sub/good.wav: 0:00.5 of audio at 48000 Hz, 25\n"
            + QFileInfo(inputs_.path()).fileName() + "-good.csv\nsub-good.csv\n";
    QTest::newRow("{dir} of a bare name is the current folder's name")
        << "o=$PWD; cd \"$IN\" && \"$BANDVIEW\" good.wav sub/good.wav --csv "
           "\"$o/{dir}-{name}.csv\" 2>/dev/null; cd \"$o\" && ls"
        << QFileInfo(inputs_.path()).fileName() + "-good.csv\nsub-good.csv\n";
    // Bad input outranks damage: the status promises no outputs that were not written.
    QTest::newRow("batch of a cut file and a missing one")
        << "head -c 30000 \"$IN/good.wav\" >cut.wav; \"$BANDVIEW\" cut.wav none.wav --csv "
           "'{name}.csv' 2>err; echo $?; sed -n 's/ in [0-9.]* s$//p' err | grep '^2 files'; ls"
        << "2\n2 files: 0 clean, 1 damaged, 1 failed\ncut.csv\ncut.wav\nerr\n";
    // A reader that goes away: a closed pipe ends the run as q does, the other outputs written;
    // a FIFO waits for its next reader, who gets the header first.
    QTest::newRow("closed pipe on standard output")
        << "{ \"$BANDVIEW\" --raw - --csv a.csv 2>err; echo $? >status; } | head -n 3 >/dev/null; "
           "cat status; grep -c '^bandview:' err; head -c 4 a.csv; ls"
        << "0\n0\nseq,a.csv\nerr\nstatus\n";
    // The second reader's two lines are then shown.
    const QString twoReaders = QStringLiteral(
        "mkfifo f; { \"$BANDVIEW\" --duration 3 %1 f 2>err; echo $? >status; } & "
        "head -n 3 f >/dev/null; sleep 0.3; timeout 10 head -n 2 f >second; "
        "timeout 10 cat f >/dev/null; wait; cat status; grep -c '^bandview:' err; %2 second");
    QTest::newRow("FIFO's next reader, paced run") << twoReaders.arg(
        QStringLiteral("--realtime --raw"), QStringLiteral("awk -F';' '{print NF}'"))
                                                   << "0\n0\n28\n28\n";
    QTest::newRow("FIFO's next reader, off-line run")
        << twoReaders.arg(QStringLiteral("--csv"), QStringLiteral("head -c 4")) << "0\n0\nseq,";
    QTest::newRow("collision names both inputs")
        << "\"$BANDVIEW\" \"$IN/good.wav\" \"$IN/sub/good.wav\" --csv '{name}.csv' 2>&1 "
           "| sed 's|'\"$IN\"'|IN|g'; ls"
        << "bandview: good.csv: named for both --csv good.csv for IN/good.wav and --csv good.csv "
           "for IN/sub/good.wav\n";
}

void tst_BandviewCli::outputRulesSeenFromTheShell()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QTemporaryDir out;
    const Run r = runShell(
        QStringLiteral("export IN='%1'; cd '%2' && %3").arg(inputs_.path(), out.path(), script));
    QVERIFY2(r.out == expected.toLocal8Bit(), qPrintable(describe(r)));
}

void tst_BandviewCli::stoppedBatchKeepsWhatFinished()
{
    // The second input is a FIFO that stays silent: the first file finishes, then Ctrl-C.
    QTemporaryDir out;
    const QString fifo = out.filePath(QStringLiteral("fifo.wav"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
    QVERIFY(writer >= 0);
    QProcess p;
    p.start(QStringLiteral(BANDVIEW_EXE),
        { inputs_.filePath(QStringLiteral("good.wav")), fifo, "--csv",
            out.filePath(QStringLiteral("{name}.csv")) });
    QVERIFY(p.waitForStarted());
    for (int i = 0; i < 100 && !QFile::exists(out.filePath(QStringLiteral("good.csv"))); ++i)
        QTest::qWait(50);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(10000));
    ::close(writer);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(p.exitCode() == 128 + SIGINT
            && err.endsWith("bandview: stopped: the outputs of 1 of 2 files stay written, nothing "
                            "for the others\n"),
        err.constData());
    QCOMPARE(entries(out.path()), (QStringList { "fifo.wav", "good.csv" }));
}

void tst_BandviewCli::rawRecordsMatchTheData_data()
{
    // Bytes per value (0: ASCII) and the top of the range.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("top");
    QTest::newRow("ascii") << QStringList() << 0 << 1000;
    QTest::newRow("ascii to 7") << QStringList { "--raw-max", "7" } << 0 << 7;
    QTest::newRow("u8") << QStringList { "--raw-format", "u8" } << 1 << 255;
    QTest::newRow("u16") << QStringList { "--raw-format", "u16" } << 2 << 65535;
    QTest::newRow("ascii to 7, beat") << QStringList { "--raw-max", "7", "--raw-beat" } << 0 << 7;
    QTest::newRow("u8, beat") << QStringList { "--raw-format", "u8", "--raw-beat" } << 1 << 255;
    QTest::newRow("u16, beat") << QStringList { "--raw-format", "u16", "--raw-beat" } << 2 << 65535;
}

void tst_BandviewCli::rawRecordsMatchTheData()
{
    QFETCH(QStringList, options);
    QFETCH(int, width);
    QFETCH(int, top);
    QTemporaryDir out;
    const QString csv = out.filePath(QStringLiteral("a.csv"));
    const QString raw = out.filePath(QStringLiteral("a.raw"));
    const bool beat = options.contains(QStringLiteral("--raw-beat"));
    const int values = dsp::kDefaultBands + (beat ? 2 : 0);
    // The demo's drums give a tempo within a few seconds.
    const Run r
        = runBandview(QStringList { "--duration", "6", "--csv", csv, "--raw", raw } + options);
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    const auto rows = readCsv(csv);
    QFile f(raw);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    // The reader: one record per data row, each band's bar height scaled to 0..top, then with the
    // beat the onset and the whole tempo.
    QList<QList<int>> records;
    if (width == 0) {
        for (const QByteArray& line : bytes.split('\n')) {
            if (line.isEmpty())
                continue;
            records.append(QList<int>());
            for (const QByteArray& v : line.split(';'))
                records.last().append(v.toInt());
        }
    } else {
        const int size = values * width;
        QCOMPARE(bytes.size() % size, 0);
        for (qsizetype at = 0; at < bytes.size(); at += size) {
            records.append(QList<int>());
            for (int k = 0; k < values; ++k) {
                const auto* p = reinterpret_cast<const uchar*>(bytes.constData() + at + k * width);
                records.last().append(width == 1 ? p[0] : p[0] | p[1] << 8);
            }
        }
    }
    QCOMPARE(records.size(), rows.size() - 1);
    int lit = 0;
    int onsets = 0;
    int tempos = 0;
    const int onsetColumn = 5 + 2 * dsp::kDefaultBands;
    for (int i = 0; i < records.size(); ++i) {
        QVERIFY2(records[i].size() == values, qPrintable(QString::number(i)));
        if (beat) {
            const QList<QByteArray>& row = rows[i + 1];
            // The tempo is held to the format's range, whatever the heights' (--raw-max).
            const double tempoTop = width == 1 ? 255.0 : 65535.0;
            const long bpm
                = std::lround(std::min(double(row[onsetColumn + 1].toFloat()), tempoTop));
            QVERIFY2(records[i][dsp::kDefaultBands] == row[onsetColumn].toInt()
                    && records[i][dsp::kDefaultBands + 1] == bpm,
                qPrintable(QStringLiteral("record %1: onset %2, tempo %3; data %4, %5")
                               .arg(i)
                               .arg(records[i][dsp::kDefaultBands])
                               .arg(records[i][dsp::kDefaultBands + 1])
                               .arg(QString::fromLatin1(row[onsetColumn]))
                               .arg(QString::fromLatin1(row[onsetColumn + 1]))));
            onsets += records[i][dsp::kDefaultBands];
            tempos += records[i][dsp::kDefaultBands + 1] > 0;
        }
        for (int k = 0; k < dsp::kDefaultBands; ++k) {
            const long want = std::lround(double(rows[i + 1][5 + k].toFloat()) * top);
            QVERIFY2(records[i][k] == want,
                qPrintable(QStringLiteral("record %1 band %2: %3, bar %4")
                               .arg(i)
                               .arg(k)
                               .arg(records[i][k])
                               .arg(QString::fromLatin1(rows[i + 1][5 + k]))));
            lit += records[i][k] > 0;
        }
    }
    QVERIFY2(lit > records.size(), qPrintable(QString::number(lit)));
    if (beat)
        QVERIFY2(onsets > 0 && tempos > 0,
            qPrintable(
                QStringLiteral("%1 onsets, %2 frames with a tempo").arg(onsets).arg(tempos)));
}

void tst_BandviewCli::selfChecksRunAsDocumented()
{
    // The commands of the development guide's section on the self-checks, as a reader would paste
    // them.
    QFile guide(QStringLiteral(BANDCORE_SOURCE_DIR "/docs/development.md"));
    QVERIFY2(guide.open(QIODevice::ReadOnly), qPrintable(guide.fileName()));
    const QString text = QString::fromUtf8(guide.readAll());
    const int section = text.indexOf(QStringLiteral("## Running the self-checks"));
    QVERIFY(section >= 0);
    const int start = text.indexOf(QStringLiteral("```sh\n"), section) + 6;
    const int end = text.indexOf(QStringLiteral("```"), start);
    int commands = 0;
    for (QString line : text.mid(start, end - start).split(QLatin1Char('\n'))) {
        line = line.section(QStringLiteral("  #"), 0, 0).trimmed();
        if (!line.startsWith(QStringLiteral("build/selfcheck/")))
            continue;
        QStringList words = QProcess::splitCommand(line);
        const QString program = QStringLiteral(BANDCORE_BUILD_DIR) + words.takeFirst().mid(5);
        QProcess p;
        p.start(program, words);
        QVERIFY2(p.waitForFinished(120000), qPrintable(line));
        const QByteArray out = p.readAllStandardOutput();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
            qPrintable(line + QStringLiteral(": status ") + QString::number(p.exitCode())));
        // A case or row the program does not know would run nothing and still exit 0.
        QVERIFY2(words.contains(QStringLiteral("-functions"))
                || (out.contains("Totals:") && !out.contains(" 0 passed")),
            qPrintable(line + QStringLiteral(": ") + QString::fromLocal8Bit(out.right(300))));
        ++commands;
    }
    QVERIFY2(commands >= 4, qPrintable(QStringLiteral("%1 commands").arg(commands)));
}

void tst_BandviewCli::damagedInputWarnsAndExitsThree_data()
{
    // Zeros in the middle, or in the page before the last, are skipped and filled with silence,
    // so the data still reaches the end of the 8 s; a stream cut in its last page is truncated,
    // from a file and a pipe alike.
    QTest::addColumn<QString>("codec");
    QTest::addColumn<int>("zeroBytes");
    QTest::addColumn<bool>("beforeLast");
    QTest::addColumn<int>("cutBytes");
    QTest::addColumn<bool>("pipe");
    QTest::addColumn<QByteArray>("word");
    QTest::newRow("clean MP3") << "libmp3lame" << 0 << false << 0 << false << QByteArray();
    QTest::newRow("zeros in the middle of an MP3")
        << "libmp3lame" << 2000 << false << 0 << false << QByteArray("damaged");
    for (const char* codec : { "libvorbis", "libopus" }) {
        for (bool pipe : { false, true }) {
            const char* how = pipe ? "pipe" : "file";
            QTest::addRow("%s, zeros mid-file, %s", codec, how)
                << codec << 5000 << false << 0 << pipe << QByteArray("damaged");
            QTest::addRow("%s, zeros in the page before the last, %s", codec, how)
                << codec << 0 << true << 0 << pipe << QByteArray("damaged");
            QTest::addRow("%s, cut mid-page, %s", codec, how)
                << codec << 0 << false << 300 << pipe << QByteArray("truncated");
        }
    }
}

void tst_BandviewCli::damagedInputWarnsAndExitsThree()
{
    QFETCH(QString, codec);
    QFETCH(int, zeroBytes);
    QFETCH(bool, beforeLast);
    QFETCH(int, cutBytes);
    QFETCH(bool, pipe);
    QFETCH(QByteArray, word);
    QTemporaryDir dir;
    const QString file = dir.filePath(codec == "libmp3lame" ? "tone.mp3" : "tone.ogg");
    // A tone in noise, so that the zeros hit one page of many, not half the file.
    const bool mp3 = codec == QLatin1String("libmp3lame");
    QProcess encoder;
    encoder.start(QStringLiteral(FFMPEG_EXE),
        { "-v", "error", "-f", "lavfi", "-i",
            QStringLiteral("aevalsrc=0.5*sin(2*PI*1000*t)+0.2*(random(0)-0.5):s=%1:d=8")
                .arg(mp3 ? 44100 : 48000),
            "-c:a", codec, file });
    QVERIFY(encoder.waitForFinished(30000) && encoder.exitCode() == 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadWrite));
    if (zeroBytes > 0) {
        QVERIFY(f.seek(f.size() / 2));
        f.write(QByteArray(zeroBytes, '\0'));
    }
    if (beforeLast) {
        // The middle half of the page, so that its header is left.
        const QByteArray bytes = f.readAll();
        const qsizetype last = bytes.lastIndexOf("OggS");
        const qsizetype before = bytes.lastIndexOf("OggS", last - 1);
        QVERIFY(before > 0);
        QVERIFY(f.seek(before + (last - before) / 4));
        f.write(QByteArray((last - before) / 2, '\0'));
    }
    if (cutBytes > 0)
        QVERIFY(f.resize(f.size() - cutBytes));
    f.close();
    const QString csv = dir.filePath(QStringLiteral("tone.csv"));
    const Run r = pipe
        ? runShell(QStringLiteral("exec \"$BANDVIEW\" - --csv '%1' < '%2'").arg(csv, file))
        : runBandview({ file, "--csv", csv });
    QVERIFY2(r.status == (word.isEmpty() ? 0 : 3), qPrintable(describe(r)));
    // The result line, and for damage one warning line after it; the data is written either way.
    const QList<QByteArray> lines = r.err.trimmed().split('\n');
    QVERIFY2(lines.size() == (word.isEmpty() ? 1 : 2), qPrintable(describe(r)));
    if (!word.isEmpty())
        QVERIFY2(lines[1].startsWith(
                     "bandview: " + (pipe ? "-" : QFile::encodeName(file)) + ": warning: ")
                && lines[1].contains(word),
            lines[1].constData());
    // Past damage in the middle the time line is the file's: the data reaches its end.
    const auto rows = readCsv(csv);
    const double endSec = rows.last()[1].toDouble();
    // MP3 may lose the frames the zeros destroyed (0.1 s here), as its decoder does not say.
    // A cut takes the whole last page, up to a second of a noisy Vorbis stream.
    QVERIFY2(endSec > (cutBytes > 0 ? 6.9 : mp3 ? 7.5 : 7.9), rows.last()[1].constData());
}

void tst_BandviewCli::configurationFileSeenFromTheProgram_data()
{
    // The file in the default place; {cfg} stands for its path in what is expected.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("outHolds");
    QTest::addColumn<QString>("errFirstLine"); // empty: nothing said
    QTest::newRow("print-config names the file's line")
        << QByteArray("colour = red\ndelay = 250\n") << QStringList { "--print-config" }
        << "\ndelay = 250  # {cfg}:2\n"
        << "bandview: {cfg}:1: unknown key 'colour'";
    QTest::newRow("print-config names the command line")
        << QByteArray("delay = 250\n")
        << QStringList { "--capture", "--delay", "100", "--print-config" }
        << "\ndelay = 100  # command line\n"
        << QString();
    // The command line names a theme of the file's own, whose bad key is said by its line.
    QTest::newRow("print-config with a theme of the file's")
        << QByteArray("theme.dusk.base = ember\ntheme.dusk.glow = 9\n")
        << QStringList { "--theme", "dusk", "--print-config" } << "\ntheme = dusk  # command line\n"
        << "bandview: {cfg}:2: theme key 'glow' needs a number from 0 to 4, got '9'";
    // The run goes on, and its data stay in the command line's format.
    QTest::newRow("a data format in the file is refused")
        << QByteArray("raw-format = u8\n") << QStringList { "--duration", "0.2", "--raw", "-" }
        << ";0;0\n"
        << "bandview: {cfg}:1: "
           "'raw-format' is not a setting the file can hold: give it on the command line";
    QTest::newRow("stereo from the file leaves the data mono")
        << QByteArray("layout = stereo\n") << QStringList { "--duration", "0.2", "--csv", "-" }
        << "seq,timeSec,rmsDb,"
        << "bandview: layout stereo from the configuration file is not taken with --csv or "
           "--raw (it would change what they hold): give --layout stereo";
}

void tst_BandviewCli::configurationFileSeenFromTheProgram()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, args);
    QFETCH(QString, outHolds);
    QFETCH(QString, errFirstLine);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("bandview")));
    const QString cfg = home.filePath(QStringLiteral("bandview/config"));
    QFile f(cfg);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file) == file.size());
    f.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());

    const Run r = runProgram(QStringLiteral(BANDVIEW_EXE), args, {}, env);
    QVERIFY2(r.status == 0, qPrintable(describe(r)));
    QVERIFY2(QString::fromLocal8Bit(r.out).contains(QString(outHolds).replace("{cfg}", cfg)),
        qPrintable(describe(r)));
    const QString err = QString::fromLocal8Bit(r.err);
    if (errFirstLine.isEmpty())
        QVERIFY2(err.isEmpty(), qPrintable(describe(r)));
    else
        QCOMPARE(err.section(QLatin1Char('\n'), 0, 0), QString(errFirstLine).replace("{cfg}", cfg));
}

QTEST_APPLESS_MAIN(tst_BandviewCli)
#include "tst_bandviewcli.moc"
