// What the decoder reads from a container's own bytes: Ogg pages (the checksum, a page's header,
// whether it is intact, whether a stream ends whole, where the last page's audio belongs after
// lost pages) and the data length a WAV states.
#include "media/oggpages.h"
#include "media/wavlength.h"

#include <QTest>

#include <cstdint>

Q_DECLARE_METATYPE(media::OggPage)

namespace {

using Kind = media::OggLastPageTiming::Kind;

constexpr int kChecksumAt = 22;
constexpr int kHeaderBytes = int(media::kOggHeaderBytes);
constexpr std::uint32_t kSerial = 0x51;
// What a damaged granule may owe, in samples, where the last page's timing is tested.
constexpr std::int64_t kMaxSilenceSamples = 1000;

// The first page of an Ogg Vorbis file that FFmpeg's muxer wrote: the identification header.
const QByteArray kVorbisFirstPage
    = QByteArray::fromHex("4f676753000200000000000000008d3190f3000000003f16f4aa011e01766f72626973"
                          "000000000144ac000000000000f04f010000000000b801");

const std::uint8_t* u8(const QByteArray& b)
{
    return reinterpret_cast<const std::uint8_t*>(b.constData());
}

QByteArray le(std::uint64_t v, int bytes)
{
    QByteArray b(bytes, 0);
    for (int i = 0; i < bytes; ++i)
        b[i] = char(v >> (8 * i));
    return b;
}

QByteArray flip(QByteArray b, int at, int mask)
{
    b[at] = char(b[at] ^ mask);
    return b;
}

// A page of one segment holding payload, its checksum right unless broken.
QByteArray page(int flags, std::int64_t granule, std::uint32_t sequence, bool broken = false,
    std::uint32_t serial = kSerial, const QByteArray& payload = "\x07")
{
    QByteArray b = "OggS" + le(0, 1) + le(std::uint64_t(flags), 1) + le(std::uint64_t(granule), 8)
        + le(serial, 4) + le(sequence, 4) + le(0, 4) + le(1, 1)
        + le(std::uint64_t(payload.size()), 1) + payload;
    const std::uint32_t sum = media::oggChecksum(u8(b), std::size_t(b.size())) ^ (broken ? 1 : 0);
    return b.replace(kChecksumAt, 4, le(sum, 4));
}

media::OggPage header(std::int64_t pos, std::int64_t granule, std::uint32_t sequence,
    std::uint8_t flags = 0, std::uint32_t serial = kSerial)
{
    return { pos, granule, serial, sequence, flags };
}

QString text(const media::OggLastPageTiming& t)
{
    const char* kinds[] = { "timed", "delayed", "early" };
    return QStringLiteral("%1 %2 %3").arg(kinds[int(t.kind)]).arg(t.silence).arg(t.samples);
}

QByteArray chunk(const char* id, std::uint32_t length, int bodyBytes)
{
    return QByteArray(id, 4) + le(length, 4) + QByteArray(bodyBytes, 'x');
}

QByteArray riff(const QByteArray& chunks)
{
    return "RIFF" + le(std::uint64_t(4 + chunks.size()), 4) + "WAVE" + chunks;
}

} // namespace

class TestContainerBytes : public QObject {
    Q_OBJECT

private slots:
    void checksum_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("nothing") << QByteArray() << quint32(0);
        QTest::newRow("0x01: the polynomial") << QByteArray("\x01", 1) << quint32(0x04C11DB7);
        QTest::newRow("check string") << QByteArray("123456789") << quint32(0x89A1897F);
    }
    void checksum()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, expected);
        // Carried over a split anywhere, the sum is the same.
        for (int at = 0; at <= bytes.size(); ++at) {
            const std::uint32_t sum = media::oggChecksum(u8(bytes) + at,
                std::size_t(bytes.size() - at), media::oggChecksum(u8(bytes), std::size_t(at)));
            QVERIFY2(sum == expected,
                qPrintable(QStringLiteral("split at %1: %2, expected %3")
                               .arg(at)
                               .arg(sum, 0, 16)
                               .arg(expected, 0, 16)));
        }
    }

    // What a page's bytes say: its header, if one begins there, and whether the page is intact.
    void pageAt_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("found");
        QTest::addColumn<media::OggPage>("expected");
        QTest::addColumn<bool>("intact");
        const QByteArray& p = kVorbisFirstPage;
        const media::OggPage muxer { -1, 0, 0xF390318D, 0, 0x02 };
        const media::OggPage none;
        QTest::newRow("written by a muxer") << p << true << muxer << true;
        QTest::newRow("every byte of the numbers")
            << page(0x05, 0x0102030405060708, 0x0A0B0C0D) << true
            << media::OggPage { -1, 0x0102030405060708, kSerial, 0x0A0B0C0D, 0x05 } << true;
        QTest::newRow("followed by more bytes") << p + "\1\2\3" << true << muxer << true;
        QTest::newRow("last byte missing") << p.chopped(1) << true << muxer << false;
        QTest::newRow("segment table missing") << p.left(kHeaderBytes) << true << muxer << false;
        QTest::newRow("payload byte changed")
            << flip(p, p.size() - 1, 0x10) << true << muxer << false;
        QTest::newRow("checksum's last byte changed")
            << flip(p, kChecksumAt + 3, 0x80) << true << muxer << false;
        QTest::newRow("granule changed")
            << flip(p, 6, 0x01) << true << media::OggPage { -1, 1, 0xF390318D, 0, 0x02 } << false;
        QTest::newRow("header one byte short")
            << p.left(kHeaderBytes - 1) << false << none << false;
        QTest::newRow("capture pattern wrong") << flip(p, 3, 0x20) << false << none << false;
        QTest::newRow("version 1") << flip(p, 4, 0x01) << false << none << false;
    }
    void pageAt()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, found);
        QFETCH(media::OggPage, expected);
        QFETCH(bool, intact);
        media::OggPage p;
        QCOMPARE(media::oggPageAt(u8(bytes), std::size_t(bytes.size()), &p), found);
        QCOMPARE(p.pos, expected.pos);
        QCOMPARE(p.granule, expected.granule);
        QCOMPARE(p.serial, expected.serial);
        QCOMPARE(p.sequence, expected.sequence);
        QCOMPARE(int(p.flags), int(expected.flags));
        QCOMPARE(media::oggPageIntact(u8(bytes), std::size_t(bytes.size())), intact);
    }

    void endsWhole_data()
    {
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<bool>("expected");
        const QByteArray last = page(media::kOggLastPage, 900, 9);
        QTest::newRow("last page marked") << last << true;
        QTest::newRow("last page not marked")
            << page(media::kOggLastPage, 800, 8) + page(0, 900, 9) << false;
        QTest::newRow("last page cut in its payload") << last.chopped(1) << false;
        QTest::newRow("last page cut in its header") << last.left(20) << false;
        // A capture pattern in the last page's payload, whose page would end before it.
        const QByteArray inner = "OggS" + QByteArray(kHeaderBytes + 10, 0);
        QTest::newRow("pattern in the payload")
            << page(media::kOggLastPage, 900, 9, false, kSerial, inner) << true;
        QTest::newRow("nothing kept") << QByteArray() << true;
    }
    void endsWhole()
    {
        QFETCH(QByteArray, tail);
        QFETCH(bool, expected);
        QCOMPARE(media::oggEndsWhole(u8(tail), std::size_t(tail.size())), expected);
    }

    void lostBeforeLast_data()
    {
        QTest::addColumn<media::OggPage>("before");
        QTest::addColumn<media::OggPage>("last");
        QTest::addColumn<bool>("expected");
        const media::OggPage before = header(1000, 4000, 5);
        const media::OggPage last = header(3000, 9000, 7, media::kOggLastPage);
        QTest::newRow("pages missing") << before << last << true;
        QTest::newRow("next in sequence")
            << before << header(3000, 9000, 6, media::kOggLastPage) << false;
        QTest::newRow("not the last page") << before << header(3000, 9000, 7) << false;
        QTest::newRow("another stream")
            << before << header(3000, 9000, 7, media::kOggLastPage, kSerial + 1) << false;
        QTest::newRow("before not placed") << header(-1, 4000, 5) << last << false;
        QTest::newRow("before after last") << header(3000, 4000, 5) << last << false;
    }
    void lostBeforeLast()
    {
        QFETCH(media::OggPage, before);
        QFETCH(media::OggPage, last);
        QFETCH(bool, expected);
        QCOMPARE(media::oggLostBeforeLast(before, last), expected);
    }

    void timeLastPage_data()
    {
        QTest::addColumn<QByteArray>("between");
        QTest::addColumn<media::OggPage>("last");
        QTest::addColumn<QString>("expected");
        const QByteArray before = page(0, 1000, 1);
        const QByteArray lost = page(0, 2000, 2, true);
        const media::OggPage last = header(0, 2500, 3, media::kOggLastPage);
        const media::OggPage fourth = header(0, 2500, 4, media::kOggLastPage);
        const QString early("early 0 -1");
        QTest::newRow("lost page's header spared, silence at the bound")
            << before + lost << last << QString("delayed 1000 500");
        QTest::newRow("an intact page read after before") << before + page(0, 1500, 2)
                + page(0, 2000, 3, true) << fourth << QString("delayed 500 500");
        QTest::newRow("a damaged page read after before") << before + page(0, 1500, 2, true)
                + page(0, 2000, 3, true) << fourth << QString("delayed 1000 500");
        QTest::newRow("page before the last read whole")
            << before + page(0, 2000, 2) << last << QString("timed 0 -1");
        QTest::newRow("lost page's header gone") << before + QByteArray(40, 0) << last << early;
        QTest::newRow("lost page of another stream")
            << before + page(0, 2000, 2, true, kSerial + 1) << last << early;
        QTest::newRow("last page continues a packet")
            << before + lost << header(0, 2500, 3, media::kOggLastPage | media::kOggContinued)
            << early;
        QTest::newRow("silence beyond the bound")
            << before + page(0, 2001, 2, true) << last << early;
        QTest::newRow("lost granule past the last's")
            << before + page(0, 2600, 2, true) << last << early;
        QTest::newRow("lost granule not past what was read")
            << before + page(0, 1000, 2, true) << last << early;
    }
    void timeLastPage()
    {
        QFETCH(QByteArray, between);
        QFETCH(media::OggPage, last);
        QFETCH(QString, expected);
        const media::OggLastPageTiming t = media::oggTimeLastPage(
            u8(between), std::size_t(between.size()), header(0, 1000, 1), last, kMaxSilenceSamples);
        QCOMPARE(text(t), expected);
    }

    void wavDataLength_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<qint64>("expected");
        const QByteArray fmt = chunk("fmt ", 16, 16);
        const QByteArray data = chunk("data", 1000, 0);
        QTest::newRow("data first") << riff(chunk("data", 88200, 0)) << qint64(88200);
        QTest::newRow("after an odd chunk and its pad byte")
            << riff(fmt + chunk("LIST", 3, 4) + data) << qint64(1000);
        QTest::newRow("placeholder 0xFFFFFFFF")
            << riff(fmt + chunk("data", 0xFFFFFFFFu, 0)) << qint64(0xFFFFFFFFu);
        QTest::newRow("data chunk's header cut") << riff(fmt + data).chopped(1) << qint64(-1);
        QTest::newRow("a chunk runs past the head")
            << riff(chunk("LIST", 5000, 16) + data) << qint64(-1);
        QTest::newRow("no data chunk") << riff(fmt) << qint64(-1);
        QTest::newRow("RIFF of another form") << "RIFF" + le(12, 4) + "AVI " + data << qint64(-1);
        QTest::newRow("RIFX, big-endian") << "RIFX" + riff(data).mid(4) << qint64(-1);
        QTest::newRow("shorter than a RIFF header")
            << QByteArray("RIFF\0\0\0\0WAV", 11) << qint64(-1);
    }
    void wavDataLength()
    {
        QFETCH(QByteArray, head);
        QFETCH(qint64, expected);
        QCOMPARE(qint64(media::wavDataLength(u8(head), int(head.size()))), expected);
    }

    void wavLengthUnknown_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("expected");
        QTest::newRow("0") << qint64(0) << true;
        QTest::newRow("sox's 0x7FFFF000") << qint64(0x7FFFF000) << true;
        QTest::newRow("0xFFFFFFFF") << qint64(0xFFFFFFFFu) << true;
        QTest::newRow("next to sox's") << qint64(0x7FFFF001) << false;
        QTest::newRow("none stated") << qint64(-1) << false;
    }
    void wavLengthUnknown()
    {
        QFETCH(qint64, length);
        QFETCH(bool, expected);
        QCOMPARE(media::wavLengthUnknown(length), expected);
    }
};

QTEST_APPLESS_MAIN(TestContainerBytes)
#include "tst_containerbytes.moc"
