// Internal to vesk-display, not API.
#pragma once

#include "mediawriter.h"
#include "registerclient.h"
#include "rejoiner.h"
#include "streamtracks.h"

#include <vesk/streamreceiver.h>

#include <QString>

#include <cstdio>
#include <memory>
#include <span>

namespace vesk::display {

// The display's side of one register's stream: datagrams in, packets out. It asks the register
// again (Rejoiner) once a minute, so that its bound of the register's clock stays tight, and
// sooner when the receiver wants an answer (a loose bound, a chain about to end, keys lost), at
// most every two seconds; a register that restarted is a new stream, taken up from its answer.
//
// One thread: the event loop's.
class StreamDisplay
{
public:
    // `lines` gets the printout (null: none); `writer` the recording (null: none).
    StreamDisplay(const QHostAddress& host, quint16 port, int timeoutMs, std::FILE* lines,
        std::unique_ptr<MediaWriter> writer);

    // Takes the first answer. False, with `error` set, when it is not usable.
    bool start(const StreamAccess& access, QString& error);
    // False, with `error` set, when the display cannot go on.
    bool take(
        std::span<const std::uint8_t> datagram, StreamReceiver::Source source, QString& error);
    // Gives up what has timed out, asks the register again when it is time, and takes its
    // answer. False, with `error` set, when the display cannot go on.
    bool tend(QString& error);
    // What the register said last; its "listen" is where the stream comes to.
    const StreamAccess& access() const { return m_access; }
    // Prints the counts. False, with `error` set, when the recording could not be completed, or
    // when nothing but datagrams of another protocol version came.
    bool finish(QString& error);

private:
    // A new receiver for the stream of `access`; the counts of the one before are kept.
    StreamReceiver::JoinError begin(const StreamAccess& access, QList<QByteArray>& completed);
    // Takes an answer to a request made again.
    bool rejoined(const Rejoiner::Answer& answer, QString& error);
    bool show(const QList<QByteArray>& messages, QString& error);

    Rejoiner m_rejoiner;
    StreamAccess m_access;
    std::unique_ptr<StreamReceiver> m_receiver;
    // The counts of the receivers of streams before this one.
    StreamReceiver::Counters m_before;
    std::unique_ptr<MediaWriter> m_writer;
    StreamTracks m_tracks;
    // When the next request is due, and the earliest another may start.
    StreamReceiver::Clock::time_point m_nextJoin;
    StreamReceiver::Clock::time_point m_retry;
    bool m_rejoinFailed = false;
    int m_joins = 0;
};

} // namespace vesk::display
