// Helpers for the tests that need the private sound server of the pulse_server fixture: running
// programs, restarting the server, and playing tones into its null sink "vis_null".
#ifndef TESTS_PULSEPLAY_H
#define TESTS_PULSEPLAY_H

#include <QByteArray>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace pulseplay {

constexpr int kRateHz = 48000;
constexpr double kTwoPi = 6.283185307179586;
// What a tone's player keeps queued at the server (see Tone).
constexpr int kQueuedMs = 200;

// Under CI=true a missing server fails the tests instead of skipping them.
inline bool ci()
{
    return qgetenv("CI") == "true";
}

// Starts a program. Not QProcess: ThreadSanitizer cannot follow the clone() that Qt starts
// processes with, and the capture test runs in the ThreadSanitizer build too.
inline pid_t spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

// Waits for a child to end, through signals: QProcess may watch its children with a SIGCHLD
// handler that does not restart system calls (it does in the sanitizer build), and then any other
// child that ends meanwhile would break the wait off.
inline pid_t reap(pid_t pid, int* status)
{
    pid_t waited = -1;
    do
        waited = waitpid(pid, status, 0);
    while (waited < 0 && errno == EINTR);
    return waited;
}

// Runs a program to its end; its exit status, -1 if it did not run.
inline int run(const std::vector<std::string>& args)
{
    const pid_t pid = spawn(args);
    int status = 0;
    if (pid < 0 || reap(pid, &status) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

#ifdef PULSE_SERVER_SCRIPT
inline bool pulseServer(const char* action)
{
    return run({ PULSE_SERVER_SCRIPT, action, PULSE_DIR }) == 0;
}
#endif

// A tone played into a sink: left channel at amplitude left, right at right, for a few seconds.
// pacat keeps kQueuedMs queued at the server: with 20 ms, a loaded machine let its stream run dry
// now and then, and the sink played silence in the middle of the tone (50 ms of it in a 0.25 s
// measurement, with no sample lost on the capture side). Stopping the tone drops what is queued.
class Tone {
public:
    Tone(const char* sink, double hz, float left, float right, double seconds = 4.0)
    {
        const int frames = static_cast<int>(seconds * kRateHz);
        std::vector<float> data(2 * static_cast<std::size_t>(frames));
        for (int i = 0; i < frames; ++i) {
            const float s = static_cast<float>(std::sin(kTwoPi * hz * i / kRateHz));
            data[2 * i] = left * s;
            data[2 * i + 1] = right * s;
        }
        file_.open();
        file_.write(reinterpret_cast<const char*>(data.data()),
            static_cast<qint64>(data.size() * sizeof(float)));
        file_.flush();
        player_ = spawn({ "pacat", "--playback", std::string("--device=") + sink,
            "--format=float32le", "--rate=48000", "--channels=2", "--raw",
            "--latency-msec=" + std::to_string(kQueuedMs), file_.fileName().toStdString() });
    }
    ~Tone()
    {
        if (player_ > 0) {
            kill(player_, SIGTERM);
            reap(player_, nullptr);
        }
    }

private:
    QTemporaryFile file_;
    pid_t player_ = -1;
};

} // namespace pulseplay

#endif
