#include "configcheck.h"

#include "logbridge.h"

#include <vesk/coresettings.h>
#include <vesk/log/level.h>

#include <QFileInfo>
#include <QSettings>

namespace vesk::service {

namespace {

void writeLine(std::ostream& stream, const QString& text)
{
    stream << text.toStdString() << '\n';
}

// The level as config.ini spells it ("warning", not "warn").
QString levelText(log::Level level)
{
    return level == log::Level::warn ? QStringLiteral("warning") : log::logLevelToStr(level);
}

} // namespace

int checkConfig(const QString& path, std::ostream& out, std::ostream& err)
{
    QStringList problems;
    const QFileInfo file(path);
    if (!file.exists()) {
        writeLine(out, QStringLiteral("; no %1: every key has its default").arg(path));
    } else if (!file.isReadable()) {
        problems.append(QStringLiteral("cannot read the file"));
    } else {
        writeLine(out,
            file.isSymLink() ? QStringLiteral("; %1 -> %2").arg(path, file.symLinkTarget())
                             : QStringLiteral("; %1").arg(path));
    }

    const QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        problems.append(QStringLiteral("cannot read the file as INI"));
    const LoggerSettings logger = readLoggerSettings(settings);
    const CoreSettings core = CoreSettings::read(settings);
    const QStringList known = LoggerSettings::keys() + CoreSettings::keys();
    for (const QString& key : settings.allKeys()) {
        if (!known.contains(key))
            problems.append(QStringLiteral("unknown key %1 (keys are case-sensitive)").arg(key));
    }
    problems += logger.fallbacks + core.fallbacks;

    writeLine(out, QStringLiteral("Logger/path=") + logger.path);
    writeLine(out, QStringLiteral("Logger/maxFiles=%1").arg(logger.maxFiles));
    writeLine(out, QStringLiteral("Logger/maxFileSize=%1").arg(logger.maxFileSize));
    writeLine(out, QStringLiteral("Logger/level=") + levelText(logger.level));
    writeLine(out, QStringLiteral("Main/listen=") + core.listenText());
    writeLine(out, QStringLiteral("Main/syncRepeat=%1").arg(core.syncRepeatSeconds));
    if (core.pairingPeers)
        writeLine(out, QStringLiteral("Main/connectFrom=") + core.connectFromText());
    writeLine(out, QStringLiteral("Stream/sendTo=") + core.sendToText());
    if (!core.prometheusFile.isEmpty())
        writeLine(out, QStringLiteral("Status/prometheusFile=") + core.prometheusFile);

    for (const QString& problem : problems)
        writeLine(err, path + QStringLiteral(": ") + problem);
    // Not wrong, and the default among them: said, without failing the check.
    for (const QString& warning : core.pairingWarnings)
        writeLine(err, path + QStringLiteral(": warning: ") + warning);
    out.flush();
    err.flush();
    return problems.isEmpty() ? 0 : 1;
}

} // namespace vesk::service
