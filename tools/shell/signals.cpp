#include "shell/signals.h"

#include "shell/output.h"
#include "shell/status.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>

namespace shell {

namespace {

    constexpr int kStopPollMs = 50;

    volatile std::sig_atomic_t stopFlag = 0;
    volatile std::sig_atomic_t continuedFlag = 0;
    volatile std::sig_atomic_t resizedFlag = 0;
    std::atomic<void (*)()> leaveHook { nullptr };
    std::atomic<void (*)()> enterHook { nullptr };

    void setHandler(int sig, void (*handler)(int), bool restart)
    {
        struct sigaction action { };
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = restart ? SA_RESTART : 0;
        sigaction(sig, &action, nullptr);
    }

    void callHook(const std::atomic<void (*)()>& hook)
    {
        void (*f)() = hook.load();
        if (f)
            f();
    }

    extern "C" void onStopSignal(int sig)
    {
        if (stopFlag == 0)
            stopFlag = sig;
    }

    extern "C" void onSuspend(int)
    {
        const int saved = errno;
        callHook(leaveHook);
        setHandler(SIGTSTP, SIG_DFL, true);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTSTP);
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(SIGTSTP);
        // Continued. A write that the suspension interrupted goes on once this returns, so the
        // terminal must be taken again first.
        callHook(enterHook);
        setHandler(SIGTSTP, onSuspend, true);
        continuedFlag = 1;
        errno = saved;
    }

    extern "C" void onQuit(int)
    {
        callHook(leaveHook);
        removeTemporariesFromSignal();
        setHandler(SIGQUIT, SIG_DFL, false);
        ::raise(SIGQUIT);
    }

    extern "C" void onContinue(int)
    {
        continuedFlag = 1;
    }

    extern "C" void onResize(int)
    {
        resizedFlag = 1;
    }

} // namespace

void installSignalHandlers()
{
    for (int sig : { SIGINT, SIGTERM, SIGHUP })
        setHandler(sig, onStopSignal, false);
    setHandler(SIGTSTP, onSuspend, true);
    setHandler(SIGQUIT, onQuit, false);
    setHandler(SIGCONT, onContinue, true);
    setHandler(SIGWINCH, onResize, true);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

int stopSignal()
{
    return stopFlag;
}

bool stopped()
{
    return stopFlag != 0;
}

int stoppedStatus()
{
    return kExitSignalBase + stopFlag;
}

bool takeContinued()
{
    const bool was = continuedFlag != 0;
    continuedFlag = 0;
    return was;
}

bool takeResized()
{
    const bool was = resizedFlag != 0;
    resizedFlag = 0;
    return was;
}

void setTerminalHooks(void (*leave)(), void (*enter)())
{
    leaveHook.store(leave);
    enterHook.store(enter);
}

void exitEventLoopOnStop(QCoreApplication& app)
{
    auto* poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, &app, [&app] {
        if (stopped())
            app.exit(stoppedStatus());
    });
    poll->start(kStopPollMs);
}

} // namespace shell
