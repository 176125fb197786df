#pragma once
// Internal header of libvesk_core, not API.

#include <QHostAddress>
#include <QString>

#include <utility>

namespace vesk::detail {

// "address:port" to an address and a port. The text is split at every colon; the first part is
// the address, the second a decimal port, further parts are ignored. *ok is false when the
// address is null, the port is not a number from 0 to 65535 (the port is then 0), or the text is
// longer than 64 characters.
//   "10.0.0.5:5000"   -> 10.0.0.5, 5000, ok
//   "1.2.3.4:80:x"    -> 1.2.3.4, 80, ok
//   "10.0.0.5"        -> 10.0.0.5, 0, not ok
//   "10.0.0.5:70000"  -> 10.0.0.5, 0, not ok
//   "host:80", "[::1]:80", "::1", "" -> not ok
std::pair<QHostAddress, quint16> parseHostPort(const QString& text, bool* ok);

} // namespace vesk::detail
