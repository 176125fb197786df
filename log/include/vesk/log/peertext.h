#pragma once

#include <QString>
#include <QStringView>

namespace vesk::log {

// A text a peer chose (a name from a delivery's TF, a refusal reason that echoes a request, what a
// register or a status file says), as a log line or a terminal may carry it. Control characters,
// format characters (the bidirectional overrides among them) and line and paragraph separators
// become escapes, and so does the backslash, so that an escape never reads as the character itself
// and nothing of the peer's making can start a line, move the cursor or reorder what follows. A
// text longer than `limit` characters is cut there, with a mark that says how long it was, so that
// one request cannot push the earlier lines out of a log.
//   "scp"                       -> scp
//   "a\nb" "a\rb" "a\tb"        -> a\nb  a\rb  a\tb
//   ESC "[31m", DEL, U+0085     -> \x1b[31m  \x7f  \x85
//   U+202E, U+2028              -> \u{202e}  \u{2028}
//   "x\y"                       -> x\\y
//   "ключ", "Füße"              -> ключ  Füße
//   300 × "x", limit 200        -> 200 × "x" followed by …[cut: 300 characters]
QString peerText(QStringView text, qsizetype limit = 200);

} // namespace vesk::log
