#include "peertext.h"
#include "registerclient.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

using vesk::display::peerText;
using vesk::display::readAccess;

namespace {

const QJsonObject usable {
    { "protocol", 3 },
    { "stream", 4294967295.0 },
    { "listen", "239.1.1.1:8554" },
    { "master", QString(QByteArray(32, 'm').toBase64()) },
    { "signer", QString(QByteArray(32, 's').toBase64()) },
    { "datetime", "2026-03-02T10:00:00+01:00" },
    { "clock", 123456 },
    { "anchor", QString(QByteArray(124, 'a').toBase64()) },
    { "key", QString(QByteArray(52, 'k').toBase64()) },
};

QByteArray with(const char* name, const QJsonValue& value)
{
    QJsonObject object = usable;
    if (value.isUndefined())
        object.remove(QLatin1String(name));
    else
        object.insert(QLatin1String(name), value);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

// Every member a register chooses, each way it can be wrong: one line that names the member and,
// for a number, says that it is out of range rather than printing it wrapped.
TEST(RegisterAnswer, EachUnusableMemberIsNamed)
{
    const QString unusable = "the register's answer is not usable: ";
    const struct
    {
        QByteArray answer;
        QString error;
    } cases[] = {
        { with("protocol", QJsonValue::Undefined),
            "the register names no stream protocol, so it speaks an earlier one than this "
            "display (3)" },
        { with("protocol", 2), "the register speaks stream protocol 2; this display speaks 3" },
        { with("protocol", "3"), unusable + "\"protocol\" is not a number" },
        { with("protocol", 1e300),
            unusable + "\"protocol\" is out of range: 1.0000000000000001e+300" },
        { with("stream", 4294967296.0), unusable + "\"stream\" is out of range: 4294967296" },
        { with("stream", -1), unusable + "\"stream\" is out of range: -1" },
        { with("stream", 9.2233720368547758e18),
            unusable + "\"stream\" is out of range: 9.2233720368547758e+18" },
        { with("stream", 1.5), unusable + "\"stream\" is not a whole number: 1.5" },
        { with("stream", QJsonValue::Undefined), unusable + "\"stream\" is missing" },
        { with("clock", 1e17), unusable + "\"clock\" is out of range: 1e+17" },
        { with("clock", QJsonValue::Null), unusable + "\"clock\" is not a number" },
        { with("master", QString(QByteArray(31, 'm').toBase64())),
            unusable + "\"master\" is not 32 bytes in Base64" },
        { with("signer", "not*base64"), unusable + "\"signer\" is not 32 bytes in Base64" },
        { with("anchor", QJsonValue::Undefined),
            unusable + "\"anchor\" is not 124 bytes in Base64" },
        { with("next", QString(QByteArray(123, 'n').toBase64())),
            unusable + "\"next\" is not 124 bytes in Base64" },
        { with("key", 52), unusable + "\"key\" is not 52 bytes in Base64" },
        { with("listen", "239.1.1.1"), unusable + "\"listen\" is not ADDRESS:PORT: 239.1.1.1" },
        { with("listen", "\x1b]0;owned\x07:1"),
            unusable + "\"listen\" is not ADDRESS:PORT: %1B]0;owned%07:1" },
        { "[1]", unusable + "not a JSON object: [1]" },
        { "\x1b[2J", unusable + "not a JSON object: %1B[2J" },
    };
    for (const auto& c : cases) {
        QString error;
        EXPECT_FALSE(readAccess(c.answer, error)) << c.answer.toStdString();
        EXPECT_EQ(error, c.error) << c.answer.toStdString();
    }

    QString error;
    const auto access = readAccess(QJsonDocument(usable).toJson(), error);
    ASSERT_TRUE(access) << error.toStdString();
    EXPECT_EQ(access->streamId, 4294967295u);
    EXPECT_EQ(access->address.toString(), "239.1.1.1");
    EXPECT_EQ(access->port, 8554);
    EXPECT_EQ(access->join.clock.count(), 123456);
    EXPECT_EQ(access->key[31], 'm');
    EXPECT_EQ(access->signer[0], 's');
    EXPECT_EQ(access->join.anchor, QByteArray(124, 'a'));
    EXPECT_EQ(access->join.key, QByteArray(52, 'k'));
    EXPECT_TRUE(access->join.next.isEmpty());
}

// The table of peertext.h, and the property behind it: whatever a register sends, what reaches
// the terminal is one line of fields without a control, format or separator character.
TEST(PeerText, NothingReachesTheTerminalRaw)
{
    const struct
    {
        QString text;
        QByteArray printed;
    } cases[] = {
        { "clips/a.mp4", "clips/a.mp4" },
        { "2026-03-02T10:00:00.000+03:00", "2026-03-02T10:00:00.000+03:00" },
        { QString::fromUtf8("Реклама 1.mp4"), QString::fromUtf8("Реклама%201.mp4").toUtf8() },
        { "a\nb%", "a%0Ab%25" },
        { QString(QChar(0x1b)) + "[2J", "%1B[2J" },
        { QString(QChar(0x9b)) + "2J", "%C2%9B2J" },
        { QString(QChar(0x202e)) + QChar(0x2028), "%E2%80%AE%E2%80%A8" },
        { QString(QChar(0xa0)), "%C2%A0" },
        { "", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(peerText(c.text), c.printed) << c.text.toStdString();
    EXPECT_EQ(peerText(QString(300, 'a'), 8), "aaaaaaaa... (292 more characters)");

    for (char32_t u = 0; u < 0x10000; ++u) {
        if (u >= 0xd800 && u < 0xe000)
            continue;
        const QString shown = QString::fromUtf8(peerText(QString(QChar(char16_t(u)))));
        for (const QChar c : shown)
            EXPECT_FALSE(c.isSpace() || c.category() == QChar::Other_Control
                || c.category() == QChar::Other_Format)
                << std::hex << unsigned(u);
    }
}
