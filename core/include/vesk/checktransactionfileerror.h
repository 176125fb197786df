#pragma once

#include <cstdint>

namespace vesk {

// Why a content directory does not match its transaction file.
enum class CheckTransactionFileError : std::uint32_t {
    TransactionFileNotFound = 0, // the directory's TF cannot be opened
    FileReadError = 1, // a listed file cannot be opened, or is not a regular file
    HashMismatch = 2, // a listed file's checksum differs from its line
    NothingListed = 3, // no line lists a file that could be verified: an incomplete delivery
    Malformed = 4, // TF has a line that cannot be taken, or is too large to be one
};

} // namespace vesk
