// vesk-service: the register's background service. Without options it runs until SIGTERM or
// SIGINT; the options below only inform and end at once.
//
//   vesk-service                 run: logging from config.ini beside the program, then the Core
//   vesk-service --check-config  report what is wrong in config.ini and the settings in effect
//   vesk-service --version       the version
//   vesk-service --help          this usage
//
// Exit status: 0 after a stop by signal or an option that went well, 1 when the service cannot
// start or --check-config finds something wrong, 2 for an option that is not one of these.

#include "configcheck.h"
#include "logbridge.h"
#include "stopsignals.h"

#include <vesk/core.h>
#include <vesk/coresettings.h>
#include <vesk/log/fileappender.h>
#include <vesk/log/logger.h>
#include <vesk/log/manager.h>

extern "C" {
#include <libavutil/log.h>
}

#include <QCoreApplication>
#include <QSettings>

#include <sys/resource.h>

#include <iostream>
#include <optional>

namespace {

constexpr int usageError = 2;

const char* const usage = "usage: vesk-service [--check-config | --version | --help]\n"
                          "\n"
                          "Runs the register's content and display stream service until SIGTERM\n"
                          "or SIGINT. Settings come from config.ini in the program's directory.\n"
                          "\n"
                          "  --check-config  report unknown keys and values that fall back to\n"
                          "                  their defaults, print the settings in effect; exit\n"
                          "                  status 1 when something is wrong\n"
                          "  --version       print the version\n"
                          "  --help          print this help\n";

// What a person reads on standard error, and the log keeps too.
void announce(const QString& text, vesk::log::Level level = vesk::log::Level::info)
{
    std::cerr << "vesk-service " VESK_VERSION ": " << text.toStdString() << std::endl;
    vesk::log::Manager::logger("default")->log(
        level, QStringLiteral("vesk-service " VESK_VERSION ": ") + text);
}

// The options inform and end the program; nothing when there is none and the service is to run.
std::optional<int> runOption(const QStringList& arguments, const QString& configPath)
{
    if (arguments.isEmpty())
        return std::nullopt;
    const QString& option = arguments.first();
    const QStringList known { "--help", "--version", "--check-config" };
    if (!known.contains(option) || arguments.size() > 1) {
        const QString& wrong = known.contains(option) ? arguments[1] : option;
        std::cerr << "vesk-service: unexpected argument '" << wrong.toStdString()
                  << "'; see vesk-service --help" << std::endl;
        return usageError;
    }
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
    vesk::log::Manager::setAppender(QSharedPointer<vesk::log::FileAppender>::create(
        logger.path, logger.maxFileSize, logger.maxFiles));
    av_log_set_callback(vesk::service::avLogBridge);
    qInstallMessageHandler(vesk::service::qtMessageBridge);

    int status = 1;
    QString stopReason;
    {
        vesk::Core core;
        if (!core.init()) {
            vesk::log::Manager::logger("default")->error("cannot initialize Vesk service");
            std::cerr << "vesk-service " VESK_VERSION ": cannot listen on " << listen.toStdString()
                      << "; the reason is in " << logger.path.toStdString() << std::endl;
            return status;
        }
        const vesk::service::StopSignals stop;
        announce(QStringLiteral("listening on %1, home %2, log %3")
                     .arg(listen, core.homePath(), logger.path));
        // Said at every start, not only by --check-config: values replaced by their fall-backs,
        // and who may pair where that is more than a shop would want.
        for (const QString& warning : coreSettings.fallbacks + coreSettings.pairingWarnings)
            announce(QStringLiteral("warning: ") + warning, vesk::log::Level::warn);
        status = QCoreApplication::exec();
        stopReason = stop.received();
    }
    // After the Core, the server and the stream engine are gone, so that this is the last line.
    announce(stopReason.isEmpty() ? QStringLiteral("stopped")
                                  : QStringLiteral("stopped by ") + stopReason);
    return status;
}
