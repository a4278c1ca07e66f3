// A WAV's declared data length, read from its first bytes, and the placeholders that are none.
#include "media/wavlength.h"

#include <QTest>

#include <cstdint>

namespace {

QByteArray le32(std::uint32_t v)
{
    QByteArray b(4, 0);
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (8 * i));
    return b;
}

QByteArray chunk(const char* id, std::uint32_t length, int bodyBytes)
{
    return QByteArray(id, 4) + le32(length) + QByteArray(bodyBytes, 'x');
}

QByteArray riff(const QByteArray& chunks)
{
    return "RIFF" + le32(std::uint32_t(4 + chunks.size())) + "WAVE" + chunks;
}

} // namespace

class TestWavLength : public QObject {
    Q_OBJECT

private slots:
    void dataLength_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<qint64>("expected");
        const QByteArray fmt = chunk("fmt ", 16, 16);
        QTest::newRow("data first") << riff(chunk("data", 88200, 0)) << qint64(88200);
        QTest::newRow("after fmt") << riff(fmt + chunk("data", 1000, 0)) << qint64(1000);
        QTest::newRow("after an odd chunk and its pad byte")
            << riff(fmt + chunk("LIST", 3, 4) + chunk("data", 1000, 0)) << qint64(1000);
        QTest::newRow("placeholder 0xFFFFFFFF")
            << riff(fmt + chunk("data", 0xFFFFFFFFu, 0)) << qint64(0xFFFFFFFFu);
        QTest::newRow("data chunk's header cut")
            << riff(fmt + chunk("data", 1000, 0)).chopped(1) << qint64(-1);
        QTest::newRow("a chunk runs past the head")
            << riff(chunk("LIST", 5000, 16) + chunk("data", 1000, 0)) << qint64(-1);
        QTest::newRow("no data chunk") << riff(fmt) << qint64(-1);
        QTest::newRow("RIFF of another form")
            << QByteArray("RIFF") + le32(12) + "AVI " + chunk("data", 1000, 0) << qint64(-1);
        QTest::newRow("RIFX, big-endian")
            << "RIFX" + riff(chunk("data", 1000, 0)).mid(4) << qint64(-1);
        QTest::newRow("shorter than a RIFF header")
            << QByteArray("RIFF\0\0\0\0WAV", 11) << qint64(-1);
    }
    void dataLength()
    {
        QFETCH(QByteArray, head);
        QFETCH(qint64, expected);
        const std::int64_t got = media::wavDataLength(
            reinterpret_cast<const std::uint8_t*>(head.constData()), int(head.size()));
        QVERIFY2(got == expected,
            qPrintable(QStringLiteral("%1 bytes: length %2, expected %3")
                           .arg(head.size())
                           .arg(got)
                           .arg(expected)));
    }

    void unknown_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("expected");
        QTest::newRow("0") << qint64(0) << true;
        QTest::newRow("sox's 0x7FFFF000") << qint64(0x7FFFF000) << true;
        QTest::newRow("0xFFFFFFFF") << qint64(0xFFFFFFFFu) << true;
        QTest::newRow("next to sox's") << qint64(0x7FFFF001) << false;
        QTest::newRow("a length") << qint64(88200) << false;
        QTest::newRow("none stated") << qint64(-1) << false;
    }
    void unknown()
    {
        QFETCH(qint64, length);
        QFETCH(bool, expected);
        const bool got = media::wavLengthUnknown(length);
        QVERIFY2(
            got == expected, qPrintable(QStringLiteral("%1: unknown %2").arg(length).arg(got)));
    }
};

QTEST_APPLESS_MAIN(TestWavLength)
#include "tst_wavlength.moc"
