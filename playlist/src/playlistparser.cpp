#include <vesk/playlist/playlistparser.h>

#include <vesk/log.h>

#include <QIODevice>
#include <QMetaProperty>
#include <QString>
#include <QVariant>

#include <array>
#include <utility>

namespace vesk {

namespace {

// playlist.ini, line by line (";" or else "#" starts a comment anywhere, values included):
//   "[Morning]"              -> current section "morning"
//   "[Morning.Intro.v2]"     -> section "morning.intro.v2": playlist "morning", file "intro.v2"
//   "Priority = 5 ; high"    -> key "Priority" (matched as "priority"), value "5"
//   "url=http://h/a#frag"    -> value "http://h/a"
//   "starttime=08:00"        -> QTime(8, 0); "startdate=2026-12-24" -> null date (dd.MM.yyyy)
//   "timeplay=abc"           -> 0 s
//   "[placeholder]" "url=x"  -> placeholder "x"; other keys there are ignored
//   "\xEF\xBB\xBF[x]"        -> not a header (the byte-order mark is kept)
//   "garbage"                -> ignored
QByteArray stripComment(QByteArray line)
{
    qsizetype cut = line.indexOf(';');
    if (cut < 0) {
        cut = line.indexOf('#');
    }
    if (cut >= 0) {
        line.truncate(cut);
    }
    return line.trimmed();
}

const QByteArray placeholderSection = QByteArrayLiteral("placeholder");

template <typename T> T* findBySection(QList<T>& list, const QByteArray& section)
{
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->section == section) {
            return &*it;
        }
    }
    return nullptr;
}

template <typename T>
void writeProperty(T& target, const QByteArray& key, const QVariant& converted)
{
    const QMetaObject& meta = T::staticMetaObject;
    const int index = meta.indexOfProperty(key.constData());
    if (index >= 0) {
        meta.property(index).writeOnGadget(&target, converted);
    }
}

} // namespace

PlaylistParser::PlaylistParser()
    : m_logger(log::Manager::logger("vesk.playlist.parser"))
{
    Playlist::registerMetaTypes();
}

void PlaylistParser::parse(QIODevice* device)
{
    QByteArray section;
    // Keys below a header too long to be a name belong to no section.
    bool ignored = false;
    while (true) {
        const QByteArray raw = device->readLine();
        // A device that yields nothing without being at its end (unreadable, or a sequential
        // device with no data yet) would otherwise be polled for ever.
        if (raw.isEmpty()) {
            break;
        }
        const QByteArray line = stripComment(raw);
        if (line.isEmpty()) {
            if (device->atEnd()) {
                break;
            }
            continue;
        }
        if (line.startsWith('[') && line.endsWith(']')) {
            const QByteArray lowered = QString::fromUtf8(line).toLower().toUtf8();
            section = lowered.mid(1, lowered.size() - 2);
            ignored = !fits("section", section);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals >= 0 && !ignored) {
            applyKey(section, line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
        }
    }
    dropLongUrls();
    if (m_logger->isLevelEnabled(log::Level::debug)) {
        dump();
    }
}

void PlaylistParser::applyKey(
    const QByteArray& section, const QByteArray& key, const QByteArray& value)
{
    if (section == placeholderSection) {
        if (key == "url" && fits("placeholder", value)) {
            m_placeholder = value;
        }
        return;
    }

    const qsizetype dot = section.indexOf('.');
    const QByteArray playlistSection = dot < 0 ? section : section.left(dot);
    Playlist* playlist = findBySection(m_playlists, playlistSection);
    if (!playlist) {
        Playlist created;
        created.section = playlistSection;
        m_playlists.append(created);
        playlist = &m_playlists.last();
    }

    const QByteArray name = key.toLower();
    auto convert = [&](QMetaType type) -> QVariant {
        switch (type.id()) {
        case QMetaType::Int:
            return value.toInt(nullptr, 10);
        case QMetaType::QByteArray:
            return value;
        case QMetaType::QDate:
            return QDate::fromString(QString::fromUtf8(value), QStringLiteral("dd.MM.yyyy"));
        case QMetaType::QTime:
            return QTime::fromString(QString::fromUtf8(value), Qt::TextDate);
        default:
            break;
        }
        if (type == QMetaType::fromType<Playlist::WeekDays>()) {
            return QVariant::fromValue(parseDays(value));
        }
        if (type == QMetaType::fromType<std::chrono::seconds>()) {
            return QVariant::fromValue(std::chrono::seconds(value.toLong(nullptr, 10)));
        }
        return {};
    };

    if (dot < 0) {
        const int index = Playlist::staticMetaObject.indexOfProperty(name.constData());
        if (index >= 0 && ((name != "name" && name != "section") || fits(name, value))) {
            writeProperty(
                *playlist, name, convert(Playlist::staticMetaObject.property(index).metaType()));
        }
        return;
    }

    const QByteArray fileSection = section.mid(dot + 1);
    Playlist::File* file = findBySection(playlist->files, fileSection);
    if (!file) {
        Playlist::File created;
        created.section = fileSection;
        playlist->files.append(created);
        file = &playlist->files.last();
    }
    const int index = Playlist::File::staticMetaObject.indexOfProperty(name.constData());
    if (index >= 0) {
        writeProperty(
            *file, name, convert(Playlist::File::staticMetaObject.property(index).metaType()));
    }
}

// Whether `value` is short enough to be a name; a longer one is logged, not shown.
bool PlaylistParser::fits(const QByteArray& what, const QByteArray& value) const
{
    if (value.size() <= maxNameSize) {
        return true;
    }
    m_logger->warn(QStringLiteral("  %1 длиннее %2 байт - пропущено"), QString::fromLatin1(what),
        QString::number(maxNameSize));
    return false;
}

// A url is checked once its file is complete: a later, shorter url of the same file counts.
void PlaylistParser::dropLongUrls()
{
    for (Playlist& playlist : m_playlists) {
        playlist.files.removeIf([&](const Playlist::File& file) {
            if (file.url.size() <= maxNameSize) {
                return false;
            }
            m_logger->warn(QStringLiteral("  файл %1 плейлиста %2 отклонен: url длиннее %3 байт"),
                QString::fromUtf8(file.section), QString::fromUtf8(playlist.section),
                QString::number(maxNameSize));
            return true;
        });
    }
}

Playlist::WeekDays PlaylistParser::parseDays(const QByteArray& text) const
{
    static const std::array<std::pair<const char*, int>, 15> names { {
        { "mon", Playlist::Monday },
        { "monday", Playlist::Monday },
        { "tue", Playlist::Tuesday },
        { "tuesday", Playlist::Tuesday },
        { "wed", Playlist::Wednesday },
        { "wednesday", Playlist::Wednesday },
        { "thu", Playlist::Thursday },
        { "thursday", Playlist::Thursday },
        { "fri", Playlist::Friday },
        { "friday", Playlist::Friday },
        { "sat", Playlist::Saturday },
        { "saturday", Playlist::Saturday },
        { "sun", Playlist::Sunday },
        { "sunday", Playlist::Sunday },
        { "all", Playlist::everyDay },
    } };

    Playlist::WeekDays days;
    for (const QByteArray& part : text.split(',')) {
        const QByteArray item = part.trimmed().toLower();
        bool known = false;
        for (const auto& [name, bits] : names) {
            if (item == name) {
                days |= Playlist::WeekDays(bits);
                known = true;
                break;
            }
        }
        if (!known) {
            m_logger->warn("  неизвестное значение поля days: %1", QString::fromUtf8(item));
        }
    }
    return days;
}

void PlaylistParser::dump() const
{
    auto line = [this](const QString& text) { m_logger->debug(text); };
    line(QStringLiteral("parsed: ["));
    for (const Playlist& playlist : m_playlists) {
        line(QStringLiteral("  Playlist{"));
        line(QStringLiteral("    name: '%1',").arg(QString::fromUtf8(playlist.name)));
        line(QStringLiteral("    section: '%1',").arg(QString::fromUtf8(playlist.section)));
        line(QStringLiteral("    priority: %1").arg(playlist.priority));
        line(QStringLiteral("    startDate: %1,").arg(playlist.startdate.toString(Qt::ISODate)));
        line(QStringLiteral("    endDate: %1,").arg(playlist.enddate.toString(Qt::ISODate)));
        line(QStringLiteral("    startTime: %1,").arg(playlist.starttime.toString(Qt::ISODate)));
        line(QStringLiteral("    endTime: %1,").arg(playlist.endtime.toString(Qt::ISODate)));
        line(QStringLiteral("    days: %1,").arg(playlist.days.toInt()));
        line(QStringLiteral("    files: ["));
        for (const Playlist::File& file : playlist.files) {
            line(QStringLiteral("      File{"));
            line(QStringLiteral("        section: '%1',").arg(QString::fromUtf8(file.section)));
            line(QStringLiteral("        url: '%1',").arg(QString::fromUtf8(file.url)));
            line(QStringLiteral("        playtime: %1,").arg(file.timeplay.count()));
            line(QStringLiteral("      },"));
        }
        line(QStringLiteral("    ],"));
        line(QStringLiteral("  },"));
    }
    line(QStringLiteral("]"));
}

} // namespace vesk
