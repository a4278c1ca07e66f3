#include "programme.h"

#include "media/audiodecoder.h"

#include <QFile>

namespace visualiser {

std::unique_ptr<media::Feed> openProgramme(const QString& input, QString* why)
{
    std::string error;
    auto feed = media::openFeed(QFile::encodeName(input).toStdString(), &error);
    if (!feed)
        *why = QStringLiteral("%1: %2").arg(input, QString::fromStdString(error));
    return feed;
}

QString damageWarning(const QString& input, const media::Feed& feed)
{
    const media::DecodeDamage* damage = feed.damage();
    if (!damage || !damage->any())
        return {};
    return QStringLiteral("%1: %2").arg(input, QString::fromStdString(damage->warning()));
}

} // namespace visualiser
