#include "rsyncoptions.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace vesk::sshgate {

namespace {

// Recursion, times, verbosity, checksums, compression, a dry run, whole files, ignoring times,
// keeping newer files: none of them names a path or changes what kind of entry is written.
constexpr std::string_view allowedFlags = "rtvcznWIu";
// rsync's protocol capabilities after "e.": they only choose the wire format.
constexpr std::string_view knownCapabilities = "iLsfxCIvu";

constexpr std::array<std::string_view, 8> allowedWords {
    "--delete",
    "--delete-before",
    "--delete-during",
    "--delete-delay",
    "--delete-after",
    "--log-format=%i",
    "--new-compress",
    "--old-compress",
};

constexpr std::size_t maxNamed = 64;

constexpr std::array<std::string_view, 5> compressChoices { "zlib", "zlibx", "zstd", "lz4",
    "none" };

bool isWholeNumber(std::string_view text, int maximum)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() && value >= 0
        && value <= maximum;
}

std::optional<std::string> refuseFlags(std::string_view group)
{
    const std::size_t e = group.find('e');
    for (const char flag : group.substr(0, e)) {
        if (allowedFlags.find(flag) == std::string_view::npos)
            return std::string("the flag '") + flag + "' is not allowed";
    }
    if (e == std::string_view::npos || group.substr(e + 1, 1) != ".")
        return std::string("the flags lack rsync's capability string");
    for (const char capability : group.substr(e + 2)) {
        if (knownCapabilities.find(capability) == std::string_view::npos)
            return std::string("the capability '") + capability + "' is not known";
    }
    return std::nullopt;
}

// Whether an option that takes a value is one we allow; nothing when it takes none.
std::optional<bool> allowedValue(std::string_view name, std::string_view value)
{
    if (name == "--compress-level")
        return isWholeNumber(value, 22);
    if (name == "--compress-choice")
        return std::find(compressChoices.begin(), compressChoices.end(), value)
            != compressChoices.end();
    if (name == "--timeout")
        return isWholeNumber(value, 1000000);
    // A management server's bandwidth limit, which rsync hands on to our side too: it can only
    // slow this rsync down, never widen what it may do.
    if (name == "--bwlimit")
        return isWholeNumber(value, 1 << 30);
    return std::nullopt;
}

} // namespace

std::optional<std::string> refuseRsyncOption(std::string_view word)
{
    if (word.size() > 1 && word[0] == '-' && word[1] != '-')
        return refuseFlags(word.substr(1));
    if (std::find(allowedWords.begin(), allowedWords.end(), word) != allowedWords.end())
        return std::nullopt;
    const std::size_t equals = word.find('=');
    // Named up to its value, and bounded: the peer sees its own text again, not all of it.
    const std::string name(word.substr(0, std::min<std::size_t>(equals, maxNamed)));
    if (equals != std::string_view::npos) {
        const std::optional<bool> allowed = allowedValue(name, word.substr(equals + 1));
        if (allowed)
            return *allowed ? std::nullopt
                            : std::optional("the value of " + name + " is not allowed");
    }
    return "the option " + name + " is not allowed";
}

unsigned boundTimeout(std::vector<std::string>& options, unsigned most)
{
    constexpr std::string_view timeout = "--timeout=";
    unsigned chosen = 0;
    std::erase_if(options, [&](const std::string& option) {
        if (!option.starts_with(timeout))
            return false;
        // Vetted: a whole number, at most a million.
        std::from_chars(option.data() + timeout.size(), option.data() + option.size(), chosen);
        return true;
    });
    if (chosen == 0 || chosen > most)
        chosen = most;
    options.push_back(std::string(timeout) + std::to_string(chosen));
    return chosen;
}

} // namespace vesk::sshgate
