#include "streamdisplay.h"

#include <utility>

namespace vesk::display {

namespace {

using namespace std::chrono_literals;
using Counters = StreamReceiver::Counters;

// A message of the register is a few packets (8 at most, or one large key frame); a message
// larger than this is no message of a register, and its fragments are not kept.
constexpr std::size_t maxMessageBytes = 8 * 1024 * 1024;
// Once a minute the drift of two clocks adds at most 30 ms to the bound (500 ppm).
constexpr auto joinEvery = 60s;
constexpr auto retryEvery = 2s;

// The causes by name, in the order the summary line prints them.
const std::pair<const char*, std::uint64_t Counters::*> causes[] = {
    { "other version", &Counters::otherVersion },
    { "malformed", &Counters::malformed },
    { "other stream", &Counters::otherStream },
    { "oversized", &Counters::oversized },
    { "future", &Counters::future },
    { "forged", &Counters::forged },
    { "unsealed", &Counters::unsealed },
    { "inconsistent", &Counters::inconsistent },
    { "replayed", &Counters::replayed },
    { "unsafe", &Counters::unsafe },
    { "late", &Counters::late },
    { "unanchored", &Counters::unanchored },
    { "unchecked", &Counters::unchecked },
    { "unclaimed", &Counters::unclaimed },
    { "crowded out", &Counters::crowded },
};

Counters sum(Counters a, const Counters& b)
{
    a.accepted += b.accepted;
    a.messages += b.messages;
    a.dropped += b.dropped;
    for (const auto& [name, cause] : causes)
        a.*cause += b.*cause;
    return a;
}

QString joinErrorText(StreamReceiver::JoinError error)
{
    switch (error) {
    case StreamReceiver::JoinError::none:
        break;
    case StreamReceiver::JoinError::anchor:
        return "\"anchor\" is not an anchor of this stream signed by \"signer\"";
    case StreamReceiver::JoinError::next:
        return "\"next\" is not an anchor of this stream signed by \"signer\"";
    case StreamReceiver::JoinError::key:
        return "\"key\" is no key of the chain it names";
    }
    return {};
}

} // namespace

StreamDisplay::StreamDisplay(const QHostAddress& host, quint16 port, int timeoutMs,
    std::FILE* lines, std::unique_ptr<MediaWriter> writer)
    : m_rejoiner(host, port, timeoutMs)
    , m_writer(std::move(writer))
    , m_tracks(lines, m_writer.get())
{
}

StreamReceiver::JoinError StreamDisplay::begin(
    const StreamAccess& access, QList<QByteArray>& completed)
{
    StreamReceiver::Limits limits;
    limits.maxMessageBytes = maxMessageBytes;
    auto receiver
        = std::make_unique<StreamReceiver>(access.streamId, access.key, access.signer, limits);
    const StreamReceiver::JoinError error = receiver->join(access.join, &completed);
    if (error != StreamReceiver::JoinError::none)
        return error;
    if (m_receiver) {
        m_receiver->finish();
        m_before = sum(m_before, m_receiver->counters());
    }
    m_receiver = std::move(receiver);
    m_access = access;
    return error;
}

bool StreamDisplay::start(const StreamAccess& access, QString& error)
{
    QList<QByteArray> completed;
    const StreamReceiver::JoinError refused = begin(access, completed);
    if (refused != StreamReceiver::JoinError::none) {
        error = "the register's answer is not usable: " + joinErrorText(refused);
        return false;
    }
    ++m_joins;
    m_nextJoin = access.join.answered + joinEvery;
    return show(completed, error);
}

bool StreamDisplay::take(
    std::span<const std::uint8_t> datagram, StreamReceiver::Source source, QString& error)
{
    const std::uint64_t otherVersion = m_receiver->counters().otherVersion;
    const QList<QByteArray> messages
        = m_receiver->addDatagram(datagram, source, StreamReceiver::Clock::now());
    if (otherVersion == 0 && m_receiver->counters().otherVersion == 1 && m_before.otherVersion == 0)
        std::fprintf(stderr,
            "vesk-display: datagrams of stream protocol %d arrive; this display speaks %d "
            "and drops them\n",
            datagram.empty() ? 0 : int(datagram[0]), protocolVersion);
    return show(messages, error);
}

bool StreamDisplay::show(const QList<QByteArray>& messages, QString& error)
{
    for (const QByteArray& message : messages)
        if (!m_tracks.read(message, error))
            return false;
    return true;
}

bool StreamDisplay::tend(QString& error)
{
    const auto now = StreamReceiver::Clock::now();
    m_receiver->expire(now);
    bool ok = true;
    if (const std::optional<Rejoiner::Answer> answer = m_rejoiner.take())
        ok = rejoined(*answer, error);
    // Never more often than every retryEvery, whether the register answers or not.
    if (!m_rejoiner.asking() && now >= m_retry
        && (now >= m_nextJoin || m_receiver->wantsJoin(now))) {
        m_retry = now + retryEvery;
        m_rejoiner.start();
    }
    return ok;
}

bool StreamDisplay::rejoined(const Rejoiner::Answer& answer, QString& error)
{
    QList<QByteArray> completed;
    QString refusal = answer.error;
    if (answer.access) {
        const StreamReceiver::JoinError refused = answer.access->sameStream(m_access)
            ? m_receiver->join(answer.access->join, &completed)
            : begin(*answer.access, completed);
        refusal = refused == StreamReceiver::JoinError::none
            ? QString()
            : "the register's answer is not usable: " + joinErrorText(refused);
    }
    if (!refusal.isEmpty()) {
        // Said once until an answer is taken again; what the display holds still serves.
        if (!m_rejoinFailed)
            std::fprintf(stderr, "vesk-display: cannot join the stream again: %s\n",
                refusal.toLocal8Bit().constData());
        m_rejoinFailed = true;
        return show(completed, error);
    }
    if (m_rejoinFailed)
        std::fprintf(stderr, "vesk-display: joined the stream again\n");
    m_rejoinFailed = false;
    ++m_joins;
    m_nextJoin = answer.access->join.answered + joinEvery;
    return show(completed, error);
}

bool StreamDisplay::finish(QString& error)
{
    m_receiver->finish();
    const Counters c = sum(m_before, m_receiver->counters());
    bool finished = !m_writer || m_writer->finish(error);
    QByteArray line = QByteArray("vesk-display: ") + QByteArray::number(m_tracks.packets())
        + " packets; datagrams " + QByteArray::number(c.accepted) + " accepted, "
        + QByteArray::number(c.rejected()) + " rejected (";
    for (std::size_t i = 0; i < std::size(causes); ++i) {
        const auto& [name, cause] = causes[i];
        line += QByteArray::number(c.*cause) + ' ' + name;
        // The first eight are the rejections; the rest are counted apart.
        line += i == 7 ? ")" : "";
        line += i + 1 < std::size(causes) ? ", " : "";
    }
    line += "; messages " + QByteArray::number(c.messages) + " complete, "
        + QByteArray::number(c.dropped) + " dropped; joined " + QByteArray::number(m_joins)
        + " times\n";
    std::fputs(line.constData(), stderr);
    // One datagram of another version proves nothing (anybody can send it), so it never
    // stops the display; a run that got nothing else has failed.
    if (finished && c.accepted == 0 && c.otherVersion > 0) {
        error = QString("only datagrams of another stream protocol came; this display speaks %1")
                    .arg(protocolVersion);
        finished = false;
    }
    return finished;
}

} // namespace vesk::display
