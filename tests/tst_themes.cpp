// Themes: the terminal's colour depth, the nearest palette colours, a theme's keys, the user's
// themes beside the built-in ones, and a theme in the live view and in bandview's picture.
#include "picture.h"
#include "runprogram.h"
#include "shell/theme.h"
#include "termcolour.h"
#include "terminal.h"
#include "visual/palette.h"

#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

shell::Rgb colour(const QString& text)
{
    shell::Rgb c;
    shell::parseColour(text.toStdString(), &c);
    return c;
}

} // namespace

class tst_Themes : public QObject {
    Q_OBJECT

private slots:
    void colourDepth_data();
    void colourDepth();
    void nearestPaletteColour_data();
    void nearestPaletteColour();
    void themeKey_data();
    void themeKey();
    void userThemesBesideBuiltIns();
    void classicIsTheVisualsDefault();
    void liveViewTakesTheme();
    void pictureTakesTheme_data();
    void pictureTakesTheme();
};

void tst_Themes::colourDepth_data()
{
    // Each variable's value, "-" for unset.
    QTest::addColumn<QString>("colorterm");
    QTest::addColumn<QString>("noColor");
    QTest::addColumn<QString>("term");
    QTest::addColumn<int>("depth");
    const int none = int(bandview::ColourDepth::None);
    const int palette = int(bandview::ColourDepth::Palette);
    const int full = int(bandview::ColourDepth::TrueColour);
    QTest::newRow("xterm alone") << "-"
                                 << "-"
                                 << "xterm-256color" << palette;
    QTest::newRow("truecolor") << "truecolor"
                               << "-"
                               << "xterm-256color" << full;
    QTest::newRow("24bit") << "24bit"
                           << "-"
                           << "xterm" << full;
    QTest::newRow("another COLORTERM") << "yes"
                                       << "-"
                                       << "xterm" << palette;
    QTest::newRow("NO_COLOR over truecolor") << "truecolor"
                                             << "1"
                                             << "xterm" << none;
    QTest::newRow("NO_COLOR empty counts as unset") << "truecolor"
                                                    << ""
                                                    << "xterm" << full;
    QTest::newRow("TERM dumb") << "truecolor"
                               << "-"
                               << "dumb" << none;
    QTest::newRow("TERM unset") << "truecolor"
                                << "-"
                                << "-" << none;
    QTest::newRow("TERM empty") << "-"
                                << "-"
                                << "" << none;
}

void tst_Themes::colourDepth()
{
    QFETCH(QString, colorterm);
    QFETCH(QString, noColor);
    QFETCH(QString, term);
    QFETCH(int, depth);
    const QByteArray c = colorterm.toUtf8();
    const QByteArray n = noColor.toUtf8();
    const QByteArray t = term.toUtf8();
    auto arg = [](const QByteArray& v) { return v == "-" ? nullptr : v.constData(); };
    QCOMPARE(int(bandview::colourDepth(arg(c), arg(n), arg(t))), depth);
}

void tst_Themes::nearestPaletteColour_data()
{
    // The colour, its nearest palette entry, and what a 24-bit terminal is sent: the entry where
    // the colour is exactly it, else the colour itself (-1: the entry).
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("nearest");
    QTest::addColumn<int>("rgb");
    QTest::newRow("classic green, in the cube") << "#00d75f" << 41 << -1;
    QTest::newRow("pure red") << "#ff0000" << 196 << -1;
    QTest::newRow("white is the cube's, not the ramp's") << "#ffffff" << 231 << -1;
    QTest::newRow("mid grey, on the ramp") << "#808080" << 244 << -1;
    QTest::newRow("near grey goes to the ramp") << "#7a7c7b" << 244 << 0x7a7c7b;
    QTest::newRow("ember's gold between levels") << "#ffd75e" << 221 << 0xffd75e;
    QTest::newRow("near black to the cube's black") << "#020202" << 16 << 0x020202;
}

void tst_Themes::nearestPaletteColour()
{
    QFETCH(QString, text);
    QFETCH(int, nearest);
    QFETCH(int, rgb);
    const shell::Rgb c = colour(text);
    QCOMPARE(bandview::nearestXterm(c), nearest);
    const bandview::TermColour palette = termColour(c, bandview::ColourDepth::Palette);
    QCOMPARE(int(palette.xterm), nearest);
    const bandview::TermColour full = termColour(c, bandview::ColourDepth::TrueColour);
    QCOMPARE(full.rgb, rgb);
    QCOMPARE(int(full.xterm), rgb < 0 ? nearest : -1);
    QVERIFY(termColour(c, bandview::ColourDepth::None).isDefault());
}

void tst_Themes::themeKey_data()
{
    // A key and its value on the classic theme: the problem (a part of it; empty when sound),
    // then the value read back (the classic's own where refused).
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("readBack");
    QTest::newRow("bars blend") << "bars"
                                << "#102030, #FFCC00"
                                << ""
                                << "#102030,#ffcc00";
    QTest::newRow("bars in steps") << "bars"
                                   << "#000000@0,#ffffff@0.5"
                                   << ""
                                   << "#000000@0,#ffffff@0.5";
    QTest::newRow("bars: one colour") << "bars"
                                      << "#ff0000"
                                      << "two or more"
                                      << "#00d75f@0,#d7d700@0.6,#ff5f5f@0.85";
    QTest::newRow("bars: steps not rising") << "bars"
                                            << "#000000@0,#ffffff@0"
                                            << "rising from @0"
                                            << "#00d75f@0,#d7d700@0.6,#ff5f5f@0.85";
    QTest::newRow("bars: '@' on some") << "bars"
                                       << "#000000@0,#ffffff"
                                       << "every colour or on none"
                                       << "#00d75f@0,#d7d700@0.6,#ff5f5f@0.85";
    QTest::newRow("bars: a name") << "bars"
                                  << "red,#ffffff"
                                  << "got 'red'"
                                  << "#00d75f@0,#d7d700@0.6,#ff5f5f@0.85";
    QTest::newRow("across the bands") << "bars-axis"
                                      << "bands"
                                      << ""
                                      << "bands";
    QTest::newRow("bars-axis: a typo") << "bars-axis"
                                       << "band"
                                       << "height or bands"
                                       << "height";
    QTest::newRow("peaks") << "peaks"
                           << "#00ff00"
                           << ""
                           << "#00ff00";
    QTest::newRow("peaks: short form") << "peaks"
                                       << "#0f0"
                                       << "#rrggbb, got '#0f0'"
                                       << "#ffffff";
    QTest::newRow("background") << "background"
                                << "#000f1e"
                                << ""
                                << "#000f1e";
    QTest::newRow("background: none") << "background"
                                      << "none"
                                      << ""
                                      << "none";
    QTest::newRow("heat: none") << "heat"
                                << "none"
                                << ""
                                << "none";
    QTest::newRow("strands") << "strands"
                             << "#ff0000,#0000ff"
                             << ""
                             << "#ff0000,#0000ff";
    QTest::newRow("strands: three") << "strands"
                                    << "#ff0000,#00ff00,#0000ff"
                                    << "two colours"
                                    << "#ff6b1f,#2985ff";
    QTest::newRow("mode rainbow") << "mode"
                                  << "rainbow"
                                  << ""
                                  << "rainbow";
    QTest::newRow("mode: a typo") << "mode"
                                  << "rainbows"
                                  << "gradient or rainbow"
                                  << "gradient";
    QTest::newRow("glow") << "glow"
                          << "2.5"
                          << ""
                          << "2.5";
    QTest::newRow("glow 0") << "glow"
                            << "0"
                            << ""
                            << "0";
    QTest::newRow("glow above 4") << "glow"
                                  << "4.5"
                                  << "from 0 to 4"
                                  << "1";
    QTest::newRow("glow not a number") << "glow"
                                       << "nan"
                                       << "from 0 to 4"
                                       << "1";
    QTest::newRow("unknown key") << "colour"
                                 << "#ffffff"
                                 << "unknown theme key 'colour'"
                                 << "";
}

void tst_Themes::themeKey()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, problem);
    QFETCH(QString, readBack);
    shell::Theme theme = shell::defaultTheme();
    const std::string said = shell::setThemeKey(theme, key.toStdString(), value.toStdString());
    QVERIFY2(problem.isEmpty() ? said.empty() : QString::fromStdString(said).contains(problem),
        said.c_str());
    QVERIFY2(said.find('\n') == std::string::npos, said.c_str());
    QCOMPARE(QString::fromStdString(shell::themeValue(theme, key.toStdString())), readBack);
    // What is read back reads in again as the same.
    if (!readBack.isEmpty()) {
        shell::Theme again = shell::defaultTheme();
        QVERIFY(shell::setThemeKey(again, key.toStdString(), readBack.toStdString()).empty());
        QCOMPARE(QString::fromStdString(shell::themeValue(again, key.toStdString())), readBack);
    }
}

void tst_Themes::userThemesBesideBuiltIns()
{
    std::vector<std::string> problems;
    const shell::Theme mine = shell::themeFromKeys(shell::defaultTheme(), "mine",
        { { "bars", "#000000,#00ff00" }, { "glow", "9" }, { "peaks", "#ff00ff" } }, &problems);
    QCOMPARE(problems.size(), std::size_t(1));
    QVERIFY2(problems[0].find("'glow'") != std::string::npos, problems[0].c_str());
    QCOMPARE(mine.glow, 1.0f);
    QVERIFY(mine.peaks == colour(QStringLiteral("#ff00ff")));
    // New bars without a heat scale of their own: the picture follows the bars.
    QVERIFY(mine.heat.stops.empty());

    shell::clearUserThemes();
    shell::Theme found;
    QVERIFY(!shell::findTheme("mine", &found));
    QVERIFY(shell::addUserTheme(mine).empty());
    QVERIFY(shell::findTheme("mine", &found));
    QVERIFY(found.bars.at(1.0f) == colour(QStringLiteral("#00ff00")));
    QVERIFY(QString::fromStdString(shell::themeListing()).contains(QStringLiteral("\nmine ")));
    shell::Theme clash = mine;
    clash.name = "ember";
    QVERIFY(!shell::addUserTheme(clash).empty());
    clash.name = "two words";
    QVERIFY(!shell::addUserTheme(clash).empty());
    shell::clearUserThemes();
    QVERIFY(!shell::findTheme("mine", &found));
}

void tst_Themes::classicIsTheVisualsDefault()
{
    // The visualiser draws a default palette exactly as before themes; the classic theme must
    // give it that palette.
    const shell::Theme& classic = shell::defaultTheme();
    QCOMPARE(classic.name, std::string("classic"));
    QVERIFY(classic.strandStart == visual::kWarmColour);
    QVERIFY(classic.strandEnd == visual::kCoolColour);
    QVERIFY(classic.mode == shell::Theme::StrandMode::Gradient);
    QVERIFY(!classic.hasBackground);
    QCOMPARE(classic.glow, 1.0f);
}

void tst_Themes::liveViewTakesTheme()
{
    dsp::SpectrumFrame frame {};
    frame.bandCount = dsp::kDefaultBands;
    for (int k = 0; k < frame.bandCount; ++k)
        frame.bars[k] = 1.0f;
    bandview::ViewText text;
    text.labels.assign(dsp::kDefaultBands, "1k");
    shell::findTheme("ember", &text.theme);
    const bandview::ViewLayout l = bandview::viewLayout(80, 24, dsp::kDefaultBands);
    const int bottom = l.barRows;
    const int top = 1;
    const int column = l.bandStart(0);
    struct Row {
        bandview::ColourDepth depth;
        int bottomXterm;
        std::int32_t topRgb;
        const char* background;
    };
    // Ember's darkest red is the cube's #5f0000 (52). The top row is 18/19 of the way up: 0.89 of
    // the way from #d75f00 to #ffd75f, between the cube's levels; the background is nearest the
    // grey ramp's #121212 (233).
    for (const Row& row :
        { Row { bandview::ColourDepth::TrueColour, 52, 0xfbca55, "48;2;28;15;10" },
            Row { bandview::ColourDepth::Palette, 52, -1, "48;5;233" },
            Row { bandview::ColourDepth::None, -1, -1, nullptr } }) {
        text.depth = row.depth;
        bandview::ViewGrid grid;
        grid.reset(80, 24);
        bandview::composeView(grid, frame, text);
        const QString where = QStringLiteral("depth %1").arg(int(row.depth));
        QVERIFY2(grid.at(bottom, column).colour == row.bottomXterm, qPrintable(where));
        QVERIFY2(grid.at(top, column).rgb == row.topRgb,
            qPrintable(where + QStringLiteral(": %1").arg(grid.at(top, column).rgb, 0, 16)));
        const std::string bytes = bandview::screenUpdate(grid, grid, true);
        QVERIFY2(row.background ? bytes.find(row.background) != std::string::npos
                                : bytes.find(";38;") == std::string::npos
                    && bytes.find(";48;") == std::string::npos,
            qPrintable(where));
    }
}

void tst_Themes::pictureTakesTheme_data()
{
    // Whether every pixel of the heat map is grey (r = g = b), and whether every one is warm
    // (r >= g >= b).
    QTest::addColumn<QString>("theme");
    QTest::addColumn<bool>("grey");
    QTest::addColumn<bool>("warm");
    QTest::newRow("classic: purple, not warm") << "classic" << false << false;
    QTest::newRow("mono: greys only") << "mono" << true << true;
    QTest::newRow("ember: charcoal to gold") << "ember" << false << true;
}

void tst_Themes::pictureTakesTheme()
{
    QFETCH(QString, theme);
    QFETCH(bool, grey);
    QFETCH(bool, warm);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString png = dir.filePath(QStringLiteral("out.png"));
    // The demo's first seconds: tones, chords and silence.
    const Run r = runProgram(QStringLiteral(BANDVIEW_EXE),
        { QStringLiteral("--png"), png, QStringLiteral("--duration"), QStringLiteral("4"),
            QStringLiteral("--theme"), theme });
    QVERIFY2(r.status == 0, r.err.constData());
    const QImage image(png);
    const QRect heat = bandview::PictureLayout(dsp::kDefaultBands, 4.0).heatMap();
    QCOMPARE(image.size(), QSize(bandview::kDefaultWidthPx, bandview::kDefaultHeightPx));
    bool allGrey = true;
    bool allWarm = true;
    for (int y = heat.top(); y <= heat.bottom(); ++y) {
        for (int x = heat.left(); x <= heat.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            allGrey = allGrey && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p);
            allWarm = allWarm && qRed(p) >= qGreen(p) && qGreen(p) >= qBlue(p);
        }
    }
    QCOMPARE(allGrey, grey);
    QCOMPARE(allWarm, warm);
}

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    tst_Themes test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_themes.moc"
