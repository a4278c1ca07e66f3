// The LED output module: the packet's bytes, the sender on the loopback address (the packet as
// received, the onsets carried between packets, the rate limit), the channel mapping on tones, and
// the programs' way from an analysis loop to the sender (held back as the picture is).
#include "dsp/spectrumanalyzer.h"
#include "led/audiosync.h"
#include "led/channelmap.h"
#include "led/sender.h"
#include "led/syncmaker.h"
#include "shell/wled.h"
#include "udpreceiver.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

constexpr int kRateHz = 48000;
constexpr int kHop = kRateHz / dsp::kFrameRateHz;
constexpr int kWaitMs = 2000;

// Fields whose every byte is known: 1.5f is 3fc00000, 200.25f 43484000, 4096.0f 45800000,
// 440.5f 43dc4000.
led::AudioSync goldenFields()
{
    led::AudioSync s;
    s.sampleRaw = 1.5f;
    s.sampleSmth = 200.25f;
    s.samplePeak = true;
    for (int c = 0; c < led::kChannels; ++c)
        s.channels[std::size_t(c)] = std::uint8_t(0xf0 - c);
    s.fftMagnitude = 4096.0f;
    s.fftMajorPeakHz = 440.5f;
    return s;
}

const led::Packet kGolden { { '0', '0', '0', '0', '2', 0, 0, 0, // header, reserved
    0x00, 0x00, 0xc0, 0x3f, 0x00, 0x40, 0x48, 0x43, // sampleRaw, sampleSmth
    1, 0, // samplePeak, reserved
    0xf0, 0xef, 0xee, 0xed, 0xec, 0xeb, 0xea, 0xe9, 0xe8, 0xe7, 0xe6, 0xe5, 0xe4, 0xe3, 0xe2, 0xe1,
    0, 0, // reserved
    0x00, 0x00, 0x80, 0x45, 0x00, 0x40, 0xdc, 0x43 } };

QByteArray hex(const std::uint8_t* bytes, std::size_t n)
{
    return QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(n)).toHex(' ');
}

void compareBytes(const std::vector<std::uint8_t>& got, const led::Packet& want)
{
    QCOMPARE(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        QVERIFY2(got[i] == want[i],
            qPrintable(QStringLiteral("byte %1: got %2, want %3\n got  %4\n want %5")
                           .arg(i)
                           .arg(got[i])
                           .arg(want[i])
                           .arg(QString::fromLatin1(hex(got.data(), got.size())),
                               QString::fromLatin1(hex(want.data(), want.size())))));
}

// A sender to a receiver on 127.0.0.1, on a port of the receiver's choosing.
struct Loopback {
    UdpReceiver receiver { "127.0.0.1", 0 };
    led::Sender sender { led::Target { "127.0.0.1", receiver.port(), 1 },
        [](const std::string& line) { qWarning("%s", line.c_str()); } };
};

// The analyser's frame and power spectrum after a second of a sine of peak amplitude.
struct Heard {
    dsp::SpectrumFrame frame;
    std::vector<float> power;
};
Heard hear(double hz, double amplitude)
{
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(kRateHz);
    std::vector<float> hop(kHop);
    Heard heard;
    for (int h = 0, n = 0; h < dsp::kFrameRateHz; ++h) {
        for (float& x : hop)
            x = float(amplitude * std::sin(2.0 * M_PI * hz * n++ / kRateHz));
        analyzer.pushSamples(hop.data(), kHop);
        analyzer.process(heard.frame);
    }
    const float* power = analyzer.powerSpectrum();
    heard.power.assign(power, power + analyzer.fftSize() / 2 + 1);
    return heard;
}

led::AudioSync afterTone(double hz, double amplitude)
{
    const Heard heard = hear(hz, amplitude);
    led::SyncMaker maker(dsp::kDefaultBands, int(heard.power.size() - 1) * 2, kRateHz);
    return maker.make(heard.frame, heard.power.data(), false);
}

// Silence, then a sine from sample toneFrom on.
class LateTone : public media::HopSource {
public:
    LateTone(double hz, double amplitude, std::int64_t toneFrom)
        : hz_(hz)
        , amplitude_(amplitude)
        , toneFrom_(toneFrom)
    {
    }
    int fill(float* const* groups, int count) override
    {
        for (int i = 0; i < count; ++i, ++next_)
            groups[0][i] = next_ < toneFrom_
                ? 0.0f
                : float(amplitude_ * std::sin(2.0 * M_PI * hz_ * double(next_) / kRateHz));
        return count;
    }

private:
    double hz_;
    double amplitude_;
    std::int64_t toneFrom_;
    std::int64_t next_ = 0;
};

// The last of the datagrams that arrive until none has for a while.
Datagram lastArriving(UdpReceiver& receiver)
{
    Datagram last;
    Datagram d;
    while (receiver.receive(&d, 200))
        last = d;
    return last;
}

} // namespace

class TestLedOutput : public QObject {
    Q_OBJECT

private slots:
    void encodesTheGoldenPacket()
    {
        const led::Packet p = led::encode(goldenFields());
        compareBytes(std::vector<std::uint8_t>(p.begin(), p.end()), kGolden);
    }

    void sendsTheGoldenPacketToLoopback()
    {
        Loopback link;
        QVERIFY(link.receiver.ok());
        led::Packet body = led::encode(goldenFields());
        // samplePeak comes from the onsets offered, not from the bytes.
        led::setPeak(body, false);
        link.sender.offer(body, true);
        Datagram d;
        QVERIFY2(link.receiver.receive(&d, kWaitMs), "no packet arrived");
        compareBytes(d.bytes, kGolden);
    }

    // An onset offered between two packets marks the next one sent, even when a later frame
    // without one replaced its bytes; the packet after that is clear again.
    void carriesAnOnsetToTheNextPacket()
    {
        Loopback link;
        led::AudioSync s = goldenFields();
        s.sampleRaw = 1.0f;
        link.sender.offer(led::encode(s), false);
        Datagram d;
        QVERIFY(link.receiver.receive(&d, kWaitMs));
        // Both offered within the 20 ms that now pass before the next packet.
        s.sampleRaw = 2.0f;
        link.sender.offer(led::encode(s), true);
        s.sampleRaw = 3.0f;
        link.sender.offer(led::encode(s), false);
        QVERIFY(link.receiver.receive(&d, kWaitMs));
        QCOMPARE(d.bytes[led::kSamplePeakAt], std::uint8_t(1));
        QCOMPARE(hex(&d.bytes[led::kSampleRawAt], 4), hex(&led::encode(s)[led::kSampleRawAt], 4));
        link.sender.offer(led::encode(s), false);
        QVERIFY(link.receiver.receive(&d, kWaitMs));
        QCOMPARE(d.bytes[led::kSamplePeakAt], std::uint8_t(0));
    }

    // Offered a packet each millisecond for half a second, the sender spaces them by 20 ms.
    // The spacing is read from the kernel's receive stamps, taken inside each sendto() on
    // loopback: the receiving side's scheduling does not enter, and the sender measures from the
    // end of one send to the start of the next. The 0.05 ms allowed is for the stamps' clock,
    // CLOCK_REALTIME, which NTP may slew by up to 500 ppm (10 us in 20 ms). The sender's own
    // wake-ups may come late on a loaded machine, so the count asks for 15 of the ideal 25
    // (a 40 ms spacing would give 12).
    void sendsAtMostOnePacketEach20Ms()
    {
        Loopback link;
        const led::Packet body = led::encode(goldenFields());
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (std::chrono::steady_clock::now() < end) {
            link.sender.offer(body, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::vector<double> stamps;
        Datagram d;
        while (link.receiver.receive(&d, 100))
            stamps.push_back(d.stampSec);
        QVERIFY2(stamps.size() >= 15, qPrintable(QString::number(stamps.size())));
        QVERIFY2(stamps.size() <= 27, qPrintable(QString::number(stamps.size())));
        for (std::size_t i = 1; i < stamps.size(); ++i) {
            const double gapMs = (stamps[i] - stamps[i - 1]) * 1000.0;
            QVERIFY2(gapMs >= led::kMinIntervalMs - 0.05,
                qPrintable(
                    QStringLiteral("packets %1 and %2 %3 ms apart").arg(i - 1).arg(i).arg(gapMs)));
        }
    }

    // Every channel is covered by the bands once over (40 Hz to 16 kHz holds 43 Hz to 9.26 kHz).
    void channelsShareOutToWholeBands()
    {
        const led::ChannelMap map(dsp::kDefaultBands, dsp::kBandLowHz, dsp::kBandHighHz);
        for (int c = 0; c < led::kChannels; ++c) {
            float sum = 0.0f;
            int bands = 0;
            for (int b = 0; b < dsp::kDefaultBands; ++b) {
                sum += map.weight(c, b);
                bands += map.weight(c, b) > 0.0f;
            }
            QVERIFY2(std::abs(sum - 1.0f) < 1e-5f && bands >= 2,
                qPrintable(QStringLiteral("channel %1: shares add to %2 over %3 bands")
                               .arg(c)
                               .arg(double(sum))
                               .arg(bands)));
        }
        // The top band lies above every channel.
        QCOMPARE(map.weight(led::kChannels - 1, dsp::kDefaultBands - 1), 0.0f);
    }

    void toneLightsItsChannel_data()
    {
        QTest::addColumn<int>("channel");
        for (int c = 0; c < led::kChannels; ++c)
            QTest::addRow("channel %d", c) << c;
    }

    // A sine at the geometric middle of a channel's range lights that channel most, and the
    // packet's peak reads its frequency and a full-scale magnitude.
    void toneLightsItsChannel()
    {
        QFETCH(int, channel);
        const led::ChannelRange range = led::kChannelRanges[std::size_t(channel)];
        const double hz = std::sqrt(double(range.lowHz) * range.highHz);
        const double amplitude = 0.5;
        const led::AudioSync s = afterTone(hz, amplitude);
        const auto top = std::max_element(s.channels.begin(), s.channels.end());
        QVERIFY2(top - s.channels.begin() == channel,
            qPrintable(QStringLiteral("%1 Hz lit channel %2 (%3), channel %4 has %5")
                           .arg(hz)
                           .arg(top - s.channels.begin())
                           .arg(*top)
                           .arg(channel)
                           .arg(s.channels[std::size_t(channel)])));
        // The parabola through three bins of 11.7 Hz lands well within a bin.
        QVERIFY2(std::abs(s.fftMajorPeakHz - hz) < 0.5 * kRateHz / 4096,
            qPrintable(
                QStringLiteral("peak %1 Hz for %2 Hz").arg(double(s.fftMajorPeakHz)).arg(hz)));
        // 4096 at full scale on a bin; the Hann window reads down to 0.85 of that between two.
        const double full = amplitude * led::kFullScaleMagnitude;
        QVERIFY2(s.fftMagnitude <= full * 1.001 && s.fftMagnitude >= full * 0.84,
            qPrintable(
                QStringLiteral("magnitude %1 for %2").arg(double(s.fftMagnitude)).arg(full)));
    }

    // Two sides: each channel the louder side's, the peak the louder side's loudest bin.
    void bothSidesLight()
    {
        const Heard left = hear(1000.0, 0.25);
        const Heard right = hear(160.0, 0.5);
        led::SyncMaker maker(dsp::kDefaultBands, int(left.power.size() - 1) * 2, kRateHz);
        const led::AudioSync one = maker.make(left.frame, left.power.data(), false);
        const led::AudioSync both
            = maker.make(left.frame, left.power.data(), right.frame, right.power.data(), false);
        // 1 kHz in channel 7 (818 to 1120 Hz), 160 Hz in channel 2 (129 to 216 Hz).
        QCOMPARE(both.channels[7], one.channels[7]);
        QVERIFY2(both.channels[2] > 100 && one.channels[2] < 50,
            qPrintable(QStringLiteral("channel 2: %1 with the right side, %2 without")
                           .arg(both.channels[2])
                           .arg(one.channels[2])));
        QVERIFY2(std::abs(both.fftMajorPeakHz - 160.0f) < 6.0f,
            qPrintable(QString::number(double(both.fftMajorPeakHz))));
    }

    // The programs' frames wait as the picture does: 30 ticks behind, the last packet out is
    // still the silence before the tone; once the wait ends the packets held go out at once, and
    // the tone's onset among them reaches the newest.
    void framesWaitAsThePictureDoes()
    {
        UdpReceiver receiver("127.0.0.1", 0);
        QVERIFY(receiver.ok());
        shell::WledOutput output(led::Target { "127.0.0.1", receiver.port(), 1 });
        media::AnalysisLoop loop(kRateHz);
        shell::WledFrames frames(output, loop);
        loop.addConsumer(frames);
        frames.setDelayMs(500.0);
        // The tone starts after 0.5 s, and plays for 0.3 s before the wait ends.
        LateTone hops(1000.0, 0.5, kRateHz / 2);
        for (int h = 0; h < 48; ++h)
            loop.step(hops);
        Datagram last = lastArriving(receiver);
        QCOMPARE(last.bytes.size(), led::kPacketBytes);
        QCOMPARE(last.bytes[led::kChannelsAt + 7], std::uint8_t(0));
        QCOMPARE(last.bytes[led::kSamplePeakAt], std::uint8_t(0));
        frames.setDelayMs(0.0);
        loop.step(hops);
        last = lastArriving(receiver);
        QCOMPARE(last.bytes.size(), led::kPacketBytes);
        QVERIFY2(last.bytes[led::kChannelsAt + 7] > 100,
            qPrintable(QString::number(last.bytes[led::kChannelsAt + 7])));
        QCOMPARE(last.bytes[led::kSamplePeakAt], std::uint8_t(1));
    }

    // The level with its gain on the dB scale: -3 dBFS and silence.
    void levelReadsOnItsScale()
    {
        led::SyncMaker maker(dsp::kDefaultBands, 4096, kRateHz);
        const std::vector<float> power(2049, 0.0f);
        dsp::SpectrumFrame frame;
        frame.rmsDb = -9.0f;
        frame.agcDb = 6.0f;
        const led::AudioSync loud = maker.make(frame, power.data(), false);
        QCOMPARE(loud.sampleRaw, 255.0f * 57.0f / 60.0f);
        // The smoother moves a part of the way, 1 - exp(-16.7 / 100) = 0.154.
        QVERIFY2(std::abs(loud.sampleSmth - 0.1535f * loud.sampleRaw) < 0.1f,
            qPrintable(QString::number(double(loud.sampleSmth))));
        frame.rmsDb = dsp::kSilenceDb;
        QCOMPARE(maker.make(frame, power.data(), false).sampleRaw, 0.0f);
    }
};

QTEST_APPLESS_MAIN(TestLedOutput)
#include "tst_ledoutput.moc"
