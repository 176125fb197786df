// Internal to vesk-manage, not API.
#pragma once

#include <QString>
#include <QStringList>

namespace vesk::manage {

// Each command takes the arguments after its name and the state directory, and returns the exit
// status; --help prints the command's usage.
int pairCommand(const QStringList& arguments, const QString& stateDirectory);
int deliverCommand(const QStringList& arguments, const QString& stateDirectory);
int statusCommand(const QStringList& arguments, const QString& stateDirectory);
int listenCommand(const QStringList& arguments, const QString& stateDirectory);
int playsCommand(const QStringList& arguments, const QString& stateDirectory);
int reportCommand(const QStringList& arguments, const QString& stateDirectory);

} // namespace vesk::manage
