#pragma once
// Internal header of libvesk_utils, not API.

#include "fileerrors.h"

#include <string>
#include <vector>

namespace vesk::file::detail {

// A name that openat takes as exactly one entry of the directory; throws EINVAL otherwise.
void requireSingleComponent(const std::string& name, const Where& where);

// The first count components joined by "/".
std::string joinComponents(const std::vector<std::string>& components, std::size_t count);

// ".<name>.<random>": two writers never share a temporary name, and a stray one is hidden from
// listings (and removed by the next sync of a work directory, which lists no such name).
std::string temporaryName(const std::string& name);

} // namespace vesk::file::detail
