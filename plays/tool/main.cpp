// vesk-plays: the register's ledger of plays, for the management server (through the SSH gate)
// and for an operator.
//
//   vesk-plays --after SEQ [--limit N]   JSON lines: the ledger, its plays and gaps after SEQ, end
//   vesk-plays --ack LEDGER SEQ          the server has stored everything up to SEQ
//   vesk-plays [--date YYYY-MM-DD]       a day's plays as a table (today by default)
//   --dir PATH                           another ledger directory (a copy, a test)
//
// Exit status: 0 done; 1 the ledger cannot be read or the ack is refused (the reason on standard
// error); 2 a wrong option.

#include <vesk/plays/readout.h>

#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <optional>
#include <system_error>

namespace {

constexpr int refused = 1;
constexpr int usageError = 2;

const char* const usage
    = "usage: vesk-plays --after SEQ [--limit N] | --ack LEDGER SEQ | [--date YYYY-MM-DD]\n"
      "                  [--dir PATH] | --version | --help\n"
      "\n"
      "The register's ledger of plays: one record per slot the stream engine played.\n"
      "\n"
      "  --after SEQ     JSON lines: the ledger, the plays and gaps after SEQ in seq order\n"
      "                  (at most N lines, 1000 unless --limit says, 10000 at most), and an end\n"
      "                  line that says whether there are more\n"
      "  --ack LEDGER SEQ  the management server has stored everything up to SEQ of LEDGER;\n"
      "                  the register may forget those records\n"
      "  --date DAY      the plays that started on DAY, as a table (default: today)\n"
      "  --dir PATH      read the ledger in PATH instead of /var/lib/morlen-vesk/plays\n"
      "  --version       print the version\n"
      "  --help          print this help\n"
      "\n"
      "Exit status: 0 done, 1 the ledger cannot be read or the ack is refused, 2 a wrong option.\n";

int wrongUsage(const QString& what)
{
    std::cerr << "vesk-plays: " << what.toStdString() << "; see vesk-plays --help" << std::endl;
    return usageError;
}

int fail(const QString& reason)
{
    std::cerr << "vesk-plays: " << reason.toStdString() << std::endl;
    return refused;
}

int print(const QByteArray& bytes)
{
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout)
            != std::size_t(bytes.size())
        || std::fflush(stdout) != 0)
        return refused;
    return 0;
}

std::optional<std::uint64_t> number(const QString& text)
{
    if (text.isEmpty() || text.size() > 19)
        return std::nullopt;
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    return text.toULongLong();
}

QString clock(const QDateTime& time)
{
    return time.toLocalTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

QByteArray table(const std::vector<vesk::plays::PlayRecord>& plays, const QDate& day)
{
    QString text
        = QStringLiteral("Plays on %1: %2\n").arg(day.toString(Qt::ISODate)).arg(plays.size());
    if (plays.empty())
        return text.toUtf8();
    text += QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                .arg(QStringLiteral("seq"), 8)
                .arg(QStringLiteral("start"), -12)
                .arg(QStringLiteral("end"), -12)
                .arg(QStringLiteral("seconds"), 8)
                .arg(QStringLiteral("outcome"), -11)
                .arg(QStringLiteral("playlist/file  url"));
    for (const vesk::plays::PlayRecord& play : plays) {
        const QString what = play.placeholder && play.file.isEmpty()
            ? QStringLiteral("(placeholder)")
            : play.playlist + u'/' + play.file
                + (play.placeholder ? QStringLiteral(" (placeholder stood in)") : QString());
        text += QStringLiteral("%1  %2  %3  %4  %5  %6  %7\n")
                    .arg(play.seq, 8)
                    .arg(clock(play.start), -12)
                    .arg(clock(play.end), -12)
                    .arg(double(play.start.msecsTo(play.end)) / 1000.0, 8, 'f', 1)
                    .arg(vesk::plays::outcomeText(play.outcome), -11)
                    .arg(what, play.url);
    }
    return text.toUtf8();
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments == QStringList { "--help" }) {
        std::cout << usage;
        return 0;
    }
    if (arguments == QStringList { "--version" }) {
        std::cout << "vesk-plays " VESK_VERSION << std::endl;
        return 0;
    }

    QString directory = QStringLiteral("/var/lib/morlen-vesk/plays");
    std::optional<std::uint64_t> after;
    std::optional<std::uint64_t> limit;
    std::optional<QStringList> ack;
    std::optional<QDate> day;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& option = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (option == u"--dir" && hasValue) {
            directory = arguments[++i];
        } else if (option == u"--after" && hasValue && !after) {
            after = number(arguments[++i]);
            if (!after)
                return wrongUsage(
                    QStringLiteral("--after wants a seq, not '%1'").arg(arguments[i].left(40)));
        } else if (option == u"--limit" && hasValue && !limit) {
            limit = number(arguments[++i]);
            if (!limit)
                return wrongUsage(
                    QStringLiteral("--limit wants a number, not '%1'").arg(arguments[i].left(40)));
        } else if (option == u"--ack" && i + 2 < arguments.size() && !ack) {
            ack = QStringList { arguments[i + 1], arguments[i + 2] };
            i += 2;
        } else if (option == u"--date" && hasValue && !day) {
            day = QDate::fromString(arguments[++i], Qt::ISODate);
            if (!day->isValid())
                return wrongUsage(
                    QStringLiteral("--date wants YYYY-MM-DD, not '%1'").arg(arguments[i].left(40)));
        } else {
            return wrongUsage(QStringLiteral("unexpected argument '%1'").arg(option.left(80)));
        }
    }
    if (int(after.has_value()) + int(ack.has_value()) + int(day.has_value()) > 1
        || (limit && !after))
        return wrongUsage(
            QStringLiteral("--after, --ack and --date go alone; --limit with --after"));

    try {
        if (after)
            return print(vesk::plays::readOutText(vesk::plays::readOut(
                directory, *after, std::size_t(limit.value_or(vesk::plays::defaultLimit)))));
        if (ack) {
            const vesk::plays::AckAnswer answer
                = vesk::plays::acknowledge(directory, (*ack)[0], (*ack)[1]);
            if (!answer.accepted)
                return fail(QStringLiteral("ack refused: ") + QString::fromUtf8(answer.text));
            return print(answer.text);
        }
        const QDate shown = day.value_or(QDate::currentDate());
        return print(table(vesk::plays::playsOn(directory, shown), shown));
    } catch (const std::system_error& e) {
        return fail(QStringLiteral("cannot read the ledger in %1: %2")
                        .arg(directory, QString::fromStdString(e.code().message())));
    }
}
