#include "media/openerror.h"

#include "media/bytesource.h"
#include "media/ffmpegsetup.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cstring>

namespace media {

namespace {

    // System and FFmpeg messages start with a capital ("No such file or directory"); ours are
    // lower-case phrases.
    std::string phrase(std::string s)
    {
        if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z')
            s[0] = static_cast<char>(s[0] - 'A' + 'a');
        return s;
    }

    // What the source itself says went wrong, which outranks the demuxer's view of it; empty when
    // nothing did.
    std::string sourceFailure(const ByteSource& source)
    {
        if (source.stopped())
            return "stopped";
        if (source.readErrno() != 0)
            return systemReason(source.readErrno());
        return {};
    }

} // namespace

std::string systemReason(int errnum)
{
    const char* text = std::strerror(errnum);
    return phrase(text ? text : "");
}

std::string ffmpegReason(int code)
{
    return phrase(ffmpegErrorText(code));
}

std::string openFailure(const ByteSource& source, int rc)
{
    std::string why = sourceFailure(source);
    if (!why.empty())
        return why;
    if (source.bytesRead() == 0)
        return "file is empty";
    if (rc == AVERROR_INVALIDDATA)
        return "not an audio file";
    if (rc == AVERROR_EOF)
        return "file ends before its audio begins";
    return ffmpegReason(rc);
}

std::string noAudio(const ByteSource& source, int rc, const char* container)
{
    std::string why = sourceFailure(source);
    if (!why.empty())
        return why;
    if (rc == AVERROR_EOF)
        return "file ends before its audio begins";
    // MP4 and its kin may keep their index after the audio; a stream cannot go back for it.
    if (!source.seekable() && std::strncmp(container, "mov,", 4) == 0)
        return "this MP4 keeps its index after the audio, so it cannot be read from a stream";
    return "no audio could be read: " + ffmpegReason(rc);
}

std::string rateOutsideRange(int rateHz, int lowestHz, int highestHz)
{
    return "sample rate " + std::to_string(rateHz) + " Hz is outside " + std::to_string(lowestHz)
        + ".." + std::to_string(highestHz) + " Hz";
}

} // namespace media
