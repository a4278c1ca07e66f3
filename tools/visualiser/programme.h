// The audio a run plays: the demo programme or a file, as a media::Feed that decodes as it goes.
#ifndef VISUALISER_PROGRAMME_H
#define VISUALISER_PROGRAMME_H

#include "media/feed.h"

#include <memory>
#include <string>

namespace visualiser {

// input (a file's name as bytes) empty: the demo. On failure returns null with a one-line reason
// naming the file.
std::unique_ptr<media::Feed> openProgramme(const std::string& input, std::string* why);

// One line, naming the file, when what was read of it so far was damaged; empty otherwise.
std::string damageWarning(const std::string& input, const media::Feed& feed);

} // namespace visualiser

#endif
