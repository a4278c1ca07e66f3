// The tracks a window run plays, in order, and what each one is called.
//
// Contract:
// - expandInputs() keeps files, pipes and "-" as given, replaces a folder with its audio files
//   (by extension, tracker modules included; sorted by name as bytes, not descending into
//   subfolders) and an .m3u or .m3u8 playlist with its entries as written (a relative one taken
//   from the playlist's folder; '#' lines skipped). A folder or playlist that cannot be read, or
//   holds nothing to play, is one line in *problems and adds nothing.
// - readTags() reads a regular file's artist, title, length and cover without decoding it; a pipe
//   or "-" is never touched (its bytes are the audio), so it gets its file name only. Empty path:
//   the demo.
#ifndef VISUALISER_PLAYLIST_H
#define VISUALISER_PLAYLIST_H

#include <QString>

#include <string>
#include <vector>

namespace visualiser {

std::vector<std::string> expandInputs(
    const std::vector<std::string>& inputs, std::vector<std::string>* problems);

struct TrackTags {
    QString artist; // empty when the file has none
    QString title; // the title tag, else the file name
    double lengthSec = -1.0; // -1 when unknown
    bool seekable = false; // a regular file (or the demo): it can be opened again at a position
    QString artUrl; // the file URL of its embedded cover, copied to the user's cache; else empty
    // What the window shows: "artist - title", or the title alone.
    QString display() const;
};

TrackTags readTags(const std::string& path);

} // namespace visualiser

#endif
