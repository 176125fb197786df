#pragma once

#include <vesk/stream.h>

#include <QDateTime>
#include <QString>

namespace vesk {

// One slot as the engine played it, for whoever keeps account of plays (the Core's ledger).
struct StreamPlay
{
    enum class Outcome {
        playing, // its first packet went out; not ended yet
        played, // to its scheduled end
        cut, // ended early: a new programme, a stop
        failed, // the slot's file could not be played; the placeholder stood in where it could
    };
    // The schedule's answer: playlist, file and url of the slot's file, the scheduled span;
    // `placeholder` when the placeholder played (an idle span, or in place of a failed file).
    Stream::Playing slot;
    // The programme's directory name the file was read from.
    QString directory;
    // When its first packet went out (for a failed slot: when it failed) and when it stopped.
    QDateTime start;
    QDateTime end;
    Outcome outcome = Outcome::playing;
};

// Told of every slot the engine plays, on the engine's thread: started() when the first packet
// has gone out, ended() once the slot stops, with its outcome. A failed slot whose placeholder
// could not stand in either gets both at once. Implementations must be quick and must not throw;
// they never call back into the engine.
class StreamPlayObserver
{
public:
    virtual ~StreamPlayObserver() = default;
    virtual void started(const StreamPlay& play) = 0;
    virtual void ended(const StreamPlay& play) = 0;
};

} // namespace vesk
