#pragma once

// The REST API's routes and JSON member names, as the register answers them (libvesk_core) and
// its peers ask and read them (vesk-manage, vesk-display). The bodies are in docs/rest-api.md.

#include <QLatin1String>

namespace vesk::protocol::api {

// Pairing with a management server.
inline constexpr QLatin1String connectPath("/v1/command/connect");
// A display joining the stream.
inline constexpr QLatin1String streamConnectPath("/v1/stream/connect");

// Every request and every answer in clear is JSON.
inline constexpr QLatin1String jsonType("application/json");

// Any refusal: {"reason": "..."}.
inline constexpr QLatin1String reason("reason");

// The connect request.
namespace connect {
inline constexpr QLatin1String type("type"), keyToken("keyToken"), serverKey("serverKey"),
    clientKey("clientKey"), server("server");
// The one delivery method, the value of "type".
inline constexpr QLatin1String fileRsync("file-rsync");
// Its encrypted answer.
inline constexpr QLatin1String catalog("catalog"), datetime("datetime");
} // namespace connect

// The stream connect request.
namespace stream {
inline constexpr QLatin1String publicKey("pk");
// Its encrypted answer; "next" and "key" only while the stream has them.
inline constexpr QLatin1String stream("stream"), listen("listen"), master("master"),
    datetime("datetime"), signer("signer"), protocol("protocol"), clock("clock"),
    anchor("anchor"), next("next"), key("key");
} // namespace stream

} // namespace vesk::protocol::api
