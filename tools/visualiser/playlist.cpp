#include "playlist.h"

#include "media/demo.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <sys/stat.h>

namespace visualiser {

namespace {

    // What a folder contributes: the extensions of the containers the decoder reads.
    constexpr std::array<const char*, 27> kAudioExtensions = { "aac", "ac3", "aif", "aifc", "aiff",
        "alac", "ape", "caf", "dts", "flac", "m4a", "m4b", "mka", "mp2", "mp3", "mpc", "oga", "ogg",
        "opus", "spx", "tta", "w64", "wav", "weba", "webm", "wma", "wv" };

    bool isAudioName(const std::string& name)
    {
        const auto dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0)
            return false;
        std::string ext = name.substr(dot + 1);
        std::transform(ext.begin(), ext.end(), ext.begin(),
            [](unsigned char c) { return char(std::tolower(c)); });
        return std::find(kAudioExtensions.begin(), kAudioExtensions.end(), ext)
            != kAudioExtensions.end();
    }

    QString tag(const AVDictionary* dict, const char* key)
    {
        const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
        return e ? QString::fromUtf8(e->value).trimmed() : QString();
    }

} // namespace

std::vector<std::string> expandInputs(
    const std::vector<std::string>& inputs, std::vector<std::string>* problems)
{
    namespace fs = std::filesystem;
    std::vector<std::string> tracks;
    for (const std::string& input : inputs) {
        std::error_code ec;
        if (input.empty() || input == "-" || !fs::is_directory(input, ec)) {
            tracks.push_back(input);
            continue;
        }
        std::vector<std::string> found;
        for (fs::directory_iterator it(input, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code fileEc;
            if (it->is_regular_file(fileEc) && isAudioName(it->path().filename().string()))
                found.push_back(it->path().string());
        }
        if (ec)
            problems->push_back(input + ": cannot read the folder: " + ec.message());
        else if (found.empty())
            problems->push_back(input + ": no audio files in the folder");
        std::sort(found.begin(), found.end());
        tracks.insert(tracks.end(), found.begin(), found.end());
    }
    return tracks;
}

QString TrackTags::display() const
{
    return artist.isEmpty() ? title : artist + QStringLiteral(" - ") + title;
}

TrackTags readTags(const std::string& path)
{
    TrackTags t;
    if (path.empty()) {
        t.title = QStringLiteral("demo");
        t.lengthSec = media::kDemoLengthSec;
        t.seekable = true;
        return t;
    }
    t.title = path == "-" ? QStringLiteral("standard input")
                          : QFileInfo(QFile::decodeName(path.c_str())).fileName();
    struct stat st { };
    if (path == "-" || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return t;
    t.seekable = true;
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0)
        return t;
    // Ogg and Opus keep their tags on the stream, most containers on the file.
    QString artist = tag(format->metadata, "artist");
    QString title = tag(format->metadata, "title");
    if (avformat_find_stream_info(format, nullptr) >= 0) {
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (artist.isEmpty())
                artist = tag(format->streams[i]->metadata, "artist");
            if (title.isEmpty())
                title = tag(format->streams[i]->metadata, "title");
        }
        if (format->duration > 0)
            t.lengthSec = double(format->duration) / AV_TIME_BASE;
    }
    avformat_close_input(&format);
    t.artist = artist;
    if (!title.isEmpty())
        t.title = title;
    return t;
}

} // namespace visualiser
