#include "selection.h"

#include <vesk/log/peertext.h>

#include <QRegularExpression>
#include <QSet>

namespace vesk::manage {

bool isPattern(const QString& word)
{
    return word.contains(u'*') || word.contains(u'?') || word.contains(u'[');
}

std::optional<Selection> selectRegisters(
    const StateStore& store, const QStringList& words, bool all, QString& error)
{
    if (words.isEmpty() && !all) {
        error = QStringLiteral("name a register, a pattern or --all");
        return std::nullopt;
    }
    Selection selection;
    QSet<QString> taken;
    const auto take = [&](RegisterState state) {
        if (!taken.contains(state.name)) {
            taken.insert(state.name);
            selection.registers.append(std::move(state));
        }
    };
    // Patterns and --all need every pairing; plain names are loaded one by one, so that a
    // broken file of another register does not stand in their way.
    const bool needAll = all || std::any_of(words.cbegin(), words.cend(), isPattern);
    const QList<RegisterState> known
        = needAll ? store.loadAll(selection.problems) : QList<RegisterState> {};
    for (const QString& word : words) {
        if (!isPattern(word)) {
            std::optional<RegisterState> state = store.load(word, error);
            if (!state)
                return std::nullopt;
            take(std::move(*state));
            continue;
        }
        // Anchored: "shop-1*" is not also "big-shop-1". Names hold no "/", so the path rules
        // of the conversion change nothing.
        const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(word));
        qsizetype matched = 0;
        for (const RegisterState& state : known)
            if (pattern.match(state.name).hasMatch()) {
                take(state);
                ++matched;
            }
        if (matched == 0) {
            error = QStringLiteral("the pattern '%1' matches no paired register (%2)")
                        .arg(log::peerText(word), store.directory());
            return std::nullopt;
        }
    }
    if (all)
        for (const RegisterState& state : known)
            take(state);
    if (selection.registers.isEmpty()) {
        error = QStringLiteral("no register has been paired (%1)").arg(store.directory());
        return std::nullopt;
    }
    return selection;
}

} // namespace vesk::manage
