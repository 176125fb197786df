#pragma once
// Internal header of libvesk_core, not API.

#include <QString>

namespace vesk::detail {

// A text with a value a peer chose in it (a refusal reason that echoes a request, a name from a
// TF), as a log line may carry it: control characters shown escaped, so that no line of the
// peer's making starts in the log, and at most `limit` characters, the rest cut with a mark that
// says how long the text was. One request must not push the earlier lines out of the log.
//   "scp"                      -> "scp"
//   "a\nb" "a\rb" "a\tb"       -> "a\\nb" "a\\rb" "a\\tb"
//   "\x1b[31m" "\x7f" "\u0085" -> "\\x1b[31m" "\\x7f" "\\x85"
//   300 × "x", limit 200       -> 200 × "x" + "…[cut: 300 characters]"
//   "ключ"                     -> "ключ"
QString peerTextForLog(const QString& text, qsizetype limit = 200);

} // namespace vesk::detail
