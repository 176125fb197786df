#include <vesk/streammetadata.h>

#include <vesk/protocol/timetext.h>

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cstdlib>

namespace vesk {

namespace {

// A positive decimal number that fits an int, digits only: "+5", " 5" and "0" are no time base.
std::optional<int> positive(QStringView text)
{
    if (text.isEmpty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), [](QChar c) {
            return c.isDigit() && c < u'\x80';
        }))
        return std::nullopt;
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value > 0 ? std::optional(value) : std::nullopt;
}

std::optional<StreamMetadata::TimeBase> timeBaseOf(const QString& text)
{
    const qsizetype slash = text.indexOf(u'/');
    if (slash < 0)
        return std::nullopt;
    const std::optional<int> num = positive(QStringView(text).left(slash));
    const std::optional<int> den = positive(QStringView(text).mid(slash + 1));
    if (!num || !den)
        return std::nullopt;
    return StreamMetadata::TimeBase { *num, *den };
}

std::optional<QDateTime> timeOf(const QJsonValue& value)
{
    const QDateTime time = protocol::readWireTime(value.toString());
    return time.isValid() ? std::optional(time) : std::nullopt;
}

} // namespace

QJsonDocument StreamMetadata::toJson() const
{
    QJsonArray names;
    for (const StreamTrack t : tracks)
        names.append(streamTrackName(t));
    return QJsonDocument(QJsonObject {
        { "playlist", playlist },
        { "file", file },
        { "url", slot.url },
        { "start", protocol::wireTime(slot.start) },
        { "end", protocol::wireTime(slot.end) },
        { "placeholder", placeholder },
        { "track", streamTrackName(track) },
        { "tracks", names },
        { "timeBase", QStringLiteral("%1/%2").arg(timeBase.num).arg(timeBase.den) },
    });
}

std::optional<StreamMetadata> StreamMetadata::fromJson(const QJsonDocument& document)
{
    const QJsonObject object = document.object();
    const std::optional<StreamTrack> track = streamTrackFromName(object.value("track").toString());
    const std::optional<TimeBase> timeBase = timeBaseOf(object.value("timeBase").toString());
    const std::optional<QDateTime> start = timeOf(object.value("start"));
    const std::optional<QDateTime> end = timeOf(object.value("end"));
    if (!track || !timeBase || !start || !end)
        return std::nullopt;
    StreamMetadata metadata;
    metadata.playlist = object.value("playlist").toString();
    metadata.file = object.value("file").toString();
    metadata.slot = { object.value("url").toString(), *start, *end };
    metadata.placeholder = object.value("placeholder").toBool();
    metadata.track = *track;
    metadata.timeBase = *timeBase;
    // Each of ours once, however long the list a peer sends.
    for (const QJsonValue& name : object.value("tracks").toArray())
        if (const std::optional<StreamTrack> t = streamTrackFromName(name.toString()); t
            && std::find(metadata.tracks.begin(), metadata.tracks.end(), *t)
                == metadata.tracks.end())
            metadata.tracks.push_back(*t);
    return metadata;
}

} // namespace vesk
