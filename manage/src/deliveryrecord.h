// Internal to vesk-manage, not API.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace vesk::manage {

// What `deliver` last learnt of a register's deliveries, for the fleet's page: the delivery it
// plays (the last one it played for us) and the last one we sent, with its verdict. Kept beside
// the pairings in deliveries/NAME (one file per register, replaced as a whole), so a pairing
// file is never rewritten for it.
struct DeliveryRecord
{
    struct Delivery
    {
        // The XXH64 of its TF, as the register's status names it.
        QString delivery;
        QString directory;
        QDateTime at;
        // "played", "refused" or "no verdict"; the register's reason for a refusal.
        QString outcome;
        QString reason;
    };
    std::optional<Delivery> played;
    std::optional<Delivery> last;

    // Reads the records of every register in `stateDirectory` that has one; a damaged file reads
    // as none.
    static QHash<QString, DeliveryRecord> loadAll(const QString& stateDirectory);
    // Adds `delivery` to the register's record as its last (and, when played, as what it plays).
    // Throws std::runtime_error when it cannot be kept.
    static void note(const QString& stateDirectory, const QString& name, const Delivery& delivery);
};

} // namespace vesk::manage
