#pragma once
// Internal header of libvesk_core, not API.

#include <QString>

namespace vesk::detail {

// Whether text is exactly one public key as sshd reads a line of authorized_keys, and nothing
// it would read as more: "TYPE BASE64 [COMMENT]" with a key type sshd knows, Base64 that decodes
// to a key blob naming that same type, no options and no control characters (a line feed would
// start a second line, with options of the sender's choosing).
//   "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAI... mgmt"  -> true
//   "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAI..."       -> true (the comment is optional)
//   "command=\"sh\" ssh-ed25519 AAAAC3Nz..."         -> false (options)
//   "ssh-ed25519 AAAA...\nssh-rsa AAAA..."           -> false (a control character)
//   "ssh-dss AAAAB3NzaC1kc3MAAACB..."               -> false (a type not taken)
//   "ssh-ed25519 AAAA*C3Nz..."                      -> false (not Base64)
//   "ssh-rsa AAAAC3NzaC1lZDI1NTE5AAAAI..."           -> false (the blob is an ssh-ed25519 key)
bool isAuthorizedKey(const QString& text);

// Any character below U+0020, or U+007F.
bool hasControlCharacter(const QString& text);

} // namespace vesk::detail
