#pragma once
// Internal header of libvesk_httpserver, not API.

#include <vesk/httplimits.h>

#include <QDeadlineTimer>
#include <QIODevice>

#include <vector>

namespace vesk::detail {

// One accepted connection as the QIODevice that the parser and the handlers read from, on the
// worker that serves it. It owns the descriptor and closes it when destroyed.
//
// A socket engine and an event loop would cost more than the whole of a small request: reads go
// into a buffer of its own, every wait is a poll() of the descriptor, and every wait ends at the
// request's deadline at the latest, whoever waits (the parser, a handler reading the body).
// Writes block until the data is out or the write timeout has passed.
class SocketDevice : public QIODevice
{
public:
    // received: what was read from the connection already, to be read first.
    SocketDevice(int descriptor, const HttpLimits& limits, QDeadlineTimer deadline,
        const QByteArray& received = {});
    ~SocketDevice() override;

    SocketDevice(const SocketDevice&) = delete;
    SocketDevice& operator=(const SocketDevice&) = delete;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    bool canReadLine() const override;
    // True when new bytes arrived within msecs (and before the deadline); data that had already
    // arrived unread counts as new. False on time-out, end of stream or error.
    bool waitForReadyRead(int msecs) override;
    // Writes block until done, so there is never anything left to wait for.
    bool waitForBytesWritten(int) override { return true; }

    // A wait ended because the request's deadline had passed.
    bool deadlineMissed() const { return m_deadlineMissed; }
    // Every byte given to write() went out.
    bool writeFailed() const { return m_writeFailed; }
    // Ends the connection after the response. Input nobody read would make the close send a
    // reset that can destroy the response in the peer's buffers, so it is drained first, within
    // the drain limits; without such input the connection closes at once.
    void finish();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 readLineData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    // One non-blocking receive into the buffer: the bytes received, 0 when none were waiting.
    // Sets m_atEnd at the end of the stream or on an error.
    qint64 receive();
    // Blocks until the descriptor is ready for events or the wait ends (or, untilDeadline, the
    // request's deadline passes, which is recorded); false on time-out or error.
    bool poll(short events, const QDeadlineTimer& wait, bool untilDeadline = true);
    const char* unread() const { return m_buffer.data() + m_begin; }
    qint64 unreadSize() const { return qint64(m_end - m_begin); }

    int m_descriptor;
    const HttpLimits& m_limits;
    QDeadlineTimer m_deadline;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    bool m_atEnd = false;
    bool m_deadlineMissed = false;
    bool m_writeFailed = false;
};

} // namespace vesk::detail
