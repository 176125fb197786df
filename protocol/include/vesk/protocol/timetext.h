#pragma once

// Times on the wire and in the files the programs share: ISO 8601 in the zone the writer keeps,
// always with a numeric offset, "+00:00" on a register that keeps UTC and never "Z", so that a
// reader sees the writer's wall clock and its offset alike.
//
//   wireTime(12:00:01.123 in Moscow)          -> "2026-12-08T12:00:01.123+03:00"
//   wireTime(12:00:01.123 UTC)                -> "2026-12-08T12:00:01.123+00:00"
//   wireTimeSeconds(12:00:01.123 in Moscow)   -> "2026-12-08T12:00:01+03:00"
//   wireTime(QDateTime())                     -> ""

#include <QDateTime>
#include <QString>
#include <QStringView>

namespace vesk::protocol {

// With milliseconds: the status file, the heartbeat, the pairing files, the management server.
QString wireTime(const QDateTime& time);

// Whole seconds: the "datetime" of the answers to the connect and stream connect commands.
QString wireTimeSeconds(const QDateTime& time);

// The time that either writes, with or without milliseconds (and, from writers of earlier
// versions, "Z"), at its offset; an invalid QDateTime for anything else.
QDateTime readWireTime(QStringView text);

} // namespace vesk::protocol
