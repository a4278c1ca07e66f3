// The shader pack as a renderer finds it: the resource tree under :/shaders, the package wrapper,
// the baked variants, and each shader's interface as its reflection reports it. This program links
// the same pack target as the self-check programs and never registers it itself, so a populated
// :/shaders also proves that static initialisation registered the pack before main.

#include "qtrhi/qtrhi.h"

#include <QDir>
#include <QFile>
#include <QResource>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <map>

namespace {

using Type = QShaderDescription::VariableType;

struct Variable {
    int location;
    const char* name;
    Type type;
};

struct Member {
    const char* name;
    int offset;
    Type type;
};

struct Sampler {
    const char* name;
    int binding;
};

struct Interface {
    QShader::Stage stage;
    QList<Variable> inputs;
    QList<Variable> outputs;
    int blockSize; // 0: no uniform block
    QList<Member> members;
    QList<Sampler> samplers;
};

const QList<Member> postMembers = {
    { "texelSize", 0, Type::Vec2 },
    { "threshold", 8, Type::Float },
    { "knee", 12, Type::Float },
    { "intensity", 16, Type::Float },
    { "direction", 20, Type::Float },
    { "dispersion", 24, Type::Float },
    { "radialBlur", 28, Type::Float },
    { "rayLength", 32, Type::Float },
    { "rayDecay", 36, Type::Float },
};

const QList<Member> strandMembers = {
    { "mvp", 0, Type::Mat4 },
    { "colorA", 64, Type::Vec4 },
    { "colorB", 80, Type::Vec4 },
    { "aspect", 96, Type::Float },
    { "time", 100, Type::Float },
    { "radius", 104, Type::Float },
    { "thickness", 108, Type::Float },
    { "twists", 112, Type::Float },
    { "opacity", 116, Type::Float },
    { "strandCount", 120, Type::Float },
    { "audioGain", 124, Type::Float },
};

const QList<Variable> uvIn = { { 0, "vUv", Type::Vec2 } };
const QList<Variable> colorOut = { { 0, "fragColor", Type::Vec4 } };

// The contract with the renderer, file by file.
const std::map<QString, Interface>& interfaces()
{
    static const std::map<QString, Interface> table = {
        { "fullscreen.vert.qsb", { QShader::VertexStage, {}, uvIn, 0, {}, {} } },
        { "bright.frag.qsb",
            { QShader::FragmentStage, uvIn, colorOut, 40, postMembers, { { "source", 1 } } } },
        { "blur.frag.qsb",
            { QShader::FragmentStage, uvIn, colorOut, 40, postMembers, { { "source", 1 } } } },
        { "rays.frag.qsb",
            { QShader::FragmentStage, uvIn, colorOut, 40, postMembers, { { "source", 1 } } } },
        { "composite.frag.qsb",
            { QShader::FragmentStage, uvIn, colorOut, 40, postMembers,
                { { "source", 1 }, { "bloom", 2 }, { "rays", 3 } } } },
        { "strands.vert.qsb",
            { QShader::VertexStage,
                { { 0, "position", Type::Vec3 }, { 1, "previous", Type::Vec3 },
                    { 2, "next", Type::Vec3 }, { 3, "direction", Type::Float } },
                { { 0, "vColor", Type::Vec4 } }, 128, strandMembers, { { "audioTexture", 1 } } } },
        { "strands.frag.qsb",
            { QShader::FragmentStage, { { 0, "vColor", Type::Vec4 } }, colorOut, 0, {}, {} } },
    };
    return table;
}

const char* typeName(Type t)
{
    switch (t) {
    case Type::Float:
        return "float";
    case Type::Vec2:
        return "vec2";
    case Type::Vec3:
        return "vec3";
    case Type::Vec4:
        return "vec4";
    case Type::Mat4:
        return "mat4";
    case Type::Sampler2D:
        return "sampler2D";
    default:
        return "other";
    }
}

QString keyName(const QShaderKey& k)
{
    static const char* const sources[]
        = { "SPIR-V", "GLSL", "HLSL", "DXBC", "MSL", "DXIL", "metallib" };
    const int s = k.source();
    return QStringLiteral("%1 %2%3%4")
        .arg(QLatin1String(s >= 0 && s < 7 ? sources[s] : "?"))
        .arg(k.sourceVersion().version())
        .arg(QLatin1String(k.sourceVersion().flags() & QShaderVersion::GlslEs ? " es" : ""))
        .arg(QLatin1String(k.sourceVariant() == QShader::StandardShader ? "" : " batchable"));
}

QByteArray readResource(const QString& name)
{
    QFile f(QStringLiteral(":/shaders/") + name);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QShader loadShader(const QString& name)
{
    return QShader::fromSerialized(readResource(name));
}

void addFileRows()
{
    QTest::addColumn<QString>("file");
    for (const auto& entry : interfaces())
        QTest::newRow(qPrintable(entry.first)) << entry.first;
}

void compareVariables(
    const char* what, QList<QShaderDescription::InOutVariable> got, const QList<Variable>& expected)
{
    std::sort(got.begin(), got.end(),
        [](const auto& a, const auto& b) { return a.location < b.location; });
    QVERIFY2(got.size() == expected.size(),
        qPrintable(QStringLiteral("%1: %2 variables, expected %3")
                       .arg(QLatin1String(what))
                       .arg(got.size())
                       .arg(expected.size())));
    for (int i = 0; i < got.size(); ++i) {
        const auto& g = got.at(i);
        const Variable& e = expected.at(i);
        QVERIFY2(g.location == e.location && g.name == e.name && g.type == e.type,
            qPrintable(QStringLiteral("%1 %2: location %3 %4 %5, expected location %6 %7 %8")
                           .arg(QLatin1String(what))
                           .arg(i)
                           .arg(g.location)
                           .arg(QLatin1String(g.name), QLatin1String(typeName(g.type)))
                           .arg(e.location)
                           .arg(QLatin1String(e.name), QLatin1String(typeName(e.type)))));
    }
}

} // namespace

class tst_ShaderPack : public QObject {
    Q_OBJECT

private slots:
    void packHoldsExactlyTheSevenPackages();
    void packageIsStoredAsBaked_data() { addFileRows(); }
    void packageIsStoredAsBaked();
    void stageMatchesTheFileName_data() { addFileRows(); }
    void stageMatchesTheFileName();
    void variantsAreTheStandardSetPlusGlslEs300_data() { addFileRows(); }
    void variantsAreTheStandardSetPlusGlslEs300();
    void reflectionMatchesTheInterface_data() { addFileRows(); }
    void reflectionMatchesTheInterface();
    void nativeBindingsMapToSlots_data() { addFileRows(); }
    void nativeBindingsMapToSlots();
};

void tst_ShaderPack::packHoldsExactlyTheSevenPackages()
{
    QDir dir(QStringLiteral(":/shaders"));
    QVERIFY2(dir.exists(), "the pack is not registered: :/shaders is missing");
    QStringList expected;
    for (const auto& entry : interfaces())
        expected << entry.first;
    expected.sort();
    QStringList files
        = dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    files.sort();
    QCOMPARE(files, expected);
    QCOMPARE(dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void tst_ShaderPack::packageIsStoredAsBaked()
{
    QFETCH(QString, file);
    // A package is already zlib data; a second compression by the resource layer would only cost.
    QResource resource(QStringLiteral(":/shaders/") + file);
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    const QByteArray data = readResource(file);
    QVERIFY2(data.size() > 4, qPrintable(QStringLiteral("%1 bytes").arg(data.size())));
    const quint32 prefix = qFromBigEndian<quint32>(data.constData());
    const QByteArray content = qUncompress(data);
    QVERIFY2(!content.isEmpty(), "the package does not decompress");
    QCOMPARE(prefix, quint32(content.size()));
}

void tst_ShaderPack::stageMatchesTheFileName()
{
    QFETCH(QString, file);
    const QShader shader = loadShader(file);
    QVERIFY2(shader.isValid(), "the package does not deserialize");
    const QShader::Stage expected
        = file.contains(QLatin1String(".vert.")) ? QShader::VertexStage : QShader::FragmentStage;
    QCOMPARE(shader.stage(), expected);
    QCOMPARE(shader.stage(), interfaces().at(file).stage);
}

void tst_ShaderPack::variantsAreTheStandardSetPlusGlslEs300()
{
    QFETCH(QString, file);
    const QShader shader = loadShader(file);
    QVERIFY(shader.isValid());

    const QList<QShaderKey> expected = {
        { QShader::SpirvShader, QShaderVersion(100) },
        { QShader::GlslShader, QShaderVersion(100, QShaderVersion::GlslEs) },
        { QShader::GlslShader, QShaderVersion(120) },
        { QShader::GlslShader, QShaderVersion(150) },
        // Not in the usual set: an ES 3 renderer looks for it before 100 es, whose vertex
        // shaders cannot compile.
        { QShader::GlslShader, QShaderVersion(300, QShaderVersion::GlslEs) },
        { QShader::HlslShader, QShaderVersion(50) },
        { QShader::MslShader, QShaderVersion(12) },
    };
    const QList<QShaderKey> keys = shader.availableShaders();
    QStringList got;
    for (const QShaderKey& k : keys)
        got << keyName(k);
    got.sort();
    QStringList want;
    for (const QShaderKey& k : expected)
        want << keyName(k);
    want.sort();
    QCOMPARE(got, want);

    for (const QShaderKey& k : expected) {
        const QShaderCode code = shader.shader(k);
        const QByteArray entry = k.source() == QShader::MslShader ? "main0" : "main";
        QVERIFY2(!code.shader().isEmpty(), qPrintable(keyName(k) + QLatin1String(": no code")));
        QVERIFY2(code.entryPoint() == entry,
            qPrintable(
                QStringLiteral("%1: entry point %2, expected %3")
                    .arg(keyName(k), QLatin1String(code.entryPoint()), QLatin1String(entry))));
    }
}

void tst_ShaderPack::reflectionMatchesTheInterface()
{
    QFETCH(QString, file);
    const Interface& want = interfaces().at(file);
    const QShaderDescription d = loadShader(file).description();
    QVERIFY(d.isValid());

    compareVariables("input", d.inputVariables(), want.inputs);
    compareVariables("output", d.outputVariables(), want.outputs);

    const QList<QShaderDescription::UniformBlock> blocks = d.uniformBlocks();
    QCOMPARE(blocks.size(), want.blockSize ? 1 : 0);
    if (want.blockSize) {
        const auto& b = blocks.first();
        QCOMPARE(b.blockName, QByteArray("Block"));
        QCOMPARE(b.structName, QByteArray("u"));
        QCOMPARE(b.binding, 0);
        QCOMPARE(b.descriptorSet, 0);
        QCOMPARE(b.size, want.blockSize);
        QCOMPARE(b.members.size(), want.members.size());
        for (int i = 0; i < b.members.size(); ++i) {
            const auto& g = b.members.at(i);
            const Member& e = want.members.at(i);
            QVERIFY2(g.name == e.name && g.offset == e.offset && g.type == e.type,
                qPrintable(QStringLiteral("member %1: %2 %3 at %4, expected %5 %6 at %7")
                               .arg(i)
                               .arg(QLatin1String(typeName(g.type)), QLatin1String(g.name))
                               .arg(g.offset)
                               .arg(QLatin1String(typeName(e.type)), QLatin1String(e.name))
                               .arg(e.offset)));
        }
        // mat4 in std140: column-major with a 16-byte column stride.
        for (const auto& m : b.members) {
            if (m.type == Type::Mat4) {
                QCOMPARE(m.matrixStride, 16);
                QCOMPARE(m.matrixIsRowMajor, false);
            }
        }
    }
    QCOMPARE(d.pushConstantBlocks().size(), 0);
    QCOMPARE(d.storageBlocks().size(), 0);

    QList<QShaderDescription::InOutVariable> samplers = d.combinedImageSamplers();
    std::sort(samplers.begin(), samplers.end(),
        [](const auto& a, const auto& b) { return a.binding < b.binding; });
    QCOMPARE(samplers.size(), want.samplers.size());
    for (int i = 0; i < samplers.size(); ++i) {
        const auto& g = samplers.at(i);
        const Sampler& e = want.samplers.at(i);
        QVERIFY2(g.name == e.name && g.binding == e.binding && g.descriptorSet == 0
                && g.type == Type::Sampler2D,
            qPrintable(QStringLiteral("sampler %1: %2 %3 at set %4 binding %5, expected "
                                      "sampler2D %6 at set 0 binding %7")
                           .arg(i)
                           .arg(QLatin1String(typeName(g.type)), QLatin1String(g.name))
                           .arg(g.descriptorSet)
                           .arg(g.binding)
                           .arg(QLatin1String(e.name))
                           .arg(e.binding)));
    }
    QCOMPARE(d.separateImages().size(), 0);
    QCOMPARE(d.separateSamplers().size(), 0);
    QCOMPARE(d.storageImages().size(), 0);
}

void tst_ShaderPack::nativeBindingsMapToSlots()
{
    QFETCH(QString, file);
    const Interface& want = interfaces().at(file);
    const QShader shader = loadShader(file);

    // The block goes to buffer slot 0; sampler binding n to texture and sampler slot n - 1.
    QShader::NativeResourceBindingMap expected;
    if (want.blockSize)
        expected.insert(0, { 0, -1 });
    for (const Sampler& s : want.samplers)
        expected.insert(s.binding, { s.binding - 1, s.binding - 1 });

    const QShaderKey keys[] = { { QShader::HlslShader, QShaderVersion(50) },
        { QShader::MslShader, QShaderVersion(12) } };
    for (const QShaderKey& k : keys) {
        const QShader::NativeResourceBindingMap got = shader.nativeResourceBindingMap(k);
        QVERIFY2(got.size() == expected.size(),
            qPrintable(QStringLiteral("%1: %2 bindings, expected %3")
                           .arg(keyName(k))
                           .arg(got.size())
                           .arg(expected.size())));
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const QPair<int, int> native = got.value(it.key(), { -2, -2 });
            QVERIFY2(native == it.value(),
                qPrintable(QStringLiteral("%1 binding %2: slots (%3, %4), expected (%5, %6)")
                               .arg(keyName(k))
                               .arg(it.key())
                               .arg(native.first)
                               .arg(native.second)
                               .arg(it.value().first)
                               .arg(it.value().second)));
        }
        QVERIFY2(shader.separateToCombinedImageSamplerMappingList(k).isEmpty(),
            qPrintable(keyName(k) + QLatin1String(": unexpected sampler mapping")));
    }
}

QTEST_APPLESS_MAIN(tst_ShaderPack)
#include "tst_shaderpack.moc"
