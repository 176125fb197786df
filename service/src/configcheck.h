#pragma once
// Internal header of vesk-service, not API.

#include <QString>

#include <ostream>

namespace vesk::service {

// vesk-service --check-config: reads config.ini at path as the service would and reports on err
// what is wrong with it, one line each (an unreadable or malformed file, unknown keys, values
// that are present but replaced by their fall-backs), and on out the settings in effect, one
// "Group/key=value" line per key. A missing file is not wrong: every key then has its default.
// Warnings about who may pair (CoreSettings::pairingWarnings) follow the problems on err, each
// after "warning: ", and do not fail the check. Returns the exit status: 0 when nothing is
// wrong, 1 otherwise.
int checkConfig(const QString& path, std::ostream& out, std::ostream& err);

} // namespace vesk::service
