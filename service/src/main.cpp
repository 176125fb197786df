// vesk-service: the register's background service. Without options it runs until SIGTERM or
// SIGINT; the options below only inform and end at once.
//
//   vesk-service                 run: logging from config.ini beside the program, then the Core
//   vesk-service --check-config  report what is wrong in config.ini and the settings in effect
//   vesk-service --version       the version
//   vesk-service --help          this usage
//
// Exit status: 0 after a stop by signal or an option that went well, 1 when the service cannot
// start or --check-config finds something wrong. Arguments other than these (a launcher's own,
// or a second option) are named once on standard error and ignored: the service still runs.

#include "configcheck.h"
#include "logbridge.h"
#include "stopsignals.h"

#include <vesk/core.h>
#include <vesk/coresettings.h>
#include <vesk/log/fileappender.h>
#include <vesk/log/logger.h>
#include <vesk/log/manager.h>
#include <vesk/log/peertext.h>

extern "C" {
#include <libavutil/log.h>
}

#include <QCoreApplication>
#include <QSettings>

#include <sys/resource.h>

#include <algorithm>
#include <iostream>
#include <optional>

namespace {

// Of a launcher's arguments, the warning names this many, each cut to this many characters.
constexpr qsizetype namedArguments = 8;
constexpr qsizetype argumentCharacters = 80;

const char* const usage = "usage: vesk-service [--check-config | --version | --help]\n"
                          "\n"
                          "Runs the register's content and display stream service until SIGTERM\n"
                          "or SIGINT. Settings come from config.ini in the program's directory.\n"
                          "Other arguments are named once on standard error and ignored.\n"
                          "\n"
                          "  --check-config  report unknown keys and values that fall back to\n"
                          "                  their defaults, print the settings in effect; exit\n"
                          "                  status 1 when something is wrong\n"
                          "  --version       print the version\n"
                          "  --help          print this help\n";

// Whether a line at level on the logger just went to standard error with the log.
bool logSaidIt(const vesk::log::FileAppender& log, const QString& logger, vesk::log::Level level)
{
    return vesk::log::Manager::logger(logger)->isLevelEnabled(level) && log.onStandardError();
}

// What a person reads on standard error, and the log keeps too: said once on standard error,
// by the log itself when its lines go there.
void announce(const vesk::log::FileAppender& log, const QString& text,
    vesk::log::Level level = vesk::log::Level::info)
{
    const QString line = QStringLiteral("vesk-service " VESK_VERSION ": ") + text;
    vesk::log::Manager::logger("default")->log(level, line);
    if (!logSaidIt(log, QStringLiteral("default"), level))
        std::cerr << line.toStdString() << std::endl;
}

// Why listening failed is logged by the server; this says where to find it, or nothing when
// the level keeps it out of the log.
std::string whereTheReasonIs(const vesk::log::FileAppender& log, const QString& logPath)
{
    if (!vesk::log::Manager::logger(QStringLiteral("vesk.server"))
             ->isLevelEnabled(vesk::log::Level::error))
        return {};
    if (logSaidIt(log, QStringLiteral("vesk.server"), vesk::log::Level::error))
        return "; the reason is above";
    return "; the reason is in " + logPath.toStdString();
}

// An argument as the warning quotes it: escaped and cut like any text from outside, so that
// whatever a launcher passes, the warning stays one short line.
std::string quoted(const QString& argument)
{
    return (u'\'' + vesk::log::peerText(argument, argumentCharacters) + u'\'').toStdString();
}

// One line on standard error for the arguments that are not ours, however many there are.
void warnIgnored(const QStringList& ignored)
{
    if (ignored.isEmpty())
        return;
    std::cerr << "vesk-service: ignoring " << (ignored.size() == 1 ? "an argument" : "arguments")
              << " that it does not know:";
    for (qsizetype i = 0; i < std::min(ignored.size(), namedArguments); ++i)
        std::cerr << (i == 0 ? " " : ", ") << quoted(ignored[i]);
    if (ignored.size() > namedArguments)
        std::cerr << " and " << ignored.size() - namedArguments << " more";
    std::cerr << "; see vesk-service --help" << std::endl;
}

// The first of the options informs and ends the program; nothing when there is none and the
// service is to run. Anything else on the command line is warned about once and left alone: a
// launcher that adds an argument of its own must still get a running service.
std::optional<int> runOption(const QStringList& arguments, const QString& configPath)
{
    const QStringList known { "--help", "--version", "--check-config" };
    QString option;
    QStringList ignored;
    for (const QString& argument : arguments) {
        if (option.isEmpty() && known.contains(argument))
            option = argument;
        else
            ignored.append(argument);
    }
    warnIgnored(ignored);
    if (option.isEmpty())
        return std::nullopt;
    if (option == u"--help") {
        std::cout << usage;
        return 0;
    }
    if (option == u"--version") {
        std::cout << "vesk-service " VESK_VERSION << std::endl;
        return 0;
    }
    return vesk::service::checkConfig(configPath, std::cout, std::cerr);
}

} // namespace

int main(int argc, char** argv)
{
    vesk::service::StopSignals::block();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VESK_VERSION);
    const QString configPath = QCoreApplication::applicationDirPath() + "/config.ini";

    if (const std::optional<int> status
        = runOption(QCoreApplication::arguments().mid(1), configPath))
        return *status;

    // The soft descriptor limit (often 1024) is far below what the system allows this process;
    // peers on the shop network must not be able to reach it before the server's own limits.
    rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    // Logging is configured before the Core exists: every logger takes the level and the file
    // appender of the moment it is made.
    const QSettings settings(configPath, QSettings::IniFormat);
    const vesk::service::LoggerSettings logger = vesk::service::readLoggerSettings(settings);
    const vesk::CoreSettings coreSettings = vesk::CoreSettings::read(settings);
    const QString listen = coreSettings.listenText();
    vesk::log::Manager::setLogLevel(logger.level);
    const auto log = QSharedPointer<vesk::log::FileAppender>::create(
        logger.path, logger.maxFileSize, logger.maxFiles);
    vesk::log::Manager::setAppender(log);
    av_log_set_callback(vesk::service::avLogBridge);
    qInstallMessageHandler(vesk::service::qtMessageBridge);

    int status = 1;
    QString stopReason;
    {
        vesk::Core core;
        if (!core.init()) {
            vesk::log::Manager::logger("default")->error("cannot initialize Vesk service");
            std::cerr << "vesk-service " VESK_VERSION ": cannot listen on " << listen.toStdString()
                      << whereTheReasonIs(*log, logger.path) << std::endl;
            return status;
        }
        const vesk::service::StopSignals stop;
        announce(*log,
            QStringLiteral("listening on %1, home %2, log %3")
                .arg(listen, core.homePath(), logger.path));
        // Said at every start, not only by --check-config: values replaced by their fall-backs,
        // and who may pair where that is more than a shop would want.
        for (const QString& warning : coreSettings.fallbacks + coreSettings.pairingWarnings)
            announce(*log, QStringLiteral("warning: ") + warning, vesk::log::Level::warn);
        status = QCoreApplication::exec();
        stopReason = stop.received();
    }
    // After the Core, the server and the stream engine are gone, so that this is the last line.
    announce(*log,
        stopReason.isEmpty() ? QStringLiteral("stopped")
                             : QStringLiteral("stopped by ") + stopReason);
    return status;
}
