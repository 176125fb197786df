// Internal to vesk-manage, not API.
#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringView>

namespace vesk::manage {

// Text a peer chose (a register's reason, its status, rsync's and ssh's messages, which carry
// the remote side's words), made safe to put on a terminal: no character of it can move the
// cursor, clear the screen, reorder the line or end it.
//   "ok"                 -> ok
//   "a\nb"               -> a\nb           (line feed, carriage return, tab by their letters)
//   "\x1b[2J"            -> \x1b[2J
//   "a\\b"               -> a\\b           (so that an escape in the text cannot pose as ours)
//   "\u202e" (bidi)      -> \u{202e}       (format characters, C1 controls, U+2028/2029)
//   "Привет"             -> Привет
// Longer texts are cut at `limit` characters of the input, with " [cut]" appended.
QString printable(QStringView text, qsizetype limit = 1000);

// The same for every string (and object key) in a JSON value, recursively.
QJsonValue printableJson(const QJsonValue& value);

} // namespace vesk::manage
