// How long the server takes to read a head, write an answer and serve a whole request on
// loopback. Run a Release build without sanitizers:
//   bin/vesk_httpserver_bench --benchmark_min_time=2

#include <vesk/http.h>
#include <vesk/log.h>

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

const QByteArray connectHead
    = "POST /v1/command/connect HTTP/1.1\r\nHost: 10.0.0.5:49152\r\n"
      "User-Agent: management/2.3\r\nContent-Type: application/json\r\n"
      "Accept: application/json\r\nContent-Length: 17\r\n\r\n{\"key\":\"dmFsdWU=\"}";

void parseHead(benchmark::State& state)
{
    QBuffer buffer;
    buffer.setData(connectHead);
    buffer.open(QIODevice::ReadOnly);
    for (auto _ : state) {
        buffer.seek(0);
        auto request = vesk::HttpRequest::parse(&buffer);
        benchmark::DoNotOptimize(request);
    }
    state.SetBytesProcessed(state.iterations() * connectHead.size());
}
BENCHMARK(parseHead);

void writeJsonResponse(benchmark::State& state)
{
    const QJsonObject answer { { "dir", "/var/lib/morlen-vesk/sync_dir" }, { "id", 42 } };
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    for (auto _ : state) {
        buffer.seek(0);
        vesk::HttpResponse response { QJsonDocument(answer) };
        response.addHeader("X-IV", "0123456789abcdef");
        response.writeToDevice(&buffer);
    }
}
BENCHMARK(writeJsonResponse);

// The server owned by a thread of its own, as by the service's main thread.
class ServerThread
{
public:
    ServerThread()
    {
        m_context.moveToThread(&m_thread);
        m_thread.start();
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        QMetaObject::invokeMethod(
            &m_context,
            [this] {
                m_server = new vesk::HttpServer;
                m_server->addRoute(QRegularExpression("^GET /ping"), [](const vesk::HttpRequest&) {
                    return vesk::HttpResponse("pong", "text/plain");
                });
                listening = m_server->listen(QHostAddress::LocalHost, port);
            },
            Qt::BlockingQueuedConnection);
    }
    ~ServerThread()
    {
        QMetaObject::invokeMethod(
            &m_context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    quint16 port = 0;
    bool listening = false;

private:
    QThread m_thread;
    QObject m_context;
    vesk::HttpServer* m_server = nullptr;
};

void roundTrip(benchmark::State& state)
{
    ServerThread server;
    if (!server.listening) {
        state.SkipWithError("cannot listen");
        return;
    }
    for (auto _ : state) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port);
        socket.waitForConnected(5000);
        socket.write("GET /ping HTTP/1.1\r\nHost: register\r\n\r\n");
        QByteArray reply;
        while (socket.waitForReadyRead(5000))
            reply += socket.readAll();
        reply += socket.readAll();
        if (!reply.endsWith("pong")) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
}
BENCHMARK(roundTrip)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // As in service with the default configuration: only errors are logged.
    vesk::log::Manager::setLogLevel(vesk::log::Level::error);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
