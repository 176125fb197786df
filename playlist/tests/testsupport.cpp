#include "testsupport.h"

#include <vesk/log.h>

#include <QMutex>
#include <QMutexLocker>

#include <gtest/gtest.h>

#include <ctime>

namespace vesk::test {

namespace {

struct Entry
{
    QString logger;
    QString message;
};

QMutex mutex;
QList<Entry> entries;

class CaptureEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        log::Manager::setLogLevel(log::Level::trace);
        log::Manager::setAppender(QSharedPointer<log::CallbackAppender>::create(
            [](log::Level, const QString& logger, const QString& message) {
                QMutexLocker lock(&mutex);
                entries.append({ logger, message });
            }));
    }
};

[[maybe_unused]] const auto* const environment
    = ::testing::AddGlobalTestEnvironment(new CaptureEnvironment);

} // namespace

QStringList loggedMessages(const QString& logger)
{
    QMutexLocker lock(&mutex);
    QStringList result;
    for (const Entry& entry : entries) {
        if (entry.logger == logger) {
            result.append(entry.message);
        }
    }
    return result;
}

void clearLog()
{
    QMutexLocker lock(&mutex);
    entries.clear();
}

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
