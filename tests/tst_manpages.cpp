// The manual pages and bash completions of both programs, held to what each program's --help
// says: an option added to a program and left out of its page or completion, or one still
// documented after the program dropped it, fails here, named with where it is missing.

#include "runprogram.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <tuple>

namespace {

struct Program {
    const char* name;
    const char* exe;
};

const Program kPrograms[] = {
    { "bandview", BANDVIEW_EXE },
#ifdef VISUALISER_EXE
    { "visualiser", VISUALISER_EXE },
#endif
};

const QString kSourceDir = QStringLiteral(BANDCORE_SOURCE_DIR);

// --long and -x options, not the hyphens inside words ("off-line", "Ctrl-C") or a bare "-".
const QRegularExpression kOption(QStringLiteral(R"((?<![\w-])(--?[A-Za-z][\w-]*)(?![\w-]))"));

QSet<QString> optionsIn(const QString& text)
{
    QSet<QString> found;
    for (auto it = kOption.globalMatch(text); it.hasNext();) {
        const QString option = it.next().captured(1);
        if (option.startsWith(QLatin1String("--")) || option.size() == 2)
            found.insert(option);
    }
    return found;
}

QString readSource(const QString& path)
{
    QFile file(kSourceDir + QLatin1Char('/') + path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString helpOf(const QString& exe)
{
    const Run r = runProgram(exe, { QStringLiteral("--help") });
    return r.status == 0 ? QString::fromUtf8(r.out) : QString();
}

// The options --help lists as the program's own: those that open a line of its option list.
QSet<QString> listedOptions(const QString& help)
{
    QSet<QString> listed;
    for (const QString& line : help.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("  -")))
            listed += optionsIn(line.trimmed().section(QLatin1String("  "), 0, 0));
    }
    return listed;
}

// Empty when both sets hold the same options, else the first one only one of them holds.
QString difference(
    const QSet<QString>& a, const QString& whereA, const QSet<QString>& b, const QString& whereB)
{
    for (const auto& [from, fromName, to, toName] :
        { std::tuple { &a, whereA, &b, whereB }, std::tuple { &b, whereB, &a, whereA } }) {
        QStringList missing = QStringList(from->begin(), from->end());
        missing.sort();
        for (const QString& option : missing) {
            if (!to->contains(option))
                return QStringLiteral("option '%1' is in %2 but not in %3")
                    .arg(option, fromName, toName);
        }
    }
    return {};
}

// Runs a program's completion function on words, the last being the one under the cursor, in
// workDir; the candidates sorted, one per line.
QString complete(const QString& program, const QStringList& words, const QString& workDir = {})
{
    const QString script = QStringLiteral(
        R"(source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _%1
printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)")
                               .arg(program);
    const Run r = runProgram(QStringLiteral(BASH_EXE),
        QStringList { QStringLiteral("-c"), script, QStringLiteral("bash"),
            kSourceDir + QStringLiteral("/data/completions/") + program }
            + words,
        workDir);
    return r.status == 0 ? QString::fromUtf8(r.out).trimmed() : QStringLiteral("(failed)");
}

} // namespace

class tst_ManPages : public QObject {
    Q_OBJECT

private slots:
    void pageMatchesHelp_data();
    void pageMatchesHelp();
    void pageRenders_data();
    void pageRenders();
    void completionMatchesHelp_data();
    void completionMatchesHelp();
    void completes_data();
    void completes();
    void exampleConfigIsWhatTheProgramPrints_data();
    void exampleConfigIsWhatTheProgramPrints();
};

void tst_ManPages::pageMatchesHelp_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("exe");
    for (const Program& p : kPrograms)
        QTest::newRow(p.name) << QString::fromLatin1(p.name) << QString::fromLatin1(p.exe);
}

// The options each names, and apart from that the ones each lists as its own: --help's lines that
// start with an option, the page's option headings (a line that opens with a bold option). In the
// page's literal blocks only the program's own command lines count, not the other programs of a
// pipeline.
void tst_ManPages::pageMatchesHelp()
{
    QFETCH(QString, program);
    QFETCH(QString, exe);
    const QString help = helpOf(exe);
    QVERIFY2(!help.isEmpty(), qPrintable(program + QStringLiteral(" --help failed")));

    const QString pageName = QStringLiteral("docs/man/%1.1.scd").arg(program);
    const QString page = readSource(pageName);
    QVERIFY2(!page.isEmpty(), qPrintable(pageName + QStringLiteral(" cannot be read")));
    const QRegularExpression command(QStringLiteral(R"((?:^|[\s|;&(])%1\b([^|;&]*))").arg(program));
    QSet<QString> pageNamed;
    QSet<QString> pageOwn;
    bool literal = false;
    for (const QString& line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("```"))) {
            literal = !literal;
        } else if (literal) {
            for (auto it = command.globalMatch(line); it.hasNext();)
                pageNamed += optionsIn(it.next().captured(1));
        } else {
            pageNamed += optionsIn(line);
            if (line.startsWith(QLatin1String("*-")))
                pageOwn += optionsIn(line);
        }
    }

    const QString helpName = program + QStringLiteral(" --help");
    QString problem = difference(listedOptions(help), helpName + QStringLiteral("'s option list"),
        pageOwn, pageName + QStringLiteral("'s OPTIONS"));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    problem = difference(optionsIn(help), helpName, pageNamed, pageName);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_ManPages::pageRenders_data()
{
    pageMatchesHelp_data();
}

// scdoc fails the build on a page it cannot read; what it writes must also be sound roff.
void tst_ManPages::pageRenders()
{
#ifndef MANPAGE_DIR
    QSKIP("scdoc was not found when the build was configured: no pages to render");
#else
    QFETCH(QString, program);
    const QString page = QStringLiteral(MANPAGE_DIR "/%1.1").arg(program);
    const Run r = runProgram(QStringLiteral(GROFF_EXE),
        { QStringLiteral("-man"), QStringLiteral("-Tutf8"), QStringLiteral("-ww"),
            QStringLiteral("-z"), page });
    QVERIFY2(r.status == 0 && r.err.isEmpty(),
        qPrintable(QStringLiteral("groff on %1: status %2, '%3'")
                       .arg(page)
                       .arg(r.status)
                       .arg(QString::fromLocal8Bit(r.err))));
#endif
}

void tst_ManPages::completionMatchesHelp_data()
{
    pageMatchesHelp_data();
}

void tst_ManPages::completionMatchesHelp()
{
    QFETCH(QString, program);
    QFETCH(QString, exe);
    const QString script = kSourceDir + QStringLiteral("/data/completions/") + program;
    const Run syntax = runProgram(QStringLiteral(BASH_EXE), { QStringLiteral("-n"), script });
    QVERIFY2(syntax.status == 0, syntax.err.constData());

    const QString help = helpOf(exe);
    QVERIFY2(!help.isEmpty(), qPrintable(program + QStringLiteral(" --help failed")));
    const QStringList offered
        = complete(program, { program, QStringLiteral("-") }).split(QLatin1Char('\n'));
    const QString problem = difference(listedOptions(help), program + QStringLiteral(" --help"),
        QSet<QString>(offered.begin(), offered.end()), script);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_ManPages::completes_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("expected");
    // Words separated by spaces, the last under the cursor (empty after a trailing space); the
    // candidates separated by spaces. The shell splits "--backend=" into "--backend" and "=".
    const auto row = [](const char* words, const char* expected) {
        const QStringList list = QString::fromLatin1(words).split(QLatin1Char(' '));
        QTest::newRow(words) << list.first() << list
                             << QString::fromLatin1(expected).replace(
                                    QLatin1Char(' '), QLatin1Char('\n'));
    };
    row("visualiser --ms", "--msaa");
    row("visualiser --msaa ", "1 2 4 8");
    row("visualiser --backend =", "auto gles vulkan");
    row("visualiser --fps = 3", "30");
    row("visualiser --render ", "frames song.MKV");
    row("bandview --raw-format u", "u16 u8");
    row("bandview --png ", "frames run.png");
    row("bandview --csv =", "frames rows.csv");
    // --capture takes its source only after '='; a word of its own is an input.
    row("bandview --capture r", "rows.csv run.png");
    row("bandview ", "frames rows.csv run.png song.MKV");
}

// In a folder that holds one file of each kind and a folder.
void tst_ManPages::completes()
{
    QFETCH(QString, program);
    QFETCH(QStringList, words);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("frames")));
    for (const char* name : { "run.png", "rows.csv", "song.MKV" }) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(complete(program, words, dir.path()), expected);
}

void tst_ManPages::exampleConfigIsWhatTheProgramPrints_data()
{
    pageMatchesHelp_data();
}

// The example file the packages install is what --no-config --print-config prints: every key
// the program's file takes, at its default, commented out.
void tst_ManPages::exampleConfigIsWhatTheProgramPrints()
{
    QFETCH(QString, program);
    QFETCH(QString, exe);
    const Run r
        = runProgram(exe, { QStringLiteral("--no-config"), QStringLiteral("--print-config") });
    QVERIFY2(r.status == 0, r.err.constData());
    QCOMPARE(QString::fromUtf8(r.out), readSource(QStringLiteral("data/config/") + program));
}

QTEST_GUILESS_MAIN(tst_ManPages)
#include "tst_manpages.moc"
