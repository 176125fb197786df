// Internal to libvesk_stream, not API.
#pragma once

#include <QByteArray>

namespace vesk::detail {

// Where the player's messages go: the network in the engine, a collector in tests. Called on the
// engine's thread only.
class MessageSink
{
public:
    virtual ~MessageSink() = default;
    virtual void send(const QByteArray& message) = 0;
};

} // namespace vesk::detail
