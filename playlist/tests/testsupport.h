#pragma once

#include "logcapture.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace vesk::test {

// Sets TZ for the life of the object and restores the previous value, so that a test can run in
// a zone with daylight saving time whatever zone the machine is in.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const QByteArray& zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_hadValue;
    QByteArray m_previous;
};

// A local date and time, "2026-12-24 18:00:05", for short test tables.
QDateTime at(const char* text);

} // namespace vesk::test
