// The audio a run plays: the demo programme or a file, as a media::Feed that decodes as it goes.
#ifndef VISUALISER_PROGRAMME_H
#define VISUALISER_PROGRAMME_H

#include "media/feed.h"

#include <QString>

#include <memory>

namespace visualiser {

// input empty: the demo. On failure returns null with a one-line reason naming the file.
std::unique_ptr<media::Feed> openProgramme(const QString& input, QString* why);

// One line, naming the file, when what was read of it so far was damaged; empty otherwise.
QString damageWarning(const QString& input, const media::Feed& feed);

} // namespace visualiser

#endif
