// A 16-bit WAV of a sine, written byte by byte for the tests that run the programs, so that a test
// controls exactly what the decoder receives.
#ifndef TESTS_TONEFILE_H
#define TESTS_TONEFILE_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cmath>

// peak is the sine's amplitude of 32767. A header that declares declaredSeconds, above seconds,
// makes a file cut short: damaged input. Every channel after the first is the first inverted, so
// that their mono mix is silent; the first silentSec seconds are silence.
inline bool writeTone(const QString& path, int rate, double seconds, double hz, int peak = 16000,
    double declaredSeconds = 0.0, int channels = 1, double silentSec = 0.0)
{
    const int n = int(rate * seconds);
    const int silent = int(rate * silentSec);
    QByteArray data;
    data.reserve(n * 2 * channels);
    for (int i = 0; i < n; ++i) {
        const qint16 v = i < silent
            ? qint16(0)
            : qint16(std::lround(peak * std::sin(6.283185307179586 * hz * i / rate)));
        for (int c = 0; c < channels; ++c) {
            const qint16 w = c == 0 ? v : qint16(-v);
            data.append(char(w & 0xff)).append(char((w >> 8) & 0xff));
        }
    }
    const int frameBytes = 2 * channels;
    const quint32 declared = quint32(std::max(n, int(rate * declaredSeconds)) * frameBytes);
    auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    const QByteArray wav = "RIFF" + u32(36 + declared) + "WAVEfmt " + u32(16) + u16(1)
        + u16(quint16(channels)) + u32(quint32(rate)) + u32(quint32(rate * frameBytes))
        + u16(quint16(frameBytes)) + u16(16) + "data" + u32(declared) + data;
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(wav) == wav.size();
}

#endif
