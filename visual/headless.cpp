#include "visual/headless.h"

#include <QtGui/private/qrhigles2_p.h>
#include <QtGui/private/qrhivulkan_p.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLibrary>

namespace visual {

namespace {

    void setDefault(const char* name, const QByteArray& value)
    {
        if (!qEnvironmentVariableIsSet(name))
            qputenv(name, value);
    }

    // eglfs ends the process when EGL cannot initialise; ask EGL first.
    bool eglStarts()
    {
        QLibrary egl(QStringLiteral("EGL"), 1);
        using GetDisplay = void* (*)(void*);
        using Initialize = unsigned (*)(void*, int*, int*);
        using Terminate = unsigned (*)(void*);
        const auto getDisplay = reinterpret_cast<GetDisplay>(egl.resolve("eglGetDisplay"));
        const auto initialize = reinterpret_cast<Initialize>(egl.resolve("eglInitialize"));
        const auto terminate = reinterpret_cast<Terminate>(egl.resolve("eglTerminate"));
        if (!getDisplay || !initialize || !terminate)
            return false;
        void* display = getDisplay(nullptr);
        int major = 0, minor = 0;
        if (!display || !initialize(display, &major, &minor))
            return false;
        terminate(display);
        return true;
    }

} // namespace

const char* backendName(Backend backend)
{
    return backend == Backend::Vulkan ? "vulkan" : "gles";
}

bool parseBackend(const QString& name, Backend* backend)
{
    if (name == QLatin1String("vulkan"))
        *backend = Backend::Vulkan;
    else if (name == QLatin1String("gles"))
        *backend = Backend::Gles;
    else
        return false;
    return true;
}

void prepareHeadless(Backend backend)
{
    if (backend == Backend::Vulkan) {
        // The second plugin lets the program start, and report, where the first cannot load.
        setDefault("QT_QPA_PLATFORM", "vkkhrdisplay;minimal");
        // lavapipe, even where a GPU is present: pictures then match from machine to machine.
        const QStringList icds = QDir(QStringLiteral("/usr/share/vulkan/icd.d"))
                                     .entryList({ QStringLiteral("lvp_icd*.json") });
        if (!icds.isEmpty())
            setDefault("VK_ICD_FILENAMES",
                QFile::encodeName(QStringLiteral("/usr/share/vulkan/icd.d/") + icds.first()));
        // No keyboard or mouse to read: the plugin would otherwise probe the input devices.
        setDefault("QT_QPA_DISABLE_INPUT", "1");
        return;
    }
    setDefault("QT_QPA_PLATFORM", "eglfs;minimal");
    setDefault("QT_QPA_EGLFS_INTEGRATION", "none");
    setDefault("QT_QPA_EGLFS_FB", "/dev/null");
    setDefault("QT_QPA_EGLFS_DISABLE_INPUT", "1");
    setDefault("EGL_PLATFORM", "surfaceless");
    setDefault("LIBGL_ALWAYS_SOFTWARE", "1");
    if (!eglStarts())
        qputenv("QT_QPA_PLATFORM", "minimal");
}

HeadlessRhi::~HeadlessRhi() = default;

bool HeadlessRhi::start(Backend backend, QString* why)
{
    const QString platform = QGuiApplication::platformName();
    if (backend == Backend::Vulkan) {
        if (platform != QLatin1String("vkkhrdisplay")) {
            *why = QStringLiteral("no Vulkan: the vkkhrdisplay platform did not start (running on "
                                  "'%1')")
                       .arg(platform);
            return false;
        }
        vulkan_.setExtensions(QRhiVulkanInitParams::preferredInstanceExtensions());
        if (!vulkan_.create()) {
            *why = QStringLiteral("no Vulkan instance (VkResult %1)").arg(vulkan_.errorCode());
            return false;
        }
        QRhiVulkanInitParams params;
        params.inst = &vulkan_;
        rhi_.reset(QRhi::create(QRhi::Vulkan, &params));
    } else {
        if (platform != QLatin1String("eglfs")) {
            *why = QStringLiteral("no OpenGL ES: EGL cannot start a surfaceless display");
            return false;
        }
        fallback_.reset(QRhiGles2InitParams::newFallbackSurface());
        QRhiGles2InitParams params;
        params.fallbackSurface = fallback_.get();
        rhi_.reset(QRhi::create(QRhi::OpenGLES2, &params));
    }
    if (!rhi_) {
        *why = QStringLiteral("the %1 back end did not start")
                   .arg(QLatin1String(backendName(backend)));
        return false;
    }
    return true;
}

OffscreenFrame::OffscreenFrame(QRhi* rhi)
    : rhi_(rhi)
    , renderer_(rhi)
{
}

OffscreenFrame::~OffscreenFrame() = default;

bool OffscreenFrame::setup(QSize size, int sampleCount, QString* why)
{
    texture_.reset(rhi_->newTexture(QRhiTexture::RGBA8, size, 1,
        QRhiTexture::RenderTarget | QRhiTexture::UsedAsTransferSource));
    if (!texture_->create()) {
        *why = QStringLiteral("cannot create a %1x%2 picture").arg(size.width()).arg(size.height());
        return false;
    }
    target_.reset(rhi_->newTextureRenderTarget({ QRhiColorAttachment(texture_.get()) }));
    renderPass_.reset(target_->newCompatibleRenderPassDescriptor());
    target_->setRenderPassDescriptor(renderPass_.get());
    if (!target_->create()) {
        *why = QStringLiteral("cannot create the picture's render target");
        return false;
    }
    size_ = size;
    // A texture read back lists its memory rows from row 0: that row must be the top.
    return renderer_.setup(size, renderPass_.get(), true, sampleCount, why);
}

bool OffscreenFrame::render(const Look& look, QByteArray* rgba, QString* why, int passLimit)
{
    QRhiCommandBuffer* cb = nullptr;
    if (rhi_->beginOffscreenFrame(&cb) != QRhi::FrameOpSuccess) {
        *why = QStringLiteral("the back end cannot begin a frame");
        return false;
    }
    QRhiReadbackResult result;
    QRhiResourceUpdateBatch* readback = nullptr;
    if (rgba) {
        readback = rhi_->nextResourceUpdateBatch();
        readback->readBackTexture(QRhiReadbackDescription(texture_.get()), &result);
    }
    renderer_.record(cb, target_.get(), look, readback, passLimit);
    if (rhi_->endOffscreenFrame() != QRhi::FrameOpSuccess) {
        *why = QStringLiteral("the back end failed to finish a frame");
        return false;
    }
    if (rgba) {
        const qsizetype expected = qsizetype(size_.width()) * size_.height() * 4;
        if (result.data.size() != expected) {
            *why = QStringLiteral("read back %1 bytes, expected %2")
                       .arg(result.data.size())
                       .arg(expected);
            return false;
        }
        *rgba = result.data;
    }
    return true;
}

} // namespace visual
