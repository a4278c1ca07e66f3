// The window itself: the visual drawn into a QRhi swap chain on the back end given, at the pace
// of the screen while there is music and at a resting rate while there is none, from the looks a
// LookSource (following.h) gives for the moment each picture will show.
#ifndef VISUALISER_VISUALWINDOW_H
#define VISUALISER_VISUALWINDOW_H

#include "following.h"
#include "presentprediction.h"
#include "samplegovernor.h"

#include "qtrhi/qtrhi.h"
#include "visual/renderer.h"

#include <QElapsedTimer>
#include <QOffscreenSurface>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>

namespace visualiser {

class VisualWindow : public QWindow {
public:
    VisualWindow(QRhi::Implementation api, QVulkanInstance* vulkan, LookSource& source, int msaa,
        bool msaaNamed);

    QString error() const { return error_; }

    // Starts the graphics on the window before it is shown, so that a shown window draws from
    // its first expose and answers a stop signal at once; on a loaded machine the back end's
    // start takes seconds. False, with the error, where the back end did not start.
    bool prepare();
    // Asked for before the window shows, some window managers (evilwm) never make it full
    // screen; asked for once it shows, every one that handles full screen does.
    void setFullScreenWhenShown(bool fullScreen) { fullScreenWhenShown_ = fullScreen; }
    // Keys the window itself does not take; true when taken.
    void setKeyHandler(std::function<bool(int key)> handler) { keys_ = std::move(handler); }

    void togglePause();
    // The colours the next picture draws in; may change while the window shows.
    void setPalette(const visual::Palette& palette);

protected:
    void exposeEvent(QExposeEvent*) override;
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    void toggleFullScreen() { setWindowStates(windowStates() ^ Qt::WindowFullScreen); }

    bool initialise();
    void resizeSwapChain();
    void setupRenderer();
    void release();
    // Brings the analysis to the moment the next picture will show.
    void advance();
    bool resting() const;
    void scheduleNext();
    // At rest: the analysis goes on every tick, a picture only now and then or once there is
    // music again.
    void tick();
    void render();
    // The strand pass rebuilt at the governor's lower count, between two pictures.
    void stepSamplesDown();

    QRhi::Implementation api_;
    LookSource& source_;
    int msaa_; // as drawn, once the back end started
    bool msaaNamed_;
    std::unique_ptr<SampleGovernor> governor_;
    QString error_;
    std::unique_ptr<QOffscreenSurface> fallback_;
    std::unique_ptr<QRhi> rhi_;
    std::unique_ptr<QRhiSwapChain> sc_;
    std::unique_ptr<QRhiRenderPassDescriptor> renderPass_;
    std::unique_ptr<visual::Renderer> renderer_;
    visual::Palette palette_;
    std::function<bool(int)> keys_;
    bool ready_ = false;
    bool paused_ = false;
    bool fullScreenWhenShown_ = false;
    QElapsedTimer clock_;
    QTimer tick_;
    PresentPrediction prediction_;
    qint64 heardMs_ = 0;
    qint64 pictureMs_ = 0;
};

} // namespace visualiser

#endif
