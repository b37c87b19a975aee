#include "tools/tz52/bridge/http/passwords.h"

#include <crypt.h>
#include <string.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// crypt's base-64 alphabet: salts and hashes are written in it.
const char kCryptAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

int CryptDigit(char c) {
    const char* at = std::strchr(kCryptAlphabet, c);
    return c != '\0' && at != nullptr ? static_cast<int>(at - kCryptAlphabet) : -1;
}

// Cost bounds: the dearest hash a login may take (a yescrypt of 64 MiB is
// about a tenth of a second; a gateway with 512 MiB cannot spare gigabytes
// per login).
constexpr uint64_t kMostYescryptBytes = 64u << 20;
constexpr int kMostBcryptCost = 14;
constexpr uint64_t kMostShaRounds = 1000000;

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

// "$y$jNR$": yescrypt's flavour, N (log2, less one) and r (less one), one
// crypt digit each for every setting libcrypt makes. Longer parameters (a
// time cost, threads, a ROM) are not taken.
std::string YescryptRefusal(const std::string& hash, size_t prefixLength) {
    const size_t end = hash.find('$', prefixLength);
    if (end == std::string::npos || end - prefixLength != 3) {
        return "its yescrypt parameters are not the three characters crypt's own settings have";
    }
    const int nDigit = CryptDigit(hash[prefixLength + 1]);
    const int rDigit = CryptDigit(hash[prefixLength + 2]);
    if (CryptDigit(hash[prefixLength]) < 0 || nDigit < 0 || rDigit < 0 || nDigit > 47 || rDigit > 47) {
        return "its yescrypt parameters are not valid";
    }
    const int log2N = nDigit + 1;
    const uint64_t r = static_cast<uint64_t>(rDigit) + 1;
    if (log2N > 30 || (uint64_t{128} << log2N) * r > kMostYescryptBytes) {
        return "its yescrypt cost takes more than " + std::to_string(kMostYescryptBytes >> 20) +
               " MiB per login (make it with the default cost)";
    }
    return "";
}

// "$2b$NN$": bcrypt's cost, two decimal digits.
std::string BcryptRefusal(const std::string& hash) {
    if (hash.size() < 7 || hash[6] != '$' || hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') {
        return "its bcrypt cost is not two digits";
    }
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost > kMostBcryptCost) {
        return "its bcrypt cost " + std::to_string(cost) + " is more than " + std::to_string(kMostBcryptCost) +
               " (a login would take seconds)";
    }
    return "";
}

// "$6$rounds=N$": SHA-crypt's rounds, when not the default.
std::string ShaCryptRefusal(const std::string& hash) {
    const std::string rounds = "rounds=";
    if (hash.compare(3, rounds.size(), rounds) != 0) return "";
    uint64_t count = 0;
    size_t at = 3 + rounds.size();
    for (; at < hash.size() && hash[at] >= '0' && hash[at] <= '9'; ++at) {
        count = count * 10 + static_cast<uint64_t>(hash[at] - '0');
        if (count > kMostShaRounds) {
            return "its rounds are more than " + std::to_string(kMostShaRounds) + " (a login would take seconds)";
        }
    }
    if (at == 3 + rounds.size() || at >= hash.size() || hash[at] != '$') return "its rounds are not a number";
    return "";
}

// The setting part of a hash, which crypt gives back unchanged: up to the
// last "$", or a DES hash's two salt characters.
size_t SettingLength(const std::string& hash) {
    const size_t dollar = hash.rfind('$');
    return dollar == std::string::npos ? 2 : dollar + 1;
}

struct CryptDataDeleter {
    void operator()(crypt_data* data) const {
        // It held the password on its way through.
        explicit_bzero(data, sizeof *data);
        delete data;
    }
};
using CryptData = std::unique_ptr<crypt_data, CryptDataDeleter>;

// crypt_r's hash of `password` with `setting`; "" on failure (libcrypt
// gives null or a text starting with "*" then).
std::string CryptHash(const std::string& password, const std::string& setting) {
    CryptData data(new crypt_data());
    const char* hashed = crypt_r(password.c_str(), setting.c_str(), data.get());
    if (hashed == nullptr || hashed[0] == '*') return "";
    return hashed;
}

bool PasswordCanBeHashed(const std::string& password) {
    return !password.empty() && password.size() <= kLongestPassword && password.find('\0') == std::string::npos;
}

}  // namespace

std::string HashShapeRefusal(const std::string& hash, bool* legacy) {
    if (legacy != nullptr) *legacy = false;
    if (hash.empty()) return "no hash";
    if (hash.size() > 256) return "longer than any crypt hash";
    for (const char c : hash) {
        if (CryptDigit(c) < 0 && c != '$' && c != '=') return "it has characters no crypt hash has";
    }
    if (StartsWith(hash, "$y$")) return YescryptRefusal(hash, 3);
    if (StartsWith(hash, "$gy$")) return YescryptRefusal(hash, 4);
    if (StartsWith(hash, "$2a$") || StartsWith(hash, "$2b$") || StartsWith(hash, "$2y$")) return BcryptRefusal(hash);
    if (StartsWith(hash, "$5$") || StartsWith(hash, "$6$")) return ShaCryptRefusal(hash);
    const bool md5 = StartsWith(hash, "$1$");
    const bool des = hash.size() == 13 && hash.find('$') == std::string::npos && hash.find('=') == std::string::npos;
    if (md5 || des) {
        if (legacy != nullptr) *legacy = true;
        return "";
    }
    return "not a hash of a method taken here (yescrypt, bcrypt, SHA-crypt; make one with tz52 passwd or "
           "mkpasswd -m yescrypt)";
}

std::string HashRefusal(const std::string& hash) {
    const std::string shape = HashShapeRefusal(hash);
    if (!shape.empty()) return shape;
    const int verdict = crypt_checksalt(hash.c_str());
    if (verdict == CRYPT_SALT_METHOD_DISABLED) return "its method is disabled in this machine's libcrypt";
    if (verdict == CRYPT_SALT_INVALID) return "libcrypt does not take it";
    const std::string trial = CryptHash("", hash);
    const size_t setting = SettingLength(hash);
    if (trial.size() != hash.size() || trial.compare(0, setting, hash, 0, setting) != 0) {
        return "libcrypt does not take it (cut short or damaged?)";
    }
    return "";
}

bool MakePasswordHash(const std::string& password, std::string* hash, std::string* error) {
    if (!PasswordCanBeHashed(password)) {
        *error = password.empty() ? "the password is empty"
                                  : "a password has no NUL byte and at most " + std::to_string(kLongestPassword) +
                                        " bytes";
        return false;
    }
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // Count 0 is libcrypt's default cost; a null random source, its own.
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) {
        *error = std::string("crypt_gensalt_rn: ") + std::strerror(errno);
        return false;
    }
    *hash = CryptHash(password, setting);
    if (hash->empty()) {
        *error = std::string("crypt_r: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
    if (!PasswordCanBeHashed(password)) return false;
    const std::string hashed = CryptHash(password, hash);
    return !hashed.empty() && ConstantTimeEqual(hashed, hash);
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    const size_t length = a.size() > b.size() ? a.size() : b.size();
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char left = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char right = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= static_cast<unsigned>(left ^ right);
    }
    return difference == 0;
}
