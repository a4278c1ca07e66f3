#include "visual/headless.h"

#include "qtrhi/qtrhi.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLibrary>

#include <vulkan/vulkan.h>

#include <vector>

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

    // The type of the physical device QRhi's Vulkan back end would take: the first one, or the
    // one QT_VK_PHYSICAL_DEVICE_INDEX names. False where none is found or Vulkan cannot start.
    bool vulkanDeviceType(VkPhysicalDeviceType* type)
    {
        QLibrary loader(QStringLiteral("vulkan"), 1);
        const auto getProc
            = reinterpret_cast<PFN_vkGetInstanceProcAddr>(loader.resolve("vkGetInstanceProcAddr"));
        if (!getProc)
            return false;
        const auto createInstance
            = reinterpret_cast<PFN_vkCreateInstance>(getProc(nullptr, "vkCreateInstance"));
        VkApplicationInfo app {};
        app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
        app.apiVersion = VK_API_VERSION_1_0;
        VkInstanceCreateInfo info {};
        info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
        info.pApplicationInfo = &app;
        VkInstance instance = VK_NULL_HANDLE;
        if (!createInstance || createInstance(&info, nullptr, &instance) != VK_SUCCESS)
            return false;
        const auto enumerate = reinterpret_cast<PFN_vkEnumeratePhysicalDevices>(
            getProc(instance, "vkEnumeratePhysicalDevices"));
        const auto properties = reinterpret_cast<PFN_vkGetPhysicalDeviceProperties>(
            getProc(instance, "vkGetPhysicalDeviceProperties"));
        const auto destroy
            = reinterpret_cast<PFN_vkDestroyInstance>(getProc(instance, "vkDestroyInstance"));
        uint32_t count = 0;
        std::vector<VkPhysicalDevice> devices;
        if (enumerate && enumerate(instance, &count, nullptr) == VK_SUCCESS) {
            devices.resize(count);
            if (enumerate(instance, &count, devices.data()) < VK_SUCCESS)
                count = 0;
        }
        const int index = qEnvironmentVariableIsSet("QT_VK_PHYSICAL_DEVICE_INDEX")
            ? qEnvironmentVariableIntValue("QT_VK_PHYSICAL_DEVICE_INDEX")
            : 0;
        const bool found = properties && index >= 0 && uint32_t(index) < count;
        if (found) {
            VkPhysicalDeviceProperties p {};
            properties(devices[size_t(index)], &p);
            *type = p.deviceType;
        }
        if (destroy)
            destroy(instance, nullptr);
        return found;
    }

    void preferLavapipe()
    {
        // lavapipe, even where a GPU is present: pictures then match from machine to machine.
        const QStringList icds = QDir(QStringLiteral("/usr/share/vulkan/icd.d"))
                                     .entryList({ QStringLiteral("lvp_icd*.json") });
        if (!icds.isEmpty())
            setDefault("VK_ICD_FILENAMES",
                QFile::encodeName(QStringLiteral("/usr/share/vulkan/icd.d/") + icds.first()));
    }

} // namespace

const char* backendName(Backend backend)
{
    switch (backend) {
    case Backend::Auto:
        return "auto";
    case Backend::Vulkan:
        return "vulkan";
    case Backend::Gles:
        break;
    }
    return "gles";
}

bool parseBackend(const QString& name, Backend* backend)
{
    if (name == QLatin1String("auto"))
        *backend = Backend::Auto;
    else if (name == QLatin1String("vulkan"))
        *backend = Backend::Vulkan;
    else if (name == QLatin1String("gles"))
        *backend = Backend::Gles;
    else
        return false;
    return true;
}

Backend resolveBackend(Backend backend)
{
    if (backend != Backend::Auto)
        return backend;
    VkPhysicalDeviceType type = VK_PHYSICAL_DEVICE_TYPE_CPU;
    return vulkanDeviceType(&type) && type != VK_PHYSICAL_DEVICE_TYPE_CPU ? Backend::Vulkan
                                                                          : Backend::Gles;
}

QString unavailable(Backend backend, const QString& why)
{
    return backend == Backend::Vulkan
        ? QStringLiteral("%1; --backend gles uses OpenGL ES instead").arg(why)
        : QStringLiteral("%1; --backend vulkan uses Vulkan instead").arg(why);
}

Backend prepareHeadless(Backend backend)
{
    if (backend != Backend::Gles) {
        preferLavapipe();
        backend = resolveBackend(backend);
    }
    if (backend == Backend::Vulkan) {
        // The second plugin lets the program start, and report, where the first cannot load.
        setDefault("QT_QPA_PLATFORM", "vkkhrdisplay;minimal");
        // No keyboard or mouse to read: the plugin would otherwise probe the input devices.
        setDefault("QT_QPA_DISABLE_INPUT", "1");
        return backend;
    }
    setDefault("QT_QPA_PLATFORM", "eglfs;minimal");
    setDefault("QT_QPA_EGLFS_INTEGRATION", "none");
    setDefault("QT_QPA_EGLFS_FB", "/dev/null");
    setDefault("QT_QPA_EGLFS_DISABLE_INPUT", "1");
    setDefault("EGL_PLATFORM", "surfaceless");
    setDefault("LIBGL_ALWAYS_SOFTWARE", "1");
    if (!eglStarts())
        qputenv("QT_QPA_PLATFORM", "minimal");
    return backend;
}

HeadlessRhi::~HeadlessRhi() = default;

bool HeadlessRhi::start(Backend backend, QString* why)
{
    const QString platform = QGuiApplication::platformName();
    if (backend == Backend::Vulkan) {
        if (platform != QLatin1String("vkkhrdisplay")) {
            *why = unavailable(backend,
                QStringLiteral("no Vulkan: the vkkhrdisplay platform did not start (running on "
                               "'%1')")
                    .arg(platform));
            return false;
        }
        vulkan_.setExtensions(QRhiVulkanInitParams::preferredInstanceExtensions());
        if (!vulkan_.create()) {
            *why = unavailable(
                backend, QStringLiteral("no Vulkan device (VkResult %1)").arg(vulkan_.errorCode()));
            return false;
        }
        QRhiVulkanInitParams params;
        params.inst = &vulkan_;
        rhi_.reset(QRhi::create(QRhi::Vulkan, &params));
    } else {
        if (platform != QLatin1String("eglfs")) {
            *why = unavailable(
                backend, QStringLiteral("no OpenGL ES: EGL cannot start a surfaceless display"));
            return false;
        }
        fallback_.reset(QRhiGles2InitParams::newFallbackSurface());
        QRhiGles2InitParams params;
        params.fallbackSurface = fallback_.get();
        rhi_.reset(QRhi::create(QRhi::OpenGLES2, &params));
    }
    if (!rhi_) {
        *why = unavailable(backend,
            QStringLiteral("the %1 back end did not start")
                .arg(QLatin1String(backendName(backend))));
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
    const int largest = rhi_->resourceLimit(QRhi::TextureSizeMax);
    if (size.width() > largest || size.height() > largest) {
        *why = QStringLiteral("a %1x%2 picture is wider than this device draws (%3 pixels a side)")
                   .arg(size.width())
                   .arg(size.height())
                   .arg(largest);
        return false;
    }
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
