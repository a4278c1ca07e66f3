#include "programme.h"

#include "media/audiodecoder.h"

namespace visualiser {

std::unique_ptr<media::Feed> openProgramme(const std::string& input, std::string* why)
{
    std::string error;
    auto feed = media::openFeed(input, &error);
    if (!feed)
        *why = input + ": " + error;
    return feed;
}

std::string damageWarning(const std::string& input, const media::Feed& feed)
{
    const media::DecodeDamage* damage = feed.damage();
    if (!damage || !damage->any())
        return {};
    return input + ": " + damage->warning();
}

} // namespace visualiser
