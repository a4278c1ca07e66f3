// Ogg pages read from bytes alone: the checksum, a page's header, whether a page is intact,
// whether a stream ends whole, and where the last page's audio belongs after lost pages.
#include "media/oggpages.h"

#include <QTest>

#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(media::OggPage)

namespace {

// The first page of an Ogg Vorbis file that FFmpeg's muxer wrote: the identification header.
const Bytes kVorbisFirstPage = [] {
    const QByteArray hex = "4f676753000200000000000000008d3190f3000000003f16f4aa011e01766f72626973"
                           "000000000144ac000000000000f04f010000000000b801";
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}();

constexpr std::size_t kChecksumAt = 22;
constexpr std::uint32_t kSerial = 0x51;

void putLittleEndian(Bytes& b, std::size_t at, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

// A page of one segment holding payload, its checksum right unless broken.
Bytes page(std::uint8_t flags, std::int64_t granule, std::uint32_t sequence, Bytes payload = { 7 },
    bool broken = false, std::uint32_t serial = kSerial)
{
    Bytes b(media::kOggHeaderBytes, 0);
    b[0] = 'O';
    b[1] = 'g';
    b[2] = 'g';
    b[3] = 'S';
    b[5] = flags;
    putLittleEndian(b, 6, std::uint64_t(granule), 8);
    putLittleEndian(b, 14, serial, 4);
    putLittleEndian(b, 18, sequence, 4);
    b[26] = 1;
    b.push_back(std::uint8_t(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    putLittleEndian(b, kChecksumAt, media::oggChecksum(b.data(), b.size()) ^ (broken ? 1u : 0u), 4);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes with(Bytes b, std::size_t at, std::uint8_t xorWith)
{
    b[at] ^= xorWith;
    return b;
}

Bytes cut(Bytes b, std::size_t size)
{
    b.resize(size);
    return b;
}

media::OggPage header(std::int64_t pos, std::int64_t granule, std::uint32_t sequence,
    std::uint8_t flags = 0, std::uint32_t serial = kSerial)
{
    media::OggPage p;
    p.pos = pos;
    p.granule = granule;
    p.sequence = sequence;
    p.flags = flags;
    p.serial = serial;
    return p;
}

} // namespace

class TestOggPages : public QObject {
    Q_OBJECT

private slots:
    void checksum_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("nothing") << QByteArray() << quint32(0);
        QTest::newRow("one byte 0x01: the polynomial")
            << QByteArray("\x01", 1) << quint32(0x04C11DB7);
        QTest::newRow("check string 123456789") << QByteArray("123456789") << quint32(0x89A1897F);
    }
    void checksum()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, expected);
        const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
        const std::uint32_t whole = media::oggChecksum(p, std::size_t(bytes.size()));
        QVERIFY2(whole == expected,
            qPrintable(
                QStringLiteral("sum %1, expected %2").arg(whole, 0, 16).arg(expected, 0, 16)));
        // Carried over a split anywhere, the sum is the same.
        for (int at = 0; at <= bytes.size(); ++at) {
            const std::uint32_t split = media::oggChecksum(
                p + at, std::size_t(bytes.size() - at), media::oggChecksum(p, std::size_t(at)));
            QVERIFY2(split == expected,
                qPrintable(QStringLiteral("split at %1: %2").arg(at).arg(split, 0, 16)));
        }
    }

    void intact_data()
    {
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<bool>("expected");
        const Bytes& p = kVorbisFirstPage;
        QTest::newRow("written by a muxer") << p << true;
        QTest::newRow("followed by more bytes") << p + Bytes { 1, 2, 3 } << true;
        QTest::newRow("last byte missing") << cut(p, p.size() - 1) << false;
        QTest::newRow("segment table missing") << cut(p, media::kOggHeaderBytes) << false;
        QTest::newRow("header cut") << cut(p, media::kOggHeaderBytes - 1) << false;
        QTest::newRow("payload byte changed") << with(p, p.size() - 1, 0x10) << false;
        QTest::newRow("granule changed") << with(p, 6, 0x01) << false;
        QTest::newRow("checksum's last byte changed") << with(p, kChecksumAt + 3, 0x80) << false;
        QTest::newRow("segment length grown") << with(p, media::kOggHeaderBytes, 0x01) << false;
    }
    void intact()
    {
        QFETCH(Bytes, bytes);
        QFETCH(bool, expected);
        const bool got = media::oggPageIntact(bytes.data(), bytes.size());
        QVERIFY2(got == expected,
            qPrintable(QStringLiteral("%1 bytes: intact %2").arg(bytes.size()).arg(got)));
    }

    void pageAt_data()
    {
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("flags");
        QTest::addColumn<qint64>("granule");
        QTest::addColumn<quint32>("serial");
        QTest::addColumn<quint32>("sequence");
        QTest::newRow("muxer's first page")
            << kVorbisFirstPage << true << 0x02 << qint64(0) << quint32(0xF390318D) << quint32(0);
        QTest::newRow("every byte of the numbers")
            << page(0x05, 0x0102030405060708, 0x0A0B0C0D) << true << 0x05
            << qint64(0x0102030405060708) << kSerial << quint32(0x0A0B0C0D);
        QTest::newRow("granule -1: no packet ends")
            << page(0, -1, 3) << true << 0 << qint64(-1) << kSerial << quint32(3);
        QTest::newRow("header one byte short")
            << cut(kVorbisFirstPage, media::kOggHeaderBytes - 1) << false << 0 << qint64(-1)
            << quint32(0) << quint32(0);
        QTest::newRow("capture pattern wrong") << with(kVorbisFirstPage, 3, 0x20) << false << 0
                                               << qint64(-1) << quint32(0) << quint32(0);
        QTest::newRow("version 1") << with(kVorbisFirstPage, 4, 0x01) << false << 0 << qint64(-1)
                                   << quint32(0) << quint32(0);
    }
    void pageAt()
    {
        QFETCH(Bytes, bytes);
        QFETCH(bool, found);
        QFETCH(int, flags);
        QFETCH(qint64, granule);
        QFETCH(quint32, serial);
        QFETCH(quint32, sequence);
        media::OggPage p;
        const bool got = media::oggPageAt(bytes.data(), bytes.size(), &p);
        QVERIFY2(got == found, qPrintable(QStringLiteral("found %1").arg(got)));
        QVERIFY2(p.flags == flags && p.granule == granule && p.serial == serial
                && p.sequence == sequence && p.pos == -1,
            qPrintable(QStringLiteral("flags %1 granule %2 serial %3 sequence %4 pos %5")
                           .arg(p.flags)
                           .arg(p.granule)
                           .arg(p.serial, 0, 16)
                           .arg(p.sequence, 0, 16)
                           .arg(p.pos)));
    }

    void endsWhole_data()
    {
        QTest::addColumn<Bytes>("tail");
        QTest::addColumn<bool>("expected");
        const Bytes last = page(media::kOggLastPage, 900, 9);
        QTest::newRow("last page marked") << last << true;
        QTest::newRow("after another page") << page(0, 800, 8) + last << true;
        QTest::newRow("last page not marked")
            << page(media::kOggLastPage, 800, 8) + page(0, 900, 9) << false;
        QTest::newRow("last page cut in its payload") << cut(last, last.size() - 1) << false;
        QTest::newRow("last page cut in its header") << cut(last, 20) << false;
        // A capture pattern inside the last page's payload, whose page would end before it.
        Bytes inner = { 'O', 'g', 'g', 'S' };
        inner.resize(inner.size() + media::kOggHeaderBytes + 10, 0);
        QTest::newRow("pattern in the payload") << page(media::kOggLastPage, 900, 9, inner) << true;
        QTest::newRow("nothing kept") << Bytes {} << true;
    }
    void endsWhole()
    {
        QFETCH(Bytes, tail);
        QFETCH(bool, expected);
        const bool got = media::oggEndsWhole(tail.data(), tail.size());
        QVERIFY2(got == expected,
            qPrintable(QStringLiteral("%1 bytes: whole %2").arg(tail.size()).arg(got)));
    }

    void lostBeforeLast_data()
    {
        QTest::addColumn<media::OggPage>("before");
        QTest::addColumn<media::OggPage>("last");
        QTest::addColumn<bool>("expected");
        const media::OggPage before = header(1000, 4000, 5);
        QTest::newRow("pages missing")
            << before << header(3000, 9000, 7, media::kOggLastPage) << true;
        QTest::newRow("next in sequence")
            << before << header(3000, 9000, 6, media::kOggLastPage) << false;
        QTest::newRow("not the last page") << before << header(3000, 9000, 7) << false;
        QTest::newRow("another stream")
            << before << header(3000, 9000, 7, media::kOggLastPage, kSerial + 1) << false;
        QTest::newRow("before not placed")
            << header(-1, 4000, 5) << header(3000, 9000, 7, media::kOggLastPage) << false;
        QTest::newRow("before after last")
            << header(3000, 4000, 5) << header(3000, 9000, 7, media::kOggLastPage) << false;
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
        QTest::addColumn<Bytes>("between");
        QTest::addColumn<media::OggPage>("last");
        QTest::addColumn<qint64>("maxSilence");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("silence");
        QTest::addColumn<qint64>("samples");
        using Kind = media::OggLastPageTiming::Kind;
        const Bytes before = page(0, 1000, 1);
        const media::OggPage last = header(0, 2500, 3, media::kOggLastPage);
        const media::OggPage continued
            = header(0, 2500, 3, media::kOggLastPage | media::kOggContinued);
        QTest::newRow("lost page's header spared")
            << before + page(0, 2000, 2, { 7 }, true) << last << qint64(48000) << int(Kind::Delayed)
            << qint64(1000) << qint64(500);
        QTest::newRow("an intact page read after before")
            << before + page(0, 1500, 2) + page(0, 2000, 3, { 7 }, true)
            << header(0, 2500, 4, media::kOggLastPage) << qint64(48000) << int(Kind::Delayed)
            << qint64(500) << qint64(500);
        QTest::newRow("page before the last read whole")
            << before + page(0, 2000, 2) << last << qint64(48000) << int(Kind::Timed) << qint64(0)
            << qint64(-1);
        QTest::newRow("lost page's header gone") << before + Bytes(40, 0) << last << qint64(48000)
                                                 << int(Kind::Early) << qint64(0) << qint64(-1);
        QTest::newRow("lost page of another stream")
            << before + page(0, 2000, 2, { 7 }, true, kSerial + 1) << last << qint64(48000)
            << int(Kind::Early) << qint64(0) << qint64(-1);
        QTest::newRow("last page continues a packet")
            << before + page(0, 2000, 2, { 7 }, true) << continued << qint64(48000)
            << int(Kind::Early) << qint64(0) << qint64(-1);
        QTest::newRow("silence beyond the bound")
            << before + page(0, 2000, 2, { 7 }, true) << last << qint64(999) << int(Kind::Early)
            << qint64(0) << qint64(-1);
        QTest::newRow("silence at the bound")
            << before + page(0, 2000, 2, { 7 }, true) << last << qint64(1000) << int(Kind::Delayed)
            << qint64(1000) << qint64(500);
        QTest::newRow("lost granule past the last's")
            << before + page(0, 2600, 2, { 7 }, true) << last << qint64(48000) << int(Kind::Early)
            << qint64(0) << qint64(-1);
        QTest::newRow("lost granule not past what was read")
            << before + page(0, 1000, 2, { 7 }, true) << last << qint64(48000) << int(Kind::Early)
            << qint64(0) << qint64(-1);
    }
    void timeLastPage()
    {
        QFETCH(Bytes, between);
        QFETCH(media::OggPage, last);
        QFETCH(qint64, maxSilence);
        QFETCH(int, kind);
        QFETCH(qint64, silence);
        QFETCH(qint64, samples);
        const media::OggPage before = header(0, 1000, 1);
        const media::OggLastPageTiming t
            = media::oggTimeLastPage(between.data(), between.size(), before, last, maxSilence);
        QVERIFY2(int(t.kind) == kind && t.silence == silence && t.samples == samples,
            qPrintable(QStringLiteral("kind %1 (expected %2), silence %3 (%4), samples %5 (%6)")
                           .arg(int(t.kind))
                           .arg(kind)
                           .arg(t.silence)
                           .arg(silence)
                           .arg(t.samples)
                           .arg(samples)));
    }
};

QTEST_APPLESS_MAIN(TestOggPages)
#include "tst_oggpages.moc"
