#pragma once
// Internal header of libvesk_core, not API.

#include <QByteArray>
#include <QString>

#include <optional>

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

// The text of a public key file as read: one line end at its end ("\n" or "\r\n") is not part
// of the key. Nothing else is taken away.
//   "ssh-ed25519 AAAA... x\n"    -> "ssh-ed25519 AAAA... x"
//   "ssh-ed25519 AAAA... x\r\n"  -> "ssh-ed25519 AAAA... x"
//   "ssh-ed25519 AAAA... x\n\n"  -> "ssh-ed25519 AAAA... x\n" (still refused: a second line)
//   "ssh-ed25519 AAAA... x\r"    -> "ssh-ed25519 AAAA... x\r" (refused)
QString withoutLineEnd(const QString& text);

// The program that sshd runs for the paired key: vesk-sshgate beside the running program.
QString sshGatePath();

// The line of authorized_keys for `key` (one that isAuthorizedKey takes): the key as it came,
// behind our restrictions, so that it can only run `gate`, which must be an absolute path of
// letters, digits and / . _ + - (nothing sshd's quoting or the login shell reads otherwise); an
// empty result when it is not.
//   ("/usr/lib/vesk/vesk-sshgate", "ssh-ed25519 AAAA... x")
//       -> "restrict,command=\"/usr/lib/vesk/vesk-sshgate\" ssh-ed25519 AAAA... x\n"
//   ("/opt/my \"vesk\"/vesk-sshgate", ...) -> ""
QByteArray restrictedKeyLine(const QString& gate, const QString& key);

// The key of a line of authorized_keys that holds one key and nothing else (an earlier version
// wrote it so) or one key behind restrictions as restrictedKeyLine writes them, whatever the
// program; nothing for any other line. The line end is not part of the line.
//   "ssh-ed25519 AAAA... x"                                      -> "ssh-ed25519 AAAA... x"
//   "restrict,command=\"/usr/lib/vesk/vesk-sshgate\" ssh-ed25519 AAAA... x"
//                                                               -> "ssh-ed25519 AAAA... x"
//   "command=\"/bin/sh\" ssh-ed25519 AAAA... x"                  -> nothing
//   "restrict,command=\"/a b\" ssh-ed25519 AAAA... x"             -> nothing
std::optional<QString> keyOfLine(const QByteArray& line);

} // namespace vesk::detail
