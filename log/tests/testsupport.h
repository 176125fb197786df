// Helpers of the logging library's tests; not API.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <cstdio>
#include <iostream>
#include <ostream>
#include <stdexcept>
#include <unistd.h>

// Readable failure messages for Qt's text types (found by GoogleTest through the global namespace).
inline void PrintTo(const QByteArray& bytes, std::ostream* os)
{
    *os << '"' << bytes.toStdString() << '"';
}
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace vesk::log::test {

// Everything written to file descriptor 2 while it lives, so that a test sees what really
// reaches standard error (std::cerr, stdio and Qt's own warnings alike).
class StderrCapture
{
public:
    StderrCapture()
    {
        std::cerr.flush();
        std::fflush(stderr);
        m_file = std::tmpfile();
        m_saved = ::dup(2);
        if (!m_file || m_saved < 0 || ::dup2(::fileno(m_file), 2) < 0)
            throw std::runtime_error("cannot capture standard error");
    }
    ~StderrCapture() { restore(); }

    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Stops capturing and returns what was written.
    QByteArray take()
    {
        restore();
        QByteArray text;
        if (m_file) {
            std::rewind(m_file);
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
                text.append(buffer, qsizetype(n));
            std::fclose(m_file);
            m_file = nullptr;
        }
        return text;
    }

private:
    void restore()
    {
        if (m_saved >= 0) {
            std::cerr.flush();
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
    }

    std::FILE* m_file = nullptr;
    int m_saved = -1;
};

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The lines of a file, each without its "\n"; a last line without "\n" is returned too.
inline QList<QByteArray> readLines(const QString& path)
{
    QList<QByteArray> lines = readAll(path).split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    return lines;
}

// The time stamp that Appender::format puts first: local time, no zone, milliseconds.
inline const QRegularExpression& timeStampPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}$"));
    return pattern;
}

constexpr qsizetype timeStampLength = 23;

} // namespace vesk::log::test
