#include "playlist.h"

#include "media/demo.h"
#include "media/ffmpegsetup.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace visualiser {

namespace {

    // What a folder contributes: the extensions of the containers the decoder reads, tracker
    // modules (it, mod, s3m, xm) included.
    constexpr std::array<const char*, 31> kAudioExtensions
        = { "aac", "ac3", "aif", "aifc", "aiff", "alac", "ape", "caf", "dts", "flac", "it", "m4a",
              "m4b", "mka", "mod", "mp2", "mp3", "mpc", "oga", "ogg", "opus", "s3m", "spx", "tta",
              "w64", "wav", "weba", "webm", "wma", "wv", "xm" };
    constexpr std::array<const char*, 2> kPlaylistExtensions = { "m3u", "m3u8" };

    template <size_t N>
    bool hasExtension(const std::string& name, const std::array<const char*, N>& extensions)
    {
        const auto dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0)
            return false;
        std::string ext = name.substr(dot + 1);
        std::transform(ext.begin(), ext.end(), ext.begin(),
            [](unsigned char c) { return char(std::tolower(c)); });
        return std::find(extensions.begin(), extensions.end(), ext) != extensions.end();
    }

    // A folder's audio files, sorted by name as bytes.
    void addFolder(const std::string& folder, std::vector<std::string>* tracks,
        std::vector<std::string>* problems)
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        std::vector<std::string> found;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code fileEc;
            if (it->is_regular_file(fileEc)
                && hasExtension(it->path().filename().string(), kAudioExtensions))
                found.push_back(it->path().string());
        }
        if (ec)
            problems->push_back(folder + ": cannot read the folder: " + ec.message());
        else if (found.empty())
            problems->push_back(folder + ": no audio files in the folder");
        std::sort(found.begin(), found.end());
        tracks->insert(tracks->end(), found.begin(), found.end());
    }

    // A playlist's entries, one a line; lines that start with '#' are comments (and the extended
    // format's directives), and a relative path is taken from the playlist's folder, where the
    // program that wrote it stood.
    void addPlaylist(const std::string& playlist, std::vector<std::string>* tracks,
        std::vector<std::string>* problems)
    {
        std::ifstream in(playlist, std::ios::binary);
        if (!in) {
            problems->push_back(playlist + ": cannot read the playlist: " + std::strerror(errno));
            return;
        }
        const std::filesystem::path folder = std::filesystem::path(playlist).parent_path();
        const size_t before = tracks->size();
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            // The byte order mark some editors put before the first line.
            if (tracks->size() == before && line.rfind("\xEF\xBB\xBF", 0) == 0)
                line.erase(0, 3);
            if (line.empty() || line[0] == '#')
                continue;
            const std::filesystem::path entry(line);
            tracks->push_back(entry.is_absolute() ? line : (folder / entry).string());
        }
        if (tracks->size() == before)
            problems->push_back(playlist + ": no tracks in the playlist");
    }

    // The cover a file carries as an attached picture, written once to the user's cache under the
    // digest of its bytes (so that every file with the same cover shares one), as a file URL: the
    // form in which MPRIS clients take art. Empty when the file has none or it cannot be written.
    QString cacheCoverArt(const AVFormatContext* format)
    {
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            const AVStream* s = format->streams[i];
            if (!(s->disposition & AV_DISPOSITION_ATTACHED_PIC) || s->attached_pic.size <= 0)
                continue;
            const QByteArray bytes(
                reinterpret_cast<const char*>(s->attached_pic.data), s->attached_pic.size);
            const AVCodecDescriptor* codec = avcodec_descriptor_get(s->codecpar->codec_id);
            const QString type = !codec          ? QStringLiteral("img")
                : codec->id == AV_CODEC_ID_MJPEG ? QStringLiteral("jpg")
                                                 : QString::fromLatin1(codec->name);
            const QString folder
                = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                + QStringLiteral("/visualiser/art");
            const QString path = folder + QLatin1Char('/')
                + QString::fromLatin1(
                    QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex())
                + QLatin1Char('.') + type;
            if (!QFile::exists(path)) {
                QSaveFile file(path);
                if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)
                    || file.write(bytes) != bytes.size() || !file.commit())
                    return {};
            }
            return QUrl::fromLocalFile(path).toString();
        }
        return {};
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
        if (input.empty() || input == "-")
            tracks.push_back(input);
        else if (fs::is_directory(input, ec))
            addFolder(input, &tracks, problems);
        else if (hasExtension(input, kPlaylistExtensions) && fs::is_regular_file(input, ec))
            addPlaylist(input, &tracks, problems);
        else
            tracks.push_back(input);
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
    media::setUpFfmpeg();
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
        t.artUrl = cacheCoverArt(format);
    }
    avformat_close_input(&format);
    t.artist = artist;
    if (!title.isEmpty())
        t.title = title;
    return t;
}

} // namespace visualiser
