// Internal to vesk-manage, not API.
#pragma once

#include "registerstate.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace vesk::manage {

// Which paired registers a command is for, from its words: names as paired, shell patterns
// matched against those names ("shop-*", "shop-?[0-9]"), or "--all" (given as `all`). Each
// register counts once, in the order of the names. A name that is no pairing, or a pattern that
// matches none, is an error that names it: a typo must not quietly shrink a chain's delivery.
//   ["shop-1"]                -> shop-1
//   ["shop-*"], all = false   -> every shop-..., sorted
//   ["shop-1", "shop-*"]      -> shop-1, then the other shop-..., once each
//   ["shop-9"] (not paired)   -> error "no register called 'shop-9' has been paired"
//   [], all = true            -> every pairing
//   [], all = false           -> error "name a register, a pattern or --all"
struct Selection
{
    QList<RegisterState> registers;
    // Files of the state directory that are no pairing: said, not fatal for --all.
    QStringList problems;
};

std::optional<Selection> selectRegisters(
    const StateStore& store, const QStringList& words, bool all, QString& error);

// Whether a word is a pattern rather than a name.
bool isPattern(const QString& word);

} // namespace vesk::manage
