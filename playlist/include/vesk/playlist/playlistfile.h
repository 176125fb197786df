#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>

#include <chrono>

namespace vesk {

// One media file of a playlist, known as vesk::Playlist::File. `section` is its identifier within
// the playlist and is not settable by a playlist.ini key, hence not a property.
class PlaylistFile
{
    Q_GADGET
    Q_PROPERTY(QByteArray url MEMBER url)
    Q_PROPERTY(std::chrono::seconds timeplay MEMBER timeplay)

public:
    QByteArray section;
    QByteArray url;
    std::chrono::seconds timeplay { 0 };

    friend bool operator==(const PlaylistFile&, const PlaylistFile&) = default;
};

} // namespace vesk

Q_DECLARE_METATYPE(std::chrono::seconds)
