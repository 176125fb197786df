#include <vesk/streammetadata.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QTimeZone>

using namespace vesk;

namespace {

StreamMetadata sample(const QDateTime& start, StreamMetadata::TimeBase timeBase)
{
    return { "show", "1", { "clips/red.mp4", start, start.addSecs(10) }, false, StreamTrack::audio,
        { StreamTrack::video, StreamTrack::audio }, timeBase };
}

QJsonDocument edited(const char* member, const QJsonValue& value)
{
    QJsonObject object
        = sample(QDateTime(QDate(2026, 3, 2), QTime(10, 0), QTimeZone(3600)), { 1, 25 })
              .toJson()
              .object();
    if (value.isUndefined())
        object.remove(member);
    else
        object[member] = value;
    return QJsonDocument(object);
}

} // namespace

// What the engine writes, a display reads back as it was, in every zone: the times with their
// offset (never "Z", even at UTC), the time base as integers.
TEST(StreamMetadata, WhatIsWrittenReadsBackTheSame)
{
    const struct
    {
        QDateTime start;
        StreamMetadata::TimeBase timeBase;
        const char* startText;
    } cases[] = {
        { QDateTime(QDate(2026, 3, 2), QTime(10, 0), QTimeZone(3 * 3600)), { 1, 90000 },
            "2026-03-02T10:00:00.000+03:00" },
        { QDateTime(QDate(2026, 3, 2), QTime(7, 0, 0, 5), QTimeZone::utc()), { 1001, 30000 },
            "2026-03-02T07:00:00.005+00:00" },
        { QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 999), QTimeZone(-(9 * 3600 + 1800))),
            { 2147483647, 2147483647 }, "2026-12-31T23:59:59.999-09:30" },
    };
    for (const auto& c : cases) {
        const StreamMetadata written = sample(c.start, c.timeBase);
        const QJsonDocument json = written.toJson();
        EXPECT_EQ(json.object().value("start").toString(), c.startText);
        const std::optional<StreamMetadata> read
            = StreamMetadata::fromJson(QJsonDocument::fromJson(json.toJson()));
        ASSERT_TRUE(read) << c.startText;
        EXPECT_EQ(*read, written) << c.startText;
        EXPECT_EQ(read->toJson(), json) << c.startText;
    }
}

// A member a display cannot use leaves the whole message out; what it can do without is not
// asked for, and a long "tracks" list of a peer costs each track once.
TEST(StreamMetadata, ReadsWhatADisplayCanUseAndNothingElse)
{
    for (const char* refused : { "0/1", "1/0", "-1/25", "+1/25", " 1/25", "1/2147483648", "1/25/2",
             "1.5/25", "\u0661/25", "" })
        EXPECT_FALSE(StreamMetadata::fromJson(edited("timeBase", refused))) << refused;
    EXPECT_FALSE(StreamMetadata::fromJson(edited("timeBase", 25)));
    EXPECT_FALSE(StreamMetadata::fromJson(edited("track", "subtitles")));
    EXPECT_FALSE(StreamMetadata::fromJson(edited("start", "yesterday")));
    for (const char* needed : { "track", "timeBase", "start", "end" })
        EXPECT_FALSE(StreamMetadata::fromJson(edited(needed, QJsonValue::Undefined))) << needed;
    for (const char* optional : { "playlist", "file", "placeholder", "tracks", "url" })
        EXPECT_TRUE(StreamMetadata::fromJson(edited(optional, QJsonValue::Undefined))) << optional;

    QJsonArray many;
    for (int i = 0; i < 1000; ++i)
        many.append(i % 3 == 0 ? "audio" : i % 3 == 1 ? "video" : "other");
    EXPECT_EQ(StreamMetadata::fromJson(edited("tracks", many))->tracks,
        std::vector<StreamTrack>({ StreamTrack::audio, StreamTrack::video }));
    // The same instant written with "Z" (an older register) or "+00:00" is the same slot.
    EXPECT_EQ(StreamMetadata::fromJson(edited("start", "2026-03-02T09:00:00.000Z"))->slot,
        StreamMetadata::fromJson(edited("start", "2026-03-02T09:00:00.000+00:00"))->slot);
}
