// vesk-manage: the management server's side of vesk registers, for shops without a management
// server of their own and as the reference for those who write one.
//
//   vesk-manage pair REGISTER:PORT --ssh-key FILE.pub    pairs, keeps the pairing
//   vesk-manage deliver NAME... DIR                      delivers DIR and waits for the verdicts
//   vesk-manage status NAME...                           the registers' statuses over ssh
//   vesk-manage listen                                   the registers' heartbeats
//   vesk-manage plays [NAME...]                          collects the registers' plays
//   vesk-manage report                                   plays per day, register, ...

#include "commands.h"
#include "console.h"
#include "delivery.h"
#include "registerstate.h"

#include <vesk/log.h>

#include <QCoreApplication>

#include <cstdio>

namespace {

const char* const usage
    = "usage: vesk-manage COMMAND [ARGUMENTS] | --version | --help\n"
      "\n"
      "The management server's side of vesk registers: pairs with a register, delivers content\n"
      "to it with rsync over ssh, shows its status, receives its heartbeats and collects the\n"
      "plays it records for the advertisers.\n"
      "\n"
      "  pair REGISTER:PORT --ssh-key FILE.pub [--listen ADDR:PORT] [--name NAME]\n"
      "  deliver REGISTER... DIR | --all DIR [--parallel N] [--json] [--bwlimit KIB]\n"
      "          [--ssh-key FILE] [--ssh-user USER] [--ssh-port PORT] [--checksum]\n"
      "  status REGISTER... | --all [--json] [--ssh-key FILE] [--ssh-user USER] [--ssh-port PORT]\n"
      "  listen [--port PORT] [--json | --quiet] [--dark-after DURATION] [--on-dark CMD]\n"
      "         [--on-back CMD] [--metrics [ADDR:]PORT] [--page FILE]\n"
      "  plays [REGISTER...] [--database URL] [SSH OPTIONS]\n"
      "  report [--from DATE] [--to DATE] [--by day,register,playlist,url] [--csv|--json]\n"
      "         [--database URL]\n"
      "\n"
      "  --version  print the version\n"
      "  --help     print this help; COMMAND --help explains a command\n"
      "\n"
      "REGISTER is a name as paired or a pattern of names (shop-*); --all is every pairing.\n"
      "Pairings are kept in $XDG_STATE_HOME/vesk-manage (default ~/.local/state/vesk-manage).\n"
      "Exit status: 0 done, 1 refused by the register, 2 wrong usage, 3 no connection or no\n"
      "answer in time, 4 a directory that is no delivery, 5 the plays' store cannot be written.\n";

} // namespace

int main(int argc, char** argv)
{
    using namespace vesk::manage;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VESK_VERSION);
    // The libraries log on standard error; only their trouble belongs there.
    vesk::log::Manager::setLogLevel(vesk::log::Level::warn);

    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString command = arguments.value(0);
    if (command == u"--help" || command == u"-h") {
        std::fputs(usage, stdout);
        return exitDone;
    }
    if (command == u"--version") {
        std::fputs("vesk-manage " VESK_VERSION "\n", stdout);
        return exitDone;
    }
    using Command = int (*)(const QStringList&, const QString&);
    const std::pair<const char*, Command> commands[]
        = { { "pair", pairCommand }, { "deliver", deliverCommand }, { "status", statusCommand },
              { "listen", listenCommand }, { "plays", playsCommand }, { "report", reportCommand } };
    for (const auto& [name, run] : commands) {
        if (command != QLatin1String(name))
            continue;
        const QString stateDirectory
            = StateStore::defaultDirectory(QProcessEnvironment::systemEnvironment());
        if (stateDirectory.isEmpty())
            return fail(
                exitUsage, QStringLiteral("neither XDG_STATE_HOME nor HOME is an absolute path"));
        return run(arguments.mid(1), stateDirectory);
    }
    return fail(exitUsage,
        command.isEmpty() ? QStringLiteral("a command is needed; see vesk-manage --help")
                          : QStringLiteral("unknown command or option '%1'; see vesk-manage --help")
                                .arg(command));
}
