// Password hashes of the HTTP face's users, through libcrypt (crypt_r,
// crypt_gensalt_rn): new hashes are yescrypt ("$y$", what Debian's shadow
// file holds); a users file may also hold bcrypt, SHA-crypt, MD5-crypt and
// DES hashes. A hash whose cost could stall a login for minutes or take
// more memory than a gateway has is refused before it is ever used.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_PASSWORDS_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_PASSWORDS_H

#include <cstddef>
#include <string>

// The longest password checked or hashed; longer ones never match.
constexpr size_t kLongestPassword = 1024;

// Why `hash` cannot be a users file's hash (its method, its characters, its
// cost), judged from its text alone; "" when it can. Legacy methods pass
// here; `*legacy` (if given) says so, for a warning.
std::string HashShapeRefusal(const std::string& hash, bool* legacy = nullptr);

// HashShapeRefusal, then a trial hash: crypt must take `hash` as a setting
// and give back a hash of the same shape. The refusal, or "".
std::string HashRefusal(const std::string& hash);

// A new yescrypt hash of `password` with a fresh random salt. False, with
// *error, for a password that cannot be hashed (empty, a NUL byte, too
// long) or when libcrypt fails.
bool MakePasswordHash(const std::string& password, std::string* hash, std::string* error);

// Whether `password` hashes to `hash`. The comparison takes the same time
// wherever the two first differ.
bool PasswordMatches(const std::string& password, const std::string& hash);

// Equal in length and bytes, in a time that depends on the lengths only.
bool ConstantTimeEqual(const std::string& a, const std::string& b);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_PASSWORDS_H
