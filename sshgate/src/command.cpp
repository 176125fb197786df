#include "command.h"

#include "rsyncoptions.h"

#include <vesk/protocol/gatecommands.h>

#include <algorithm>
#include <cstdio>

namespace vesk::sshgate {

namespace {

// Far more than any command line above; a longer one is not one of them.
constexpr std::size_t maxCommand = 4096;

bool isPlain(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || std::string_view("/._,:=@%+-").find(c) != std::string_view::npos;
}

std::string shown(char c)
{
    if (c > ' ' && c < 0x7f)
        return std::string(1, c);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
    return escaped;
}

std::vector<std::string> words(std::string_view text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t blank = std::min(text.find(' ', start), text.size());
        result.emplace_back(text.substr(start, blank - start));
        start = blank + 1;
    }
    return result;
}

bool isSeq(const std::string& word)
{
    return !word.empty() && word.size() <= 19
        && word.find_first_not_of("0123456789") == std::string::npos;
}

bool isUuid(const std::string& word)
{
    if (word.size() != 36)
        return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = word[i];
        if (dash != (c == '-') || (!dash && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))))
            return false;
    }
    return true;
}

// Exactly the three forms of the ledger's read-out and acknowledgement.
bool isPlaysCommand(const std::vector<std::string>& words)
{
    if (words.size() == 3)
        return words[1] == "--after" && isSeq(words[2]);
    if (words.size() == 5)
        return words[1] == "--after" && isSeq(words[2]) && words[3] == "--limit" && isSeq(words[4]);
    if (words.size() == 4)
        return words[1] == "--ack" && isUuid(words[2]) && isSeq(words[3]);
    return false;
}

Command rsyncReceive(const std::vector<std::string>& words)
{
    if (words.size() < 2 || words[1] != protocol::gate::rsyncServer)
        return Refusal { "only rsync --server may run" };
    RsyncReceive receive { { words[0], words[1] }, {} };
    std::size_t i = 2;
    for (; i < words.size() && words[i].starts_with('-'); ++i) {
        if (auto refusal = refuseRsyncOption(words[i]))
            return Refusal { std::move(*refusal) };
        receive.options.push_back(words[i]);
    }
    if (words.size() - i != 2 || words[i] != ".")
        return Refusal { "rsync must end in . and one destination" };
    receive.destination = words[i + 1];
    return receive;
}

} // namespace

Command parseCommand(std::string_view original)
{
    if (original.empty())
        return Refusal { "no command: this key only delivers with rsync into the sync directory" };
    if (original.size() > maxCommand)
        return Refusal { "the command is too long" };
    for (const char c : original) {
        if (c != ' ' && !isPlain(c))
            return Refusal { "the command holds '" + shown(c) + "'" };
    }
    const std::vector<std::string> split = words(original);
    if (std::ranges::equal(split, protocol::gate::readPlayedTransactionFile))
        return ReadPlayedTransactionFile {};
    if (std::ranges::equal(split, protocol::gate::readStatus) || std::ranges::equal(split, protocol::gate::readStatusFile))
        return ReadStatus {};
    if (split.front() == "vesk-plays" && isPlaysCommand(split))
        return ReadPlays { std::vector<std::string>(split.begin() + 1, split.end()) };
    if (split.front() == protocol::gate::rsync)
        return rsyncReceive(split);
    return Refusal { "not a command this key may run" };
}

} // namespace vesk::sshgate
