#pragma once

#include <QString>

#include <optional>

namespace vesk {

// The elementary streams of a file that the engine sends, each as messages of its own. The names
// are what the metadata member "track" says (docs/stream-protocol.md), one spelling for the sender
// and every display.
enum class StreamTrack { video, audio };

inline QString streamTrackName(StreamTrack track)
{
    return track == StreamTrack::audio ? QStringLiteral("audio") : QStringLiteral("video");
}

// Nothing for a name that is no track.
inline std::optional<StreamTrack> streamTrackFromName(const QString& name)
{
    if (name == QLatin1String("video"))
        return StreamTrack::video;
    if (name == QLatin1String("audio"))
        return StreamTrack::audio;
    return std::nullopt;
}

} // namespace vesk
