#pragma once

#include <QtGlobal>

#include <chrono>

namespace vesk {

// Everything that bounds what a peer may make the HTTP server hold: bytes, waits, connections
// and workers. One value, handed to the server (and to HttpRequest::parse) as a whole, so that a
// test can make every limit small instead of waiting for the real ones.
struct HttpLimits
{
    // One line of the head, its line ending included. A longer line ends the request with 431.
    qsizetype maxLineBytes = 1023;
    // Header lines after the request line, the ending empty line not counted.
    int maxHeaderLines = 100;
    // Every byte of the head, line endings and the ending empty line included.
    qsizetype maxHeadBytes = 64 * 1024;
    // The body a handler may ask for ("Content-Length"); more is refused before it is read.
    qint64 maxBodyBytes = 1024 * 1024;

    // Each wait for more of the head or the body: a peer silent this long is given up.
    std::chrono::milliseconds readWait { 1000 };
    // Head and body together, however the peer paces them: from the accept on the server, from
    // the first byte of the head in HttpRequest::parse alone. A peer that misses it is dropped.
    std::chrono::milliseconds deadline { 10000 };
    // For the peer to take in the whole response.
    std::chrono::milliseconds writeTimeout { 10000 };
    // After the response, input that nobody read is drained for at most this long (and this
    // many bytes) before the close, so that the close does not reset the response away.
    std::chrono::milliseconds drainTimeout { 1000 };
    qint64 maxDrainBytes = 1024 * 1024;

    // Connections accepted and not yet closed, in service or waiting for a worker: in all, and
    // from one peer address. A connection over either is answered with a bare 503 and closed at
    // once.
    int maxConnections = 64;
    int maxConnectionsPerPeer = 8;
    // Connections served at the same time; the rest of maxConnections wait for a worker.
    int workers = 32;
    // How long accepting stops when the process runs out of descriptors.
    std::chrono::milliseconds acceptPause { 500 };

    // The server's log lines that peers cause (one per connection or per refusal): at most
    // logBurst lines of one kind per logWindow; the rest are counted and summarised in one line.
    int logBurst = 20;
    std::chrono::milliseconds logWindow { 1000 };
};

} // namespace vesk
