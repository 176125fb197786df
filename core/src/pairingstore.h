#pragma once
// Internal header of libvesk_core, not API.

#include <QByteArray>

namespace vesk {

class Core;

namespace detail {

class HomeDirectory;

// One pairing as its four files hold it.
struct PairingFiles
{
    QByteArray authorizedKeys;
    QByteArray token;
    QByteArray address;
    QByteArray sharedKey;
};

// Replaces the four pairing files as one: a crash at any moment leaves the previous set, the new
// one, or a state that recoverPairing() takes to the new one.
//   1. the files are written, each flushed, into a new directory ".pairing.new" of the home;
//   2. it is renamed ".pairing.ready" and the home flushed: from here on the new set counts;
//   3. each file is renamed into its place, and the directories that changed are flushed;
//   4. ".pairing.ready" is removed.
// The caller holds the Core's pairing lock, and the directories of the layout exist. Throws
// std::system_error when the disk refuses a step; the set in place is then the previous one
// (before step 2) or is finished at the next start (after it).
void storePairing(const Core& core, const HomeDirectory& home, const PairingFiles& files);

// What a start finds of a pairing that a crash interrupted.
enum class PairingRecovery {
    none,
    finished, // ".pairing.ready": steps 3 and 4 done now
    undone, // ".pairing.new": removed, the previous set stays
};

// Takes the home to a whole pairing; before anything reads the pairing files. Throws
// std::system_error as storePairing does.
PairingRecovery recoverPairing(const Core& core, const HomeDirectory& home);

} // namespace detail
} // namespace vesk
