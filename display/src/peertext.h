// Internal to vesk-display, not API.
#pragma once

#include <QString>
#include <QStringView>

namespace vesk::display {

// A text that a register chose, made safe for an operator's terminal: control characters (C0,
// DEL, C1), format characters (such as the bidirectional overrides), line and paragraph
// separators and the backslash are written as escapes, so that no escape sequence reaches the
// terminal, and a text longer than `limit` characters is cut with a note of how much was left
// out.
//   "file"              -> file
//   "a\nb\x1b[2J"       -> a\nb\e[2J
//   "C:\dir"            -> C:\\dir
//   "\u0085", "\u202e"  -> \u0085, \u202e
//   300 x "a", limit 8  -> aaaaaaaa... (292 more characters)
QString peerText(QStringView text, qsizetype limit = 200);

} // namespace vesk::display
