#include <vesk/protocol/transactionfile.h>

#include <vesk/file/inside.h>

#include <QByteArrayView>

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

namespace vesk::protocol {

namespace {

// Characters 0 to 15 of a line are the checksum, 16 and 17 separate it from the name.
constexpr qsizetype checksumSize = 16;
constexpr qsizetype nameStart = 18;
// The longest name the system resolves; a longer one could never be opened.
constexpr qsizetype maxNameSize = PATH_MAX - 1;

// "\n" or "\r\n" taken off; a CR alone stays (the table at parseTransactionLine).
QByteArrayView withoutLineEnd(QByteArrayView line)
{
    if (line.endsWith('\n')) {
        line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return line;
}

std::uint64_t checksumOf(QByteArrayView line)
{
    bool ok = false;
    const std::uint64_t checksum
        = line.first(std::min(checksumSize, line.size())).toULongLong(&ok, 16);
    return ok ? checksum : 0;
}

QByteArrayView nameOf(QByteArrayView line)
{
    return line.size() > nameStart ? line.sliced(nameStart) : QByteArrayView();
}

// The order that puts the names below a directory right after it: the end of a name first, then
// '/', then every other byte ("a", "a/b", "a/c", "a-1", "a.b").
int rank(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte == 0 ? 0 : byte == '/' ? 1 : byte + 1;
}

int compareNames(const char* a, const char* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return rank(*a) - rank(*b);
}

// Whether `name` lies below the directory `directory`.
bool isBelow(const char* name, const char* directory)
{
    while (*directory && *directory == *name) {
        ++directory;
        ++name;
    }
    return !*directory && *name == '/';
}

// One TF, parsed in two passes over memory that grows with its size and nothing else: the lines
// one by one into their names in one form, then the names sorted, where a name listed twice and
// a file with names below it are neighbours.
class TransactionFileParser
{
public:
    explicit TransactionFileParser(const QByteArray& content)
        : m_content(content)
    {
    }

    TransactionFile parse();

private:
    // A listed name: where its one form starts in m_names, NUL-terminated, and where its line
    // starts in the TF, from which its checksum and line number are read when they are wanted.
    struct Listed
    {
        quint32 name;
        quint32 line;
    };

    QString readLines();
    QString take(qsizetype start, QByteArrayView line, int number);
    QString listedTwice() const;
    QString fileAndDirectory() const;
    TransactionList entries();

    const char* name(const Listed& listed) const { return m_names.constData() + listed.name; }
    std::uint64_t checksum(const Listed& listed) const
    {
        return checksumOf(QByteArrayView(m_content).sliced(listed.line, checksumSize));
    }
    int lineNumber(const Listed& listed) const
    {
        return int(QByteArrayView(m_content).first(listed.line).count('\n')) + 1;
    }

    const QByteArray& m_content;
    QByteArray m_names;
    std::vector<Listed> m_listed;
    TransactionFile m_file;
};

// A refusal that names a line comes from the first such line in the file: a name listed twice
// with two checksums is found among the lines before the first line that cannot be taken.
TransactionFile TransactionFileParser::parse()
{
    const QString lineRefused = readLines();
    // std::sort rather than std::ranges: the fuzzers' clang 14 cannot build the ranges of
    // libstdc++ 12.
    std::sort(m_listed.begin(), m_listed.end(), [this](const Listed& a, const Listed& b) {
        const int order = compareNames(name(a), name(b));
        return order != 0 ? order < 0 : a.line < b.line;
    });
    QString refused = listedTwice();
    if (refused.isEmpty())
        refused = lineRefused;
    if (refused.isEmpty()) {
        // A name listed again with the same checksum is taken once, from its first line.
        const auto repeated
            = std::unique(m_listed.begin(), m_listed.end(), [this](const Listed& a, const Listed& b) {
                  return compareNames(name(a), name(b)) == 0;
              });
        m_listed.erase(repeated, m_listed.end());
        refused = fileAndDirectory();
    }
    m_file.list = refused.isEmpty() ? Expected<TransactionList, QString>(entries())
                                    : Expected<TransactionList, QString>(Unexpected(refused));
    return std::move(m_file);
}

QString TransactionFileParser::readLines()
{
    const QByteArrayView content(m_content);
    // Reserved once for the most the TF can need, so that neither moves: a name in its one form,
    // with its NUL, is never longer than its line, and a line that lists a file has at least 20
    // bytes (19 the last). Capacity that is never written costs no memory.
    m_names.reserve(content.size());
    m_listed.reserve(std::size_t(content.size() / (nameStart + 2)) + 1);
    int number = 0;
    for (qsizetype start = 0; start < content.size();) {
        const qsizetype end = content.indexOf('\n', start);
        const qsizetype next = end < 0 ? content.size() : end + 1;
        const QString refused
            = take(start, withoutLineEnd(content.sliced(start, next - start)), ++number);
        if (!refused.isEmpty())
            return refused;
        start = next;
    }
    return {};
}

QString TransactionFileParser::take(qsizetype start, QByteArrayView line, int number)
{
    // By its length, before it is split: a longer line could only cost memory.
    if (line.size() > nameStart + maxNameSize)
        return QStringLiteral("line %1: the name is longer than %2 bytes")
            .arg(number)
            .arg(maxNameSize);
    const QByteArrayView raw = nameOf(line);
    if (!raw.isValidUtf8())
        return QStringLiteral("line %1: the name is not UTF-8").arg(number);
    const auto components = file::componentsInside(std::string_view(raw.data(), raw.size()));
    if (!components) {
        if (++m_file.outside <= TransactionFile::maxNamedOutside)
            m_file.namedOutside.append(raw.toByteArray());
        return {};
    }
    if (components->empty())
        return QStringLiteral("line %1 names no file").arg(number);
    const qsizetype begin = m_names.size();
    for (const std::string& component : *components) {
        if (component.size() > NAME_MAX)
            return QStringLiteral("line %1: a part of the name is longer than %2 bytes")
                .arg(number)
                .arg(NAME_MAX);
        if (m_names.size() > begin)
            m_names.append('/');
        m_names.append(component.data(), qsizetype(component.size()));
    }
    m_names.append('\0');
    m_listed.push_back({ quint32(begin), quint32(start) });
    return {};
}

// Of the names listed again with another checksum than their first line's, the earliest line.
QString TransactionFileParser::listedTwice() const
{
    const Listed* earliest = nullptr;
    for (auto first = m_listed.cbegin(); first != m_listed.cend();) {
        auto next = first + 1;
        for (; next != m_listed.cend() && compareNames(name(*first), name(*next)) == 0; ++next)
            if ((!earliest || next->line < earliest->line) && checksum(*next) != checksum(*first))
                earliest = &*next;
        first = next;
    }
    if (!earliest)
        return {};
    return QStringLiteral("line %1 lists %2 again with another checksum")
        .arg(QString::number(lineNumber(*earliest)), QString::fromUtf8(name(*earliest)));
}

// Of the names listed as a file that others lie below, the one listed first. The names below a
// file follow it in the sorted names, so its neighbour tells.
QString TransactionFileParser::fileAndDirectory() const
{
    const Listed* earliest = nullptr;
    for (std::size_t i = 0; i + 1 < m_listed.size(); ++i)
        if ((!earliest || m_listed[i].line < earliest->line)
            && isBelow(name(m_listed[i + 1]), name(m_listed[i])))
            earliest = &m_listed[i];
    if (!earliest)
        return {};
    return QStringLiteral("%1 is listed as a file and as a directory")
        .arg(QString::fromUtf8(name(*earliest)));
}

// The names stay where they are, in the buffer the list takes over.
TransactionList TransactionFileParser::entries()
{
    std::sort(m_listed.begin(), m_listed.end(),
        [](const Listed& a, const Listed& b) { return a.line < b.line; });
    std::vector<TransactionList::Entry> entries;
    entries.reserve(m_listed.size());
    for (const Listed& listed : m_listed)
        entries.push_back({ listed.name, quint32(qstrlen(name(listed))), checksum(listed) });
    m_listed = {};
    return TransactionList(std::move(m_names), std::move(entries));
}

} // namespace

TransactionLine parseTransactionLine(QByteArray line)
{
    const QByteArrayView taken = withoutLineEnd(line);
    TransactionLine entry;
    entry.checksum = checksumOf(taken);
    entry.name = nameOf(taken).toByteArray();
    return entry;
}

QList<TransactionLine> transactionLines(const QByteArray& content)
{
    QList<TransactionLine> lines;
    for (qsizetype start = 0; start < content.size();) {
        const qsizetype end = content.indexOf('\n', start);
        const qsizetype next = end < 0 ? content.size() : end + 1;
        lines.append(parseTransactionLine(content.mid(start, next - start)));
        start = next;
    }
    return lines;
}

TransactionFile parseTransactionFile(const QByteArray& content)
{
    return TransactionFileParser(content).parse();
}

} // namespace vesk::protocol
