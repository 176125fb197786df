// Internal to libvesk_format, not API.
#pragma once

#include "byterange.h"
#include "rangelist.h"

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

namespace vesk::detail {

// Builds one message in a single growing byte array: Header::size bytes reserved at the front,
// then parts appended one after the other without padding. Every append reports where its bytes
// went, so empty parts too get the write position as their offset. The caller keeps the message
// below 4 GiB, since offsets are 32-bit.
template <typename Header> class PacketBuilder
{
public:
    explicit PacketBuilder(qsizetype expectedSize = 0)
    {
        m_bytes.reserve(std::max<qsizetype>(expectedSize, Header::size));
        m_bytes.resize(Header::size, '\0');
    }

    Header& header() { return m_header; }
    std::uint32_t position() const { return static_cast<std::uint32_t>(m_bytes.size()); }

    ByteRange append(QByteArrayView bytes)
    {
        const ByteRange range { position(), static_cast<std::uint32_t>(bytes.size()) };
        m_bytes.append(bytes);
        return range;
    }

    // Writes all entries in one piece.
    template <typename Entry> RangeList<Entry> appendTable(std::span<const Entry> entries)
    {
        RangeList<Entry> table;
        table.offset = position();
        table.entrySize = Entry::size;
        table.count = static_cast<decltype(table.count)>(entries.size());
        const qsizetype start = m_bytes.size();
        m_bytes.resize(start + static_cast<qsizetype>(entries.size() * Entry::size));
        auto* out = reinterpret_cast<std::uint8_t*>(m_bytes.data()) + start;
        for (const Entry& entry : entries) {
            entry.write(out);
            out += Entry::size;
        }
        return table;
    }

    // The finished message with the header written in front.
    QByteArray take()
    {
        m_header.write(reinterpret_cast<std::uint8_t*>(m_bytes.data()));
        return std::move(m_bytes);
    }

private:
    Header m_header;
    QByteArray m_bytes;
};

} // namespace vesk::detail
