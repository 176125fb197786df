#include "logbridge.h"

#include <vesk/core.h>
#include <vesk/log/fileappender.h>
#include <vesk/log/logger.h>
#include <vesk/log/manager.h>

extern "C" {
#include <libavutil/log.h>
}

#include <QCoreApplication>
#include <QSettings>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    // Logging is configured before the Core exists: every logger takes the level and the file
    // appender of the moment it is made.
    {
        const QSettings settings(
            QCoreApplication::applicationDirPath() + "/config.ini", QSettings::IniFormat);
        const vesk::service::LoggerSettings logger = vesk::service::readLoggerSettings(settings);
        vesk::log::Manager::setLogLevel(logger.level);
        vesk::log::Manager::setAppender(QSharedPointer<vesk::log::FileAppender>::create(
            logger.path, logger.maxFileSize, logger.maxFiles));
        av_log_set_callback(vesk::service::avLogBridge);
        qInstallMessageHandler(vesk::service::qtMessageBridge);
    }

    int status = 1;
    {
        vesk::Core core;
        if (core.init())
            status = QCoreApplication::exec();
        else
            vesk::log::Manager::logger("default")->error("cannot initialize Vesk service");
    }
    return status;
}
