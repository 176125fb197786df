#include "testsupport.h"

#include <gtest/gtest.h>

#include <ctime>

namespace vesk::test {

ScopedTimeZone::ScopedTimeZone(const QByteArray& zone)
    : m_hadValue(qEnvironmentVariableIsSet("TZ"))
    , m_previous(qgetenv("TZ"))
{
    qputenv("TZ", zone);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone()
{
    if (m_hadValue) {
        qputenv("TZ", m_previous);
    } else {
        qunsetenv("TZ");
    }
    tzset();
}

QDateTime at(const char* text)
{
    const QDateTime result
        = QDateTime::fromString(QString::fromLatin1(text), "yyyy-MM-dd HH:mm:ss");
    EXPECT_TRUE(result.isValid()) << text;
    return result;
}

} // namespace vesk::test
