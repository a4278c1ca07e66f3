// tests/memcheck.sh's decision, with the probe's result forced through BANDCORE_MEMCHECK_PROBE_LOG:
// only a program that loads the library valgrind cannot execute is skipped, with the cause named;
// any other program, one with a real invalid read among them, runs under valgrind and is judged.
#include "runprogram.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// valgrind 3.19's report on a CPU whose CPUID hides RDTSCP, for a program that links libavcodec.
const char kRdtscpReport[]
    = R"(vex amd64->IR: unhandled instruction bytes: 0xF 0x1 0xF9 0x48 0xC1 0xE2 0x20 0x48
vex amd64->IR:   REX=0 REX.W=0 REX.R=0 REX.X=0 REX.B=0
==4242== valgrind: Unrecognised instruction at address 0x5a1c3e4.
==4242==    at 0x5A1C3E4: hwy::platform::TimerResolution() (in /usr/lib/x86_64-linux-gnu/libhwy.so.1.0.3)
==4242==    by 0x4005F2D: call_init (dl-init.c:70)
==4242==    by 0x4005F2D: _dl_init (dl-init.c:117)
)";

// The script's output, both streams together.
struct Said {
    int status = -1;
    QByteArray output;
};

Said script(const QStringList& arguments, const QString& forcedReport)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BANDCORE_MEMCHECK_PROBE_LOG"), forcedReport);
    const Run r = runProgram(QStringLiteral("bash"),
        QStringList { QStringLiteral(MEMCHECK_SCRIPT) } + arguments, {}, env);
    return { r.status, r.out + r.err };
}

} // namespace

class tst_MemcheckSkip : public QObject {
    Q_OBJECT

private slots:
    void decision_data();
    void decision();
};

void tst_MemcheckSkip::decision_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");

    const QByteArray skipLine
        = "memcheck: skipped on this CPU: valgrind cannot execute libhwy's start-up (RDTSCP)\n";
    QTest::newRow("loads libhwy: skipped") << PROBE_EXE << QString() << 77 << skipLine;
    QTest::newRow("invalid read: fails")
        << VICTIM_EXE << "invalid-read" << 1 << QByteArray("Invalid read of size 4");
    QTest::newRow("clean: passes") << VICTIM_EXE << "clean" << 0 << QByteArray("ERROR SUMMARY: 0");
}

void tst_MemcheckSkip::decision()
{
    QFETCH(QString, program);
    QFETCH(QString, argument);
    QFETCH(int, status);
    QFETCH(QByteArray, said);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString report = dir.filePath(QStringLiteral("report"));
    const QString result = dir.filePath(QStringLiteral("result"));
    QFile file(report);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(kRdtscpReport);
    file.close();

    const Said probe = script({ QStringLiteral("probe"), result, QStringLiteral(VALGRIND_EXE),
                                  QStringLiteral(PROBE_EXE) },
        report);
    QVERIFY2(probe.status == 0, probe.output.constData());
    QVERIFY2(probe.output.contains("valgrind cannot execute libhwy's start-up (RDTSCP)"),
        probe.output.constData());

    QStringList arguments { QStringLiteral("run"), result, QStringLiteral(VALGRIND_EXE),
        QStringLiteral("--error-exitcode=1"), program };
    if (!argument.isEmpty())
        arguments << argument;
    const Said run = script(arguments, report);
    QVERIFY2(run.status == status,
        qPrintable(QStringLiteral("exit %1, expected %2:\n%3")
                       .arg(run.status)
                       .arg(status)
                       .arg(QString::fromLocal8Bit(run.output))));
    QVERIFY2(run.output.contains(said), run.output.constData());
}

QTEST_APPLESS_MAIN(tst_MemcheckSkip)
#include "tst_memcheckskip.moc"
