// The visualiser's clearing of the vector registers' upper halves, against the processor's own
// record of which register state is in use (XGETBV with ECX = 1): once an instruction has left
// the upper halves of ymm or zmm registers in use, clearUpperVectorState() marks them unused
// again. Skips where the processor lacks the instructions or keeps no such record.

#include "vectorstate.h"

#include <QTest>

#include <cpuid.h>
#include <cstdint>

namespace {

// XINUSE bits: the upper halves of ymm0-15, and bits 256-511 of zmm0-15.
constexpr std::uint64_t kYmmUpperBit = 1u << 2;
constexpr std::uint64_t kZmmUpperBit = 1u << 6;
// CPUID leaf 0xD, sub-leaf 1, EAX bit 2: XGETBV answers ECX = 1.
constexpr unsigned kXgetbvInUseBit = 1u << 2;

bool inUseRecorded()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid_count(0xd, 1, &a, &b, &c, &d) && (a & kXgetbvInUseBit) != 0;
}

std::uint64_t inUse()
{
    unsigned lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return (std::uint64_t(hi) << 32) | lo;
}

// Through asm, in functions compiled without AVX: the compiler ends its own AVX code with a
// vzeroupper.
void fillYmm()
{
    asm volatile("vpcmpeqd %%ymm1, %%ymm1, %%ymm1" ::: "xmm1");
}

void fillZmm()
{
    asm volatile("vpternlogd $0xff, %%zmm1, %%zmm1, %%zmm1" ::: "xmm1");
}

} // namespace

class tst_VectorState : public QObject {
    Q_OBJECT

private slots:
    void upperHalvesEndUnused_data()
    {
        QTest::addColumn<bool>("zmm");
        QTest::newRow("ymm upper halves (AVX)") << false;
        QTest::newRow("zmm upper halves (AVX-512)") << true;
    }

    void upperHalvesEndUnused()
    {
        QFETCH(bool, zmm);
        const bool has = zmm ? __builtin_cpu_supports("avx512f") : __builtin_cpu_supports("avx");
        if (!has || !inUseRecorded())
            QSKIP("the processor lacks the instructions or does not report their state");
        const std::uint64_t bit = zmm ? kZmmUpperBit : kYmmUpperBit;
        if (zmm)
            fillZmm();
        else
            fillYmm();
        const std::uint64_t before = inUse();
        if ((before & bit) == 0)
            QSKIP("the processor does not report the filled registers in use");
        visualiser::clearUpperVectorState();
        const std::uint64_t after = inUse();
        QVERIFY2((after & bit) == 0,
            qPrintable(QStringLiteral("XINUSE 0x%1 after the call (0x%2 before), bit %3 still set")
                           .arg(after, 0, 16)
                           .arg(before, 0, 16)
                           .arg(zmm ? 6 : 2)));
    }
};

QTEST_APPLESS_MAIN(tst_VectorState)

#include "tst_vectorstate.moc"
