#include "deliveryrecord.h"

#include "registerstate.h"

#include <vesk/file/fileoperations.h>
#include <vesk/statusfile.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

namespace vesk::manage {

namespace {

// A record is a few hundred bytes; a larger file is not ours.
constexpr qint64 maxRecordBytes = 16 * 1024;

QString recordDirectory(const QString& stateDirectory)
{
    return stateDirectory + QStringLiteral("/deliveries");
}

QJsonObject toJson(const DeliveryRecord::Delivery& d)
{
    return { { "delivery", d.delivery }, { "directory", d.directory },
        { "at", vesk::status::timeText(d.at) }, { "outcome", d.outcome }, { "reason", d.reason } };
}

std::optional<DeliveryRecord::Delivery> fromJson(const QJsonValue& value)
{
    const QJsonObject o = value.toObject();
    DeliveryRecord::Delivery d { o.value("delivery").toString(), o.value("directory").toString(),
        QDateTime::fromString(o.value("at").toString(), Qt::ISODateWithMs),
        o.value("outcome").toString(), o.value("reason").toString() };
    if (d.delivery.isEmpty() || !d.at.isValid())
        return std::nullopt;
    return d;
}

std::optional<DeliveryRecord> load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray content = file.read(maxRecordBytes + 1);
    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (content.size() > maxRecordBytes || !document.isObject())
        return std::nullopt;
    return DeliveryRecord { fromJson(document.object().value("played")),
        fromJson(document.object().value("last")) };
}

} // namespace

QHash<QString, DeliveryRecord> DeliveryRecord::loadAll(const QString& stateDirectory)
{
    QHash<QString, DeliveryRecord> records;
    const QDir directory(recordDirectory(stateDirectory));
    for (const QString& name : directory.entryList(QDir::Files, QDir::Name))
        if (StateStore::validName(name))
            if (std::optional<DeliveryRecord> record = load(directory.filePath(name)))
                records.insert(name, std::move(*record));
    return records;
}

void DeliveryRecord::note(const QString& stateDirectory, const QString& name, const Delivery& d)
{
    if (!StateStore::validName(name))
        throw std::runtime_error("not a usable name: " + name.toStdString());
    const QString directory = recordDirectory(stateDirectory);
    const QByteArray path = directory.toUtf8();
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + path.toStdString());
    DeliveryRecord record = load(directory + u'/' + name).value_or(DeliveryRecord {});
    record.last = d;
    if (d.outcome == u"played")
        record.played = d;
    QJsonObject object { { "last", toJson(d) } };
    if (record.played)
        object.insert("played", toJson(*record.played));
    const QByteArray file = (directory + u'/' + name).toUtf8();
    file::save2file(std::filesystem::path(file.constData(), file.constData() + file.size()),
        QJsonDocument(object).toJson(QJsonDocument::Indented), 0600);
}

} // namespace vesk::manage
