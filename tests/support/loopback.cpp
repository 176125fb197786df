#include "loopback.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <memory>

namespace vesk::test {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool runOffThread(const std::function<void()>& work, std::chrono::milliseconds timeout)
{
    std::unique_ptr<QThread> thread(QThread::create(work));
    QEventLoop loop;
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(timeout);
    thread->start();
    if (!thread->isFinished())
        loop.exec();
    const bool finished = thread->isFinished();
    // The work may still use the server; let the event loop serve it until the work gives up.
    while (!thread->wait(10))
        QCoreApplication::processEvents();
    return finished;
}

Reply exchange(quint16 port, const QByteArray& request, std::chrono::milliseconds timeout,
    const QHostAddress& from)
{
    Reply reply;
    QTcpSocket socket;
    socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(static_cast<int>(timeout.count())))
        return reply;
    reply.connected = true;
    QElapsedTimer clock;
    clock.start();
    const QDeadlineTimer deadline(timeout);
    socket.write(request);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
        else
            socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        reply.data += socket.readAll();
    }
    reply.data += socket.readAll();
    reply.closed = socket.state() != QAbstractSocket::ConnectedState;
    reply.elapsed = std::chrono::milliseconds(clock.elapsed());
    return reply;
}

Reply roundTrip(quint16 port, const QByteArray& request, std::chrono::milliseconds timeout)
{
    Reply reply;
    runOffThread([&] { reply = exchange(port, request, timeout); }, timeout + 5s);
    return reply;
}

} // namespace vesk::test
