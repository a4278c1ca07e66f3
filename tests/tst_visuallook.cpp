// The visual's CPU parts: the pass chain's orientation check, the mapping from an analysis frame
// to the audio row and the uniform blocks, the animation clock, the camera and the strand mesh.

#include "describe.h"

#include "visual/camera.h"
#include "visual/look.h"
#include "visual/passplan.h"
#include "visual/strandmesh.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>

using namespace visual;

namespace {

dsp::SpectrumFrame frameOf(float bar, float presence)
{
    dsp::SpectrumFrame f;
    for (float& b : f.bars)
        b = bar;
    f.presence = presence;
    return f;
}

// Clip position of a model point through a column-major matrix.
std::array<float, 4> project(const std::array<float, 16>& m, float x, float y, float z)
{
    std::array<float, 4> out {};
    for (int r = 0; r < 4; ++r)
        out[size_t(r)]
            = m[size_t(r)] * x + m[size_t(4 + r)] * y + m[size_t(8 + r)] * z + m[size_t(12 + r)];
    return out;
}

} // namespace

class tst_VisualLook : public QObject {
    Q_OBJECT

private slots:
    void standardChainKeepsEvenParity();
    void chainWithOddParityIsRefused_data();
    void chainWithOddParityIsRefused();
    void audioRowMirrorsTheBars();
    void audioRowAbsorbsBadBars();
    void stereoHalvesFollowTheirSides();
    void louderFramesOpenAndBrightenTheStrands();
    void presenceDrivesOpacity();
    void clockAdvancesPerHopWithEnergy();
    void beatPulsesOnlyWhenAskedTo();
    void cameraDepthRunsFromZeroToOne();
    void cameraLaysTheStrandsAlongTheLongerSide_data();
    void cameraLaysTheStrandsAlongTheLongerSide();
    void cameraFlipAndShiftMoveThePicture();
    void meshEndsAreTheirOwnNeighbours();
};

void tst_VisualLook::standardChainKeepsEvenParity()
{
    const PassChain chain = standardChain();
    for (bool flipped : { false, true }) {
        // A flipped camera is what a target with its bottom row first needs.
        const ChainCheck check = checkChain(chain, flipped, !flipped);
        QVERIFY2(check.ok, check.why.c_str());
        QCOMPARE(check.rowZeroTop.back(), !flipped);
    }
    // The same chain into the other orientation must be refused.
    QVERIFY(!checkChain(chain, false, false).ok);
}

void tst_VisualLook::chainWithOddParityIsRefused_data()
{
    QTest::addColumn<int>("variant");
    QTest::addColumn<QString>("blamed");
    QTest::newRow("bloom straight from the vertical blur") << 0 << "composite";
    QTest::newRow("rays straight from the scene") << 1 << "composite";
    QTest::newRow("one pass too many before the target") << 2 << "target";
    QTest::newRow("reads an image before it is written") << 3 << "before anything wrote it";
}

void tst_VisualLook::chainWithOddParityIsRefused()
{
    QFETCH(int, variant);
    QFETCH(QString, blamed);
    PassChain chain = standardChain();
    std::vector<Pass>& p = chain.passes;
    // Images: 0 scene, 1 bright, 2 blur-x, 3 glow, 4 rays, 5 bloom.
    if (variant == 0) {
        p.erase(p.begin() + 5); // no copy: composite reads the glow (three passes away)
        p.back().inputs = { 0, 3, 4 };
    } else if (variant == 1) {
        p[4].inputs = { 0 }; // rays one pass away
    } else if (variant == 2) {
        p.back().output = 5;
        p.push_back({ PassKind::Copy, { 5 }, -1 });
    } else {
        std::swap(p[1], p[2]);
    }
    const ChainCheck check = checkChain(chain, false, true);
    QVERIFY2(!check.ok, "the chain was accepted");
    QVERIFY2(QString::fromStdString(check.why).contains(blamed), check.why.c_str());
}

void tst_VisualLook::audioRowMirrorsTheBars()
{
    dsp::SpectrumFrame f;
    f.bandCount = 28;
    for (int i = 0; i < 28; ++i)
        f.bars[i] = float(i) / 27.0f; // rising with frequency
    AudioRow row;
    fillAudioRow(f, row);
    for (int i = 0; i < kAudioTexels; ++i) {
        const float t = (float(i) + 0.5f) / kAudioTexels;
        const float fromMiddle = std::fabs(2.0f * t - 1.0f);
        const float expected = std::min(fromMiddle / kTrebleReach, 1.0f);
        QVERIFY2(std::fabs(row[size_t(i)] - expected) < 1e-5f,
            describe("texel", i, row[size_t(i)], expected));
        // Mirror image about the middle.
        QCOMPARE(row[size_t(i)], row[size_t(kAudioTexels - 1 - i)]);
    }
}

void tst_VisualLook::stereoHalvesFollowTheirSides()
{
    // The left side at full height, the right silent: the first half of the strand lit, the
    // second dark, and the features those of the two sides' mean.
    dsp::SpectrumFrame left;
    dsp::SpectrumFrame right;
    left.bandCount = right.bandCount = 28;
    for (int i = 0; i < 28; ++i)
        left.bars[i] = 1.0f;
    AudioRow row;
    fillAudioRow(left, row, &right);
    for (int i = 0; i < kAudioTexels; ++i)
        QVERIFY2(row[size_t(i)] == (i < kAudioTexels / 2 ? 1.0f : 0.0f),
            describe("texel", i, row[size_t(i)], i < kAudioTexels / 2 ? 1.0f : 0.0f));
    QCOMPARE(featuresOf(left, right).energy, 0.5f);
}

void tst_VisualLook::audioRowAbsorbsBadBars()
{
    dsp::SpectrumFrame f = frameOf(0.5f, 1.0f);
    f.bars[0] = std::numeric_limits<float>::quiet_NaN();
    f.bars[1] = 7.0f;
    f.bandCount = 99; // clamped to the capacity
    AudioRow row;
    fillAudioRow(f, row);
    for (int i = 0; i < kAudioTexels; ++i)
        QVERIFY2(row[size_t(i)] >= 0.0f && row[size_t(i)] <= 1.0f,
            describe("texel", i, row[size_t(i)], 0.5));
    const Look look = lookOf(f, 0.0f);
    QVERIFY(std::isfinite(look.strands.radius) && std::isfinite(look.post.intensity));
}

void tst_VisualLook::louderFramesOpenAndBrightenTheStrands()
{
    const Look quiet = lookOf(frameOf(0.0f, 1.0f), 1.0f);
    const Look loud = lookOf(frameOf(0.9f, 1.0f), 1.0f);
    QVERIFY2(loud.strands.radius > quiet.strands.radius,
        describe("radius", 0, loud.strands.radius, quiet.strands.radius));
    QVERIFY(loud.strands.thickness > quiet.strands.thickness);
    QVERIFY(loud.post.intensity > quiet.post.intensity);
    QVERIFY(loud.post.radialBlur > quiet.post.radialBlur);
    QVERIFY(loud.post.rayLength > quiet.post.rayLength);
    QVERIFY(loud.post.dispersion > quiet.post.dispersion);
    // What the renderer leaves alone stays neutral, and the fixed choices hold.
    QCOMPARE(loud.strands.strandCount, float(kStrandCount));
    QCOMPARE(loud.strands.audioGain, 1.0f);
    QCOMPARE(loud.strands.time, 1.0f);
    QVERIFY(loud.strands.colorA[3] <= 0.5f); // the gradient, not the rainbow
    QVERIFY(loud.post.rayDecay > 0.0f && loud.post.rayDecay < 1.0f);
    // Bass alone lifts the glow: a kick drum.
    dsp::SpectrumFrame kick = frameOf(0.0f, 1.0f);
    for (int i = 0; i < 7; ++i)
        kick.bars[i] = 1.0f;
    QVERIFY(lookOf(kick, 0.0f).post.intensity > quiet.post.intensity);
}

void tst_VisualLook::presenceDrivesOpacity()
{
    const float absent = lookOf(frameOf(0.5f, 0.0f), 0.0f).strands.opacity;
    const float present = lookOf(frameOf(0.5f, 1.0f), 0.0f).strands.opacity;
    QVERIFY2(absent > 0.0f && absent < present, describe("opacity", 0, absent, present));
    QVERIFY(present <= 1.0f);
}

void tst_VisualLook::beatPulsesOnlyWhenAskedTo()
{
    // A beat every 30 hops over a steady frame: off, the looks are those of no beat at all, to the
    // bit; on, a beat lifts the gain and the glow by the pulse's amounts, which then halve every
    // kPulseHalfLifeSec.
    dsp::SpectrumFrame frame;
    frame.bandCount = dsp::kDefaultBands;
    for (int k = 0; k < dsp::kDefaultBands; ++k)
        frame.bars[k] = 0.4f;
    frame.presence = 1.0f;
    Animation plain;
    Animation off;
    Animation on;
    on.setBeatPulse(true);
    for (int hop = 0; hop < 90; ++hop) {
        dsp::BeatFrame beat;
        beat.onset = hop % 30 == 0;
        plain.step(frame);
        off.step(frame, nullptr, beat);
        on.step(frame, nullptr, beat);
        QVERIFY2(std::memcmp(&plain.look(), &off.look(), sizeof(Look)) == 0,
            qPrintable(QStringLiteral("hop %1").arg(hop)));
        const int since = hop % 30;
        const double pulse = std::exp2(-since * double(dsp::kFrameSec) / kPulseHalfLifeSec);
        const double gain = on.look().strands.audioGain - plain.look().strands.audioGain;
        const double glow = on.look().post.intensity - plain.look().post.intensity;
        // Float steps: a few ulps of the pulse.
        QVERIFY2(std::abs(gain - kPulseGain * pulse) < 1e-5
                && std::abs(glow - kPulseIntensity * pulse) < 1e-5,
            qPrintable(QStringLiteral("hop %1: gain +%2, glow +%3, pulse %4")
                           .arg(hop)
                           .arg(gain)
                           .arg(glow)
                           .arg(pulse)));
    }
}

void tst_VisualLook::clockAdvancesPerHopWithEnergy()
{
    Animation silent, loud;
    for (int hop = 0; hop < 60; ++hop) {
        silent.step(frameOf(0.0f, 0.0f));
        loud.step(frameOf(1.0f, 1.0f));
    }
    // One second of hops: the clock's speed in radians per second.
    QVERIFY2(std::fabs(silent.time() - kBaseSpeedRadPerSec) < 1e-4f,
        describe("silent clock", 60, silent.time(), kBaseSpeedRadPerSec));
    const float loudSpeed = kBaseSpeedRadPerSec + kEnergySpeedRadPerSec;
    QVERIFY2(std::fabs(loud.time() - loudSpeed) < 1e-4f,
        describe("loud clock", 60, loud.time(), loudSpeed));
    QCOMPARE(loud.look().strands.time, loud.time());
    // Steps alone move it: the same frames give the same clock, bit for bit.
    Animation again;
    for (int hop = 0; hop < 60; ++hop)
        again.step(frameOf(1.0f, 1.0f));
    QCOMPARE(again.time(), loud.time());
}

void tst_VisualLook::cameraDepthRunsFromZeroToOne()
{
    const float aspect = 16.0f / 9.0f;
    const auto m = Camera().mvp(aspect);
    // Model z is flattened with the cross-section.
    const float unit = Camera::framing(aspect).flatten;
    const auto nearPoint = project(m, 0, 0, (kCameraDistance - kNearPlane) / unit);
    const auto farPoint = project(m, 0, 0, (kCameraDistance - kFarPlane) / unit);
    const auto origin = project(m, 0, 0, 0);
    QVERIFY2(std::fabs(nearPoint[2] / nearPoint[3]) < 1e-5f,
        describe("near depth", 0, nearPoint[2] / nearPoint[3], 0));
    QVERIFY2(std::fabs(farPoint[2] / farPoint[3] - 1.0f) < 1e-5f,
        describe("far depth", 0, farPoint[2] / farPoint[3], 1));
    QVERIFY(origin[2] / origin[3] > 0.0f && origin[2] / origin[3] < 1.0f);
}

void tst_VisualLook::cameraLaysTheStrandsAlongTheLongerSide_data()
{
    QTest::addColumn<float>("aspect");
    QTest::addColumn<bool>("lengthFits"); // else the swing across sets the fit
    QTest::newRow("16:9") << 16.0f / 9.0f << true;
    QTest::newRow("1:1") << 1.0f << true;
    QTest::newRow("9:16") << 9.0f / 16.0f << true;
    QTest::newRow("32:9") << 32.0f / 9.0f << true;
    QTest::newRow("9:32") << 9.0f / 32.0f << true;
    QTest::newRow("5:1") << 5.0f << false;
}

void tst_VisualLook::cameraLaysTheStrandsAlongTheLongerSide()
{
    QFETCH(float, aspect);
    QFETCH(bool, lengthFits);
    const auto m = Camera().mvp(aspect);
    const size_t along = aspect < 1.0f ? 1 : 0;
    const auto end = project(m, 1.0f, 0, 0);
    const auto start = project(m, -1.0f, 0, 0);
    QVERIFY2(std::fabs(end[1 - along] / end[3]) < 1e-6f,
        describe("end across", int(aspect * 100), end[1 - along] / end[3], 0));
    QCOMPARE(start[along] / start[3], -end[along] / end[3]);
    // A swing of kFigureRadius, towards the eye too, stays inside the shorter side.
    float widest = 0.0f;
    for (int step = 0; step < 360; ++step) {
        const float turn = float(step) * 3.14159265f / 180.0f;
        const auto p
            = project(m, 0, kFigureRadius * std::cos(turn), kFigureRadius * std::sin(turn));
        widest = std::max(widest, std::fabs(p[1 - along] / p[3]));
    }
    const float length = end[along] / end[3];
    QVERIFY2(length <= kLengthFill + 1e-5f && widest <= kAcrossFill + 1e-3f,
        describe("length (across) at aspect", int(aspect * 100), length, widest));
    QVERIFY2(std::fabs((lengthFits ? length - kLengthFill : widest - kAcrossFill)) < 1e-3f,
        describe("fit at aspect", int(aspect * 100), lengthFits ? length : widest,
            lengthFits ? kLengthFill : kAcrossFill));
}

void tst_VisualLook::cameraFlipAndShiftMoveThePicture()
{
    Camera camera;
    const auto up = project(camera.mvp(1.5f), 0, 0.3f, 0);
    QVERIFY(up[1] / up[3] > 0.0f); // model up is clip up
    camera.flipY = true;
    const auto flipped = project(camera.mvp(1.5f), 0, 0.3f, 0);
    QCOMPARE(flipped[1] / flipped[3], -up[1] / up[3]);
    camera.flipY = false;
    camera.lensShiftY = 0.5f;
    const auto shifted = project(camera.mvp(1.5f), 0, 0.3f, 0);
    QVERIFY2(std::fabs(shifted[1] / shifted[3] - (up[1] / up[3] + 0.5f)) < 1e-6f,
        describe("shifted y", 0, shifted[1] / shifted[3], up[1] / up[3] + 0.5f));
}

void tst_VisualLook::meshEndsAreTheirOwnNeighbours()
{
    const auto mesh = strandMesh();
    QCOMPARE(int(mesh.size()), 2 * kStrandPoints);
    QCOMPARE(mesh.front().position[0], -1.0f);
    QCOMPARE(mesh.front().previous[0], -1.0f);
    QCOMPARE(mesh.back().position[0], 1.0f);
    QCOMPARE(mesh.back().next[0], 1.0f);
    for (size_t i = 0; i < mesh.size(); ++i) {
        QCOMPARE(mesh[i].direction, i % 2 ? 1.0f : -1.0f);
        if (i >= 2)
            QVERIFY2(mesh[i].position[0] > mesh[i - 2].position[0],
                describe("x", int(i), mesh[i].position[0], mesh[i - 2].position[0]));
    }
}

QTEST_APPLESS_MAIN(tst_VisualLook)

#include "tst_visuallook.moc"
