#include <vesk/log/stdioappender.h>

#include <QMutexLocker>

#include <iostream>

namespace vesk::log {

StdIoAppender::StdIoAppender()
    : m_stream(std::cerr)
{
}

StdIoAppender::StdIoAppender(std::ostream& stream)
    : m_stream(stream)
{
}

void StdIoAppender::log(Level level, const QString& name, const QString& message)
{
    // Formatted under the lock too, so that the time stamps of the lines are in order.
    QMutexLocker lock(&m_mutex);
    const QByteArray line = formatUtf8(level, name, message);
    m_stream.write(line.constData(), line.size());
    m_stream << std::endl;
}

} // namespace vesk::log
