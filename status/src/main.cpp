// vesk-status: what the register's service is doing, from the status file it keeps.
//
//   vesk-status                 for a person
//   vesk-status --json          the file as it is, for scripts
//   vesk-status --file PATH     another file (a copy fetched from a register, say)
//
// Exit status: 0 when the service is running, 1 when the file cannot be read, 2 for a wrong
// option, 3 when the service stopped or has not rewritten the file for two minutes.

#include <vesk/protocol/status.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

#include <iostream>

namespace {

using namespace vesk::status::exitStatus;

const char* const usage
    = "usage: vesk-status [--json] [--file PATH] | --version | --help\n"
      "\n"
      "Shows what the register's service is doing: pairing, the last heartbeat and delivery,\n"
      "what plays now, the stream and the API. The service rewrites the status file when\n"
      "something changes and at least every 30 seconds.\n"
      "\n"
      "  --json       print the status file as it is\n"
      "  --file PATH  read PATH instead of /run/vesk/status.json (or, where the service\n"
      "               does not run under systemd, /var/lib/morlen-vesk/status.json)\n"
      "  --version    print the version\n"
      "  --help       print this help\n"
      "\n"
      "Exit status: 0 running, 1 the file cannot be read, 2 a wrong option, 3 the service\n"
      "stopped or its status is older than two minutes.\n";

int fail(int status, const QString& message)
{
    std::cerr << "vesk-status: " << message.toStdString() << std::endl;
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VESK_VERSION);

    bool json = false;
    QString path;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--help") {
            std::cout << usage;
            return 0;
        }
        if (argument == u"--version") {
            std::cout << "vesk-status " VESK_VERSION << std::endl;
            return 0;
        }
        if (argument == u"--json") {
            json = true;
        } else if (argument == u"--file" && i + 1 < arguments.size()) {
            path = arguments[++i];
        } else {
            return fail(usageError,
                QStringLiteral("unexpected argument '%1'; see vesk-status --help").arg(argument));
        }
    }

    if (path.isEmpty()) {
        const QStringList locations = vesk::status::defaultLocations();
        path = locations.first();
        for (const QString& location : locations) {
            if (QFile::exists(location)) {
                path = location;
                break;
            }
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(unreadable,
            QStringLiteral("cannot read %1: %2 (is vesk-service installed and started?)")
                .arg(path, file.errorString()));
    // The service writes a few kilobytes; anything far larger is not its file.
    const QByteArray content = file.read(1 << 20);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (!document.isObject())
        return fail(unreadable,
            QStringLiteral("%1 is not a status file: %2").arg(path, error.errorString()));

    const bool alive = vesk::status::looksAlive(document.object(), QDateTime::currentDateTime());
    // The file as it is: the service writes it as JSON, which escapes every control character.
    if (json)
        std::cout << content.toStdString();
    else
        std::cout << vesk::status::statusText(document.object(), QDateTime::currentDateTime())
                         .toStdString();
    return alive ? running : notRunning;
}
