// tests/memcheck.sh's decision from valgrind's own run on this CPU. libmemcheckillegal executes in
// its start-up, under valgrind only, an AVX-512 instruction that no valgrind decodes, as Highway
// executes RDTSCP where CPUID hides it: a program that loads it is skipped, with the library and
// the instruction named; any other program, one with a real invalid read among them, runs under
// valgrind and is judged.
#include "runprogram.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

#ifdef ILLEGAL_PROBE_EXE
const char kIllegalProbe[] = ILLEGAL_PROBE_EXE;
#else
const char kIllegalProbe[] = "";
#endif

// The script's exit status and output, both streams together.
struct Said {
    int status = -1; // -1 when killed by a signal
    QByteArray output;
};

// Runs in dir, where a core dump of a program that valgrind kills goes.
Said script(const QStringList& arguments, const QString& dir = {},
    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    const Run r = runProgram(QStringLiteral("bash"),
        QStringList { QStringLiteral(MEMCHECK_SCRIPT) } + arguments, dir, env);
    return { r.status, r.out + r.err };
}

QString described(const QStringList& arguments, const Said& said)
{
    return QStringLiteral("memcheck.sh %1: exit %2\n%3")
        .arg(arguments.join(QLatin1Char(' ')))
        .arg(said.status)
        .arg(QString::fromLocal8Bit(said.output));
}

} // namespace

class tst_MemcheckSkip : public QObject {
    Q_OBJECT

private slots:
    void instruction_data();
    void instruction();
    void decision_data();
    void decision();
};

void tst_MemcheckSkip::instruction_data()
{
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<QByteArray>("named");

    QTest::newRow("RDTSCP, as valgrind writes it")
        << "0xF 0x1 0xF9 0x48 0xC1 0xE2 0x20 0x48 0x9 0xD0" << QByteArray("RDTSCP");
    QTest::newRow("XGETBV") << "0xF 0x1 0xD0 0x89 0xC6" << QByteArray("XGETBV");
    QTest::newRow("RDRAND after REX.W") << "0x48 0xF 0xC7 0xF0" << QByteArray("RDRAND");
    QTest::newRow("RDSEED") << "0xF 0xC7 0xF8" << QByteArray("RDSEED");
    QTest::newRow("RDPID: RDSEED's bytes after F3") << "0xF3 0xF 0xC7 0xF8" << QByteArray("RDPID");
    QTest::newRow("EVEX") << "0x62 0xF1 0x7D 0x48 0xEF 0xC0"
                          << QByteArray("an AVX-512 instruction");
    QTest::newRow("other: its first bytes") << "0xF 0xB 0x90 0x90" << QByteArray("bytes 0F 0B 90");
    QTest::newRow("no bytes") << QString() << QByteArray("an unknown instruction");
}

void tst_MemcheckSkip::instruction()
{
    QFETCH(QString, bytes);
    QFETCH(QByteArray, named);

    const QStringList arguments = QStringList { QStringLiteral("instruction") }
        + bytes.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const Said said = script(arguments);
    QVERIFY2(said.status == 0 && said.output == named + '\n',
        qPrintable(described(arguments, said) + QStringLiteral("expected ") + named));
}

void tst_MemcheckSkip::decision_data()
{
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QByteArray>("decided");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");

    const QString illegal = QString::fromLocal8Bit(kIllegalProbe);
    const QString victim = QStringLiteral(VICTIM_EXE);
    const QByteArray cause
        = "valgrind cannot execute libmemcheckillegal's start-up (an AVX-512 instruction)\n";
    const QByteArray decided = "memcheck: on this CPU " + cause;
    QTest::newRow("loads the library: skipped") << illegal << illegal << QString() << decided << 77
                                                << "memcheck: skipped on this CPU: " + cause;
    QTest::newRow("invalid read: fails") << illegal << victim << "invalid-read" << decided << 1
                                         << QByteArray("Invalid read of size 4");
    QTest::newRow("clean: passes")
        << illegal << victim << "clean" << decided << 0 << QByteArray("ERROR SUMMARY: 0");
    // Nothing skipped: valgrind kills the program that loads the library.
    QTest::newRow("clean probe: nothing skipped")
        << victim << illegal << QString()
        << QByteArray("memcheck: valgrind runs the system libraries on this CPU\n") << -1
        << QByteArray();
}

void tst_MemcheckSkip::decision()
{
    QFETCH(QString, probe);
    QFETCH(QString, program);
    QFETCH(QString, argument);
    QFETCH(QByteArray, decided);
    QFETCH(int, status);
    QFETCH(QByteArray, said);

    if (!*kIllegalProbe)
        QSKIP(
            "the library valgrind cannot execute is x86-64 code, and this build is not for x86-64");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString result = dir.filePath(QStringLiteral("result"));

    const QStringList probing { QStringLiteral("probe"), result, QStringLiteral(VALGRIND_EXE),
        probe };
    // Quiet, as a developer's own options may make valgrind: the probe must still see what it
    // could not decode.
    QProcessEnvironment quiet = QProcessEnvironment::systemEnvironment();
    quiet.insert(QStringLiteral("VALGRIND_OPTS"), QStringLiteral("-q"));
    const Said probed = script(probing, dir.path(), quiet);
    QVERIFY2(probed.status == 0 && probed.output.endsWith(decided),
        qPrintable(described(probing, probed) + QStringLiteral("expected exit 0 and ") + decided));

    QStringList running { QStringLiteral("run"), result, QStringLiteral(VALGRIND_EXE),
        QStringLiteral("--error-exitcode=1"), program };
    if (!argument.isEmpty())
        running << argument;
    const Said ran = script(running, dir.path());
    QVERIFY2(ran.status == status && ran.output.contains(said),
        qPrintable(described(running, ran)
            + QStringLiteral("expected exit %1 and %2")
                  .arg(status)
                  .arg(QString::fromLocal8Bit(said))));
}

QTEST_APPLESS_MAIN(tst_MemcheckSkip)
#include "tst_memcheckskip.moc"
