// Internal to vesk-display, not API.
#pragma once

#include <QByteArray>
#include <QStringView>

namespace vesk::display {

// A text that a register chose (its answers, names of playlists and files), as vesk-display
// prints it: blanks of every kind, "%", control characters (C0, DEL, C1), format characters (the
// bidirectional overrides among them) and line and paragraph separators become %XX of their UTF-8
// bytes, so that nothing a register sends can steer the terminal or break a line of fields. A
// text longer than `limit` characters is cut, with a note of how much was left out.
//   "clips/a.mp4"              -> clips/a.mp4
//   "Реклама 1.mp4"            -> Реклама%201.mp4
//   "a\nb%"                    -> a%0Ab%25
//   "\x1b[2J", "\u009b2J"      -> %1B[2J, %C2%9B2J
//   "\u202e", "\u2028"         -> %E2%80%AE, %E2%80%A8
//   "\u00a0" (no-break space)  -> %C2%A0
//   300 x "a", limit 8         -> aaaaaaaa... (292 more characters)
QByteArray peerText(QStringView text, qsizetype limit = 200);

} // namespace vesk::display
