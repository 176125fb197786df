#pragma once
// Not API: the Core's account of what the stream engine plays, kept in the ledger of plays.

#include <vesk/plays/ledger.h>
#include <vesk/streamplay.h>

#include <QHash>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace vesk {

namespace log {
class Logger;
}

namespace detail {

// What a played directory holds, for the records of its plays: the XXH64 of its TF and the
// checksum the TF lists for each file the schedule may play, by url.
struct PlayedCatalogue
{
    std::optional<std::uint64_t> delivery;
    QHash<QString, std::uint64_t> checksums;
};

// Writes one record per slot the engine plays into the ledger: the open line when the slot's
// first packet went out, the whole record when it ended (both on the engine's thread, at once),
// and flushes at most once a minute, only after something was written (on the thread that made
// it, which runs an event loop). The destructor records a clean stop.
class PlayRecorder : public StreamPlayObserver
{
public:
    // Opens (creates, recovers) the ledger in `directory` and logs what recovery found on
    // `logger`. Throws std::system_error when it cannot.
    PlayRecorder(const QString& directory, qint64 maxBytes, log::Logger* logger);
    ~PlayRecorder() override;

    // The catalogue of `directory` (a Stream::Programme directory), replacing its previous one.
    void setCatalogue(const QString& directory, PlayedCatalogue catalogue);

    void started(const StreamPlay& play) override;
    void ended(const StreamPlay& play) override;

    const plays::Ledger& ledger() const { return *m_ledger; }

    // At most one flush in this time.
    static constexpr std::chrono::seconds flushInterval { 60 };

private:
    void flushSoon();
    void flush();
    // Logs a failure once until the ledger works again.
    void failedWith(const std::exception& e);

    log::Logger* m_logger;
    std::unique_ptr<plays::Ledger> m_ledger;
    QTimer m_flushTimer;
    std::atomic<bool> m_failing = false;

    // Guards the catalogues: set on the main thread, read on the engine's.
    std::mutex m_catalogueLock;
    QHash<QString, PlayedCatalogue> m_catalogues;

    // Engine thread only: the seq of the play going on.
    std::optional<std::uint64_t> m_open;
};

} // namespace detail
} // namespace vesk
