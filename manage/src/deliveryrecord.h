// Internal to vesk-manage, not API.
#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace vesk::manage {

// What we last delivered to one register, kept beside its pairing: the register's status names a
// delivery only by its TF's checksum, and where the content came from is known here alone.
struct DeliveryRecord
{
    struct Entry
    {
        // The delivery as the register's status names it (the XXH64 of its TF).
        QString delivery;
        // The directory it was delivered from, absolute.
        QString directory;
        QDateTime when;
        bool valid() const { return !delivery.isEmpty(); }
    };
    // The last delivery sent, with how it ended ("played", "refused", "unreachable", ...).
    Entry sent;
    QString outcome;
    // The last one the register was seen to play.
    Entry played;
};

// The records in a directory of their own below the pairings' (so that a pairing's file and a
// record never share a name), one small JSON file per register, each replaced as a whole.
class DeliveryRecords
{
public:
    explicit DeliveryRecords(const QString& stateDirectory);

    // Throws std::runtime_error with a one-line text when the record cannot be written.
    void save(const QString& name, const DeliveryRecord& record) const;
    // An empty record for a register never delivered to, or whose file is no record.
    DeliveryRecord load(const QString& name) const;

private:
    QString m_directory;
};

} // namespace vesk::manage
