// Loads what the memcheck tests' programs load, Qt and FFmpeg's codecs with their own
// dependencies, and does nothing else: whatever valgrind cannot run here, it cannot run in the
// libraries' start-up. The calls keep the linker from dropping the libraries.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <QtGlobal>

int main()
{
    const bool loaded = avformat_version() != 0 && avcodec_version() != 0 && avutil_version() != 0
        && qVersion() != nullptr;
    return loaded ? 0 : 1;
}
