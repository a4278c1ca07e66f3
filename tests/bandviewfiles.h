// Sound files for the bandview tests, written with libsndfile: the same decoder the program reads
// them back with, so a test controls exactly what the program receives.
#ifndef TESTS_BANDVIEWFILES_H
#define TESTS_BANDVIEWFILES_H

#include <sndfile.h>

#include <QFile>
#include <QString>

#include <vector>

// channels[c][i] is sample i of channel c; every channel has the same length. format is a
// libsndfile major format and encoding, e.g. SF_FORMAT_WAV | SF_FORMAT_FLOAT.
inline bool writeSoundFile(
    const QString& path, const std::vector<std::vector<float>>& channels, int rate, int format)
{
    SF_INFO info {};
    info.samplerate = rate;
    info.channels = static_cast<int>(channels.size());
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const std::size_t frames = channels.empty() ? 0 : channels[0].size();
    std::vector<float> interleaved(frames * channels.size());
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < channels.size(); ++c)
            interleaved[i * channels.size() + c] = channels[c][i];
    }
    const sf_count_t written
        = sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(frames));
    return sf_close(file) == 0 && written == static_cast<sf_count_t>(frames);
}

#endif
