// Rendering without a display: the Qt platform and the QRhi for each software-capable back end,
// and an off-screen target whose pictures are read back as RGBA bytes.
//
// Contract:
// - Backend::Auto stands for Vulkan where the Vulkan device QRhi would pick (the first, or
//   QT_VK_PHYSICAL_DEVICE_INDEX) is a GPU, and OpenGL ES where it is a CPU device such as Mesa's
//   lavapipe, or where Vulkan does not start: on a CPU llvmpipe's OpenGL ES renders about as fast
//   and never compiles shaders per draw, as lavapipe 22.x does for a branch on a uniform.
//   resolveBackend() makes that choice from the environment as it stands; it needs no
//   QGuiApplication.
// - prepareHeadless() must run before the QGuiApplication is made. It resolves Auto and sets the
//   platform plugin and the driver variables for the back end it returns (Vulkan through the
//   vkkhrdisplay plugin, preferring Mesa's lavapipe; OpenGL ES through eglfs on a surfaceless EGL
//   display, in software), leaving alone any variable the user has set. Where EGL cannot start,
//   eglfs would end the process, so it falls back to the minimal plugin and start() then reports
//   why.
// - HeadlessRhi::start() creates the QRhi for Vulkan or OpenGL ES, or says in one line why it
//   cannot and which other back end to name instead (unavailable()).
// - OffscreenFrame renders into an RGBA8 texture and reads it back: rows top first, 4 bytes per
//   pixel, premultiplied over black (so the alpha byte is to be ignored, not divided out).
#ifndef VISUAL_HEADLESS_H
#define VISUAL_HEADLESS_H

#include "qtrhi/qtrhi.h"
#include "visual/renderer.h"

#include <QByteArray>
#include <QOffscreenSurface>
#include <QString>
#include <QVulkanInstance>

#include <memory>

namespace visual {

enum class Backend { Auto, Vulkan, Gles };

const char* backendName(Backend backend);
// "auto", "vulkan" or "gles"; false for anything else.
bool parseBackend(const QString& name, Backend* backend);

// Vulkan or Gles: Auto resolved, the others as they are.
Backend resolveBackend(Backend backend);
// Why a back end cannot start, with the other one to try: "<why>; --backend gles uses OpenGL ES
// instead".
QString unavailable(Backend backend, const QString& why);

Backend prepareHeadless(Backend backend);

class HeadlessRhi {
public:
    HeadlessRhi() = default;
    ~HeadlessRhi();
    HeadlessRhi(const HeadlessRhi&) = delete;
    HeadlessRhi& operator=(const HeadlessRhi&) = delete;

    bool start(Backend backend, QString* why);
    QRhi* rhi() const { return rhi_.get(); }

private:
    // Destroyed in reverse order: the QRhi before the instance or surface it runs on.
    QVulkanInstance vulkan_;
    std::unique_ptr<QOffscreenSurface> fallback_;
    std::unique_ptr<QRhi> rhi_;
};

class OffscreenFrame {
public:
    explicit OffscreenFrame(QRhi* rhi);
    ~OffscreenFrame();

    bool setup(QSize size, int sampleCount, QString* why);
    // Renders one picture; with rgba null nothing is read back.
    bool render(const Look& look, QByteArray* rgba, QString* why, int passLimit = -1);
    Renderer& renderer() { return renderer_; }

private:
    QRhi* rhi_;
    Renderer renderer_;
    QSize size_;
    std::unique_ptr<QRhiTexture> texture_;
    std::unique_ptr<QRhiTextureRenderTarget> target_;
    std::unique_ptr<QRhiRenderPassDescriptor> renderPass_;
};

} // namespace visual

#endif
