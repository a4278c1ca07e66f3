#include "media/ffmpegsetup.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cstddef>
#include <mutex>

namespace media {

namespace {

    // FFmpeg's largest single allocation. A few bytes of damaged header can ask for gigabytes
    // (a WAV's format chunk claiming a 900 MB extension, found by the fuzzer), which FFmpeg would
    // zero and so really take; no audio stream needs more than a few megabytes in one piece
    // (a cover picture is the largest), and the largest picture the encoder takes fits too.
    constexpr std::size_t kMaxAllocBytes = 64u << 20;

} // namespace

// FFmpeg logs to standard error by default, which belongs to the program: one line for an error,
// and the live view's terminal. Everything it would say reaches us as return codes. Both settings
// are process-wide, and media/ is the programs' only user of FFmpeg.
void setUpFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_max_alloc(kMaxAllocBytes);
    });
}

std::string ffmpegErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace media
