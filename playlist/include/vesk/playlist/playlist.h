#pragma once

#include <QByteArray>
#include <QDate>
#include <QFlags>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QTime>
#include <vesk/playlist/playlistfile.h>

#include <chrono>

namespace vesk {

// One playlist of playlist.ini: when it may play and the files it rotates through.
// A plain value; the parser writes its fields by property name (the names are the playlist.ini
// keys), so the property list below is part of the file format.
class Playlist
{
    Q_GADGET
    Q_PROPERTY(int priority MEMBER priority)
    Q_PROPERTY(QByteArray name MEMBER name)
    Q_PROPERTY(QByteArray section MEMBER section)
    Q_PROPERTY(QDate startdate MEMBER startdate)
    Q_PROPERTY(QDate enddate MEMBER enddate)
    Q_PROPERTY(QTime starttime MEMBER starttime)
    Q_PROPERTY(QTime endtime MEMBER endtime)
    Q_PROPERTY(vesk::Playlist::WeekDays days MEMBER days)

public:
    // One bit per day; the bit of a date is 1 << (QDate::dayOfWeek() - 1).
    enum WeekDay {
        Monday = 1,
        Tuesday = 2,
        Wednesday = 4,
        Thursday = 8,
        Friday = 16,
        Saturday = 32,
        Sunday = 64,
    };
    Q_DECLARE_FLAGS(WeekDays, WeekDay)
    Q_FLAG(WeekDays)

    static constexpr int everyDay = 127;

    // One media file (declared outside because moc cannot handle nested gadgets).
    using File = PlaylistFile;

    int priority = 0;
    QByteArray name;
    QByteArray section;
    QDate startdate;
    QDate enddate;
    QTime starttime;
    QTime endtime;
    WeekDays days = WeekDays(everyDay);
    // In the order in which their sections first appear in the file.
    QList<File> files;

    friend bool operator==(const Playlist&, const Playlist&) = default;

    // Registers WeekDays as "vesk::Playlist::WeekDays" and std::chrono::seconds as
    // "std::chrono::seconds" with Qt's meta-type system. Safe to call any number of times from
    // any thread; the parser calls it before it writes a property.
    static void registerMetaTypes();
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Playlist::WeekDays)

} // namespace vesk

Q_DECLARE_METATYPE(vesk::Playlist::WeekDays)
