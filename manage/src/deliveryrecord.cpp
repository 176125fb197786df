#include "deliveryrecord.h"

#include <vesk/file/fileoperations.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>

namespace vesk::manage {

namespace {

// A record is a few hundred bytes; a larger file is not ours.
constexpr qint64 maxRecordBytes = 16 * 1024;

std::filesystem::path fsPath(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    return std::filesystem::path(bytes.constData(), bytes.constData() + bytes.size());
}

QJsonObject toJson(const DeliveryRecord::Entry& entry)
{
    return { { "delivery", entry.delivery }, { "directory", entry.directory },
        { "when", entry.when.toString(Qt::ISODateWithMs) } };
}

DeliveryRecord::Entry entryFrom(const QJsonObject& object)
{
    DeliveryRecord::Entry entry { object.value("delivery").toString(),
        object.value("directory").toString(),
        QDateTime::fromString(object.value("when").toString(), Qt::ISODateWithMs) };
    if (entry.delivery.size() != 16 || !entry.when.isValid())
        return {};
    return entry;
}

} // namespace

DeliveryRecords::DeliveryRecords(const QString& stateDirectory)
    : m_directory(stateDirectory + QStringLiteral("/deliveries"))
{
}

void DeliveryRecords::save(const QString& name, const DeliveryRecord& record) const
{
    const QJsonObject object { { "sent", toJson(record.sent) }, { "outcome", record.outcome },
        { "played", record.played.valid() ? QJsonValue(toJson(record.played)) : QJsonValue() } };
    try {
        file::createDirectory(fsPath(m_directory), 0700);
        file::save2file(fsPath(m_directory + u'/' + name),
            QJsonDocument(object).toJson(QJsonDocument::Indented), 0600);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot keep what was delivered: ") + e.what());
    }
}

DeliveryRecord DeliveryRecords::load(const QString& name) const
{
    QFile file(m_directory + u'/' + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject object = QJsonDocument::fromJson(file.read(maxRecordBytes)).object();
    DeliveryRecord record;
    record.sent = entryFrom(object.value("sent").toObject());
    record.outcome = object.value("outcome").toString();
    record.played = entryFrom(object.value("played").toObject());
    return record;
}

} // namespace vesk::manage
