// The configuration file's rules, on the shell's Config with a table like the programs': where
// values come from, what a bad line does, and how the file is followed while a program runs.

#include "shell/config.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// What the test does to the file once it has been read.
enum class Edit { None, Write, RenameOver, Remove };

// A program's settings as a test sees them: what each key holds, and what the file said.
struct Program {
    int delayMs = 0;
    std::string size = "default";
    bool fast = false;
    QStringList said;
    QStringList changed; // the live keys' new values, in the order their hooks had them
    QStringList group; // NAME/KEY=VALUE of each group line read

    std::unique_ptr<shell::Config> config;

    Program()
    {
        using Takes = shell::Option::Takes;
        const std::vector<shell::Setting> table = {
            { "delay", false,
                [this](const std::string& v) { return shell::parseDelay(v, &delayMs); }, "0",
                "the live one" },
            { "size", false,
                [this](const std::string& v) {
                    int w = 0;
                    int h = 0;
                    const std::string why
                        = shell::parseSize("--size", v, { 16, 16, 4096, 4096 }, &w, &h);
                    if (why.empty())
                        size = v;
                    return why;
                },
                "640x360", "one that changes at the next start" },
            { "fast", true,
                [this](const std::string& v) {
                    fast = v == "true";
                    return std::string();
                },
                "false", "a flag" },
            { "theme", false,
                [this](const std::string& v) {
                    // A name the group's lines have made, as the programs' themes.
                    for (const QString& g : group) {
                        if (g.startsWith(QString::fromStdString(v + "/")))
                            return std::string();
                    }
                    return "no theme '" + v + "'";
                },
                "classic", "a live key named as a group" },
        };
        const std::vector<shell::Option> options
            = { { "--delay", Takes::Value }, { "--size", Takes::Value }, { "--fast" },
                  { "--png", Takes::Value }, shell::kConfigOption, shell::kNoConfigOption };
        config = std::make_unique<shell::Config>(table, options,
            [this](const std::string& line) { said << QString::fromStdString(line); });
        config->addGroup(
            "theme",
            [this](const std::string& name, const std::string& key, const std::string& value) {
                group << QString::fromStdString(name + "/" + key + "=" + value);
                return std::string();
            },
            "a group");
        config->onChange(
            "delay", [this](const std::string& v) { changed << QString::fromStdString(v); });
        config->onChange("theme",
            [this](const std::string& v) { changed << QString::fromStdString("theme " + v); });
    }
};

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

} // namespace

class TestConfig : public QObject {
    Q_OBJECT

private slots:
    void fileRules_data();
    void fileRules();
    void commandLineProblemsStopTheRun();
};

void TestConfig::fileRules_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("edit");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QStringList>("said"); // each with "F:" for the file's path and ':'
    QTest::addColumn<QStringList>("changed");
    QTest::addColumn<QStringList>("group"); // NAME/KEY=VALUE handed to the group's reader

    const auto none = int(Edit::None);
    const auto write = int(Edit::Write);
    const auto rename = int(Edit::RenameOver);
    const auto remove = int(Edit::Remove);
    const QStringList nothing;
    QTest::newRow("file value applies, comments and blanks skipped")
        << QByteArray("# mine\n\n  delay = 250   # late headset\nsize=100x50\n") << nothing << none
        << QByteArray() << 250 << "100x50" << nothing << nothing << nothing;
    QTest::newRow("command line wins, then and after an edit")
        << QByteArray("delay = 250\n") << QStringList { "--delay", "100" } << write
        << QByteArray("delay = 300\n") << 100 << "default" << nothing << nothing << nothing;
    QTest::newRow("bad lines said, good ones apply")
        << QByteArray("colour = red\ndelay 5\n= 3\nsize =\ndelay = 250\n") << nothing << none
        << QByteArray() << 250 << "default"
        << QStringList { "F:1: unknown key 'colour'", "F:2: not 'key = value'",
               "F:3: no key before '='", "F:4: key 'size' has no value" }
        << nothing << nothing;
    QTest::newRow("command-line-only option refused")
        << QByteArray("png = out.png\ndelay = 5\n") << nothing << none << QByteArray() << 5
        << "default"
        << QStringList { "F:1: 'png' is not a setting the file can hold: give it on the command "
                         "line" }
        << nothing << nothing;
    QTest::newRow("bad value at start keeps the default")
        << QByteArray("delay = 2001\nfast = yes\n") << nothing << none << QByteArray() << 0
        << "default"
        << QStringList { "F:1: 'delay' needs whole milliseconds from 0 to 2000, got '2001'",
               "F:2: 'fast' takes true or false, got 'yes'" }
        << nothing << nothing;
    QTest::newRow("bad new value keeps the old one")
        << QByteArray("delay = 250\n") << nothing << write << QByteArray("\ndelay = x\n") << 250
        << "default"
        << QStringList { "F:2: 'delay' needs whole milliseconds from 0 to 2000, got 'x'" }
        << nothing << nothing;
    QTest::newRow("edit applies live")
        << QByteArray("delay = 250\n") << nothing << write << QByteArray("delay = 300\n") << 300
        << "default" << nothing << QStringList { "300" } << nothing;
    QTest::newRow("renamed over the old file")
        << QByteArray("delay = 250\n") << nothing << rename << QByteArray("delay = 40\n") << 40
        << "default" << nothing << QStringList { "40" } << nothing;
    QTest::newRow("file disappears, values stay")
        << QByteArray("delay = 250\nsize = 100x50\n") << nothing << remove << QByteArray() << 250
        << "100x50" << nothing << nothing << nothing;
    QTest::newRow("key without a hook changes at the next start, said once")
        << QByteArray("size = 100x50\n") << nothing << write
        << QByteArray("size = 200x50\nsize = 200x50\n") << 0 << "100x50"
        << QStringList { "F:1: 'size' changes at the next start" } << nothing << nothing;
    QTest::newRow("group keys handed on, misspelt ones said")
        << QByteArray("theme.ember.bars = #ff8800 #orange\ntheme.ember = 1\nshade.a.b = 1\n")
        << nothing << none << QByteArray() << 0 << "default"
        << QStringList { "F:2: 'theme.ember' is not theme.NAME.KEY (letters, digits, '-' and '_' "
                         "each)",
               "F:3: unknown key 'shade.a.b'" }
        << nothing << QStringList { "ember/bars=#ff8800" };
    // The key stands above the lines that make what it names.
    QTest::newRow("an edited group line calls the group's key again")
        << QByteArray("theme = mine\ntheme.mine.bars = #111111\n") << nothing << write
        << QByteArray("theme = mine\ntheme.mine.bars = #222222\n") << 0 << "default" << nothing
        << QStringList { "theme mine" } << QStringList { "mine/bars=#111111", "mine/bars=#222222" };
    QTest::newRow("not where the key is at its default")
        << QByteArray("theme.mine.bars = #111111\n") << nothing << write
        << QByteArray("theme.mine.bars = #222222\n") << 0 << "default" << nothing << nothing
        << QStringList { "mine/bars=#111111", "mine/bars=#222222" };
}

void TestConfig::fileRules()
{
    QFETCH(QByteArray, first);
    QFETCH(QStringList, args);
    QFETCH(int, edit);
    QFETCH(QByteArray, second);
    QFETCH(int, delayMs);
    QFETCH(QString, size);
    QFETCH(QStringList, said);
    QFETCH(QStringList, changed);
    QFETCH(QStringList, group);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("config"));
    QVERIFY(writeFile(path, first));
    Program p;
    std::vector<QByteArray> bytes { "test" };
    for (const QString& a : args)
        bytes.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    shell::CommandLine line;
    const std::vector<shell::Option> options = { { "--delay", shell::Option::Takes::Value } };
    QCOMPARE(line.parse(int(argv.size()), argv.data(), options), std::string());
    QCOMPARE(p.config->takeCommandLine(line), std::string());
    QCOMPARE(p.config->loadFile(path.toStdString(), false), std::string());

    switch (Edit(edit)) {
    case Edit::None:
        break;
    case Edit::Write:
        QVERIFY(writeFile(path, second));
        break;
    case Edit::RenameOver:
        QVERIFY(writeFile(path + ".new", second));
        // As an editor saves: the new file takes the old one's name in one step.
        QCOMPARE(std::rename(QFile::encodeName(path + ".new").constData(),
                     QFile::encodeName(path).constData()),
            0);
        break;
    case Edit::Remove:
        QVERIFY(QFile::remove(path));
        break;
    }
    // Twice: a file that did not change again says nothing again.
    p.config->reload();
    p.config->reload();

    QStringList expected;
    for (const QString& s : said)
        expected << QString(s).replace(QStringLiteral("F:"), path + ":");
    QCOMPARE(p.said, expected);
    QCOMPARE(p.delayMs, delayMs);
    QCOMPARE(QString::fromStdString(p.size), size);
    QCOMPARE(p.changed, changed);
    QCOMPARE(p.group, group);
}

void TestConfig::commandLineProblemsStopTheRun()
{
    Program p;
    QCOMPARE(p.config->loadFile("/nonexistent/config", false), std::string());
    QVERIFY(p.said.isEmpty());
    QCOMPARE(p.config->loadFile("/nonexistent/config", true),
        std::string("/nonexistent/config: cannot read: No such file or directory"));
    char prog[] = "test";
    char delay[] = "--delay=9";
    char bad[] = "--size=1x1";
    char* argv[] = { prog, delay, bad, nullptr };
    shell::CommandLine line;
    const std::vector<shell::Option> options
        = { { "--delay", shell::Option::Takes::Value }, shell::kSizeOption };
    QCOMPARE(line.parse(3, argv, options), std::string());
    QCOMPARE(p.config->takeCommandLine(line),
        std::string("option '--size' needs WIDTHxHEIGHT from 16x16 to 4096x4096, got '1x1'"));
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
