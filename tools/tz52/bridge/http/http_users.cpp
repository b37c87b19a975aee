#include "tools/tz52/bridge/http/http_users.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tools/common/cli/exit_codes.h"
#include "tools/common/cli/quoted.h"
#include "tools/common/text/text_input.h"
#include "tools/tz52/bridge/http/passwords.h"

namespace {

constexpr size_t kLongestUserName = 64;

struct RoleRow {
    HttpRole role;
    const char* name;
};
const RoleRow kRoles[] = {{HttpRole::kViewer, "viewer"}, {HttpRole::kOperator, "operator"}};

}  // namespace

const char* HttpRoleName(HttpRole role) {
    for (const RoleRow& row : kRoles) {
        if (row.role == role) return row.name;
    }
    return "?";
}

bool ParseHttpRole(const std::string& text, HttpRole* role) {
    for (const RoleRow& row : kRoles) {
        if (text == row.name) {
            *role = row.role;
            return true;
        }
    }
    return false;
}

std::string UserNameRefusal(const std::string& name) {
    if (name.empty()) return "a user's name is not empty";
    if (name.size() > kLongestUserName) {
        return "a user's name has at most " + std::to_string(kLongestUserName) + " bytes";
    }
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == ':') return "a user's name has no \":\" (it ends the name in the users file)";
        if (byte < 0x20 || byte == 0x7F) return "a user's name has no control characters";
    }
    if (name.front() == ' ' || name.back() == ' ') return "a user's name does not start or end with a space";
    return "";
}

bool HttpUsers::Parse(const std::vector<std::string>& lines, const std::string& path, HashJudge judge,
                      std::vector<std::string>* warnings, std::string* error) {
    std::vector<HttpUser> taken;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& text = lines[i];
        const std::string where = Printable(path) + ":" + std::to_string(i + 1) + ": ";
        if (text.find_first_not_of(" \t") == std::string::npos || text[0] == '#') continue;
        const size_t first = text.find(':');
        const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
        if (second == std::string::npos) {
            *error = where + "not NAME:ROLE:HASH";
            return false;
        }
        HttpUser user;
        user.name = text.substr(0, first);
        user.hash = text.substr(second + 1);
        user.line = i + 1;
        const std::string role = text.substr(first + 1, second - first - 1);
        const std::string nameRefusal = UserNameRefusal(user.name);
        if (!nameRefusal.empty()) {
            *error = where + Quoted(user.name) + ": " + nameRefusal;
            return false;
        }
        if (!ParseHttpRole(role, &user.role)) {
            *error = where + "user " + Quoted(user.name) + ": role " + Quoted(role) +
                     " is neither viewer nor operator";
            return false;
        }
        for (const HttpUser& earlier : taken) {
            if (earlier.name == user.name) {
                *error = where + "user " + Quoted(user.name) + " again; line " + std::to_string(earlier.line) +
                         " has it already";
                return false;
            }
        }
        if (taken.size() == kMostUsers) {
            *error = where + "more than " + std::to_string(kMostUsers) + " users";
            return false;
        }
        bool legacy = false;
        std::string refusal = HashShapeRefusal(user.hash, &legacy);
        if (refusal.empty()) refusal = judge(user.hash);
        if (!refusal.empty()) {
            *error = where + "user " + Quoted(user.name) + ": the hash is refused: " + refusal;
            return false;
        }
        if (legacy) {
            warnings->push_back("warning: " + where + "user " + Quoted(user.name) +
                                " has a hash of a weak, old method; make a new one with tz52 passwd");
        }
        taken.push_back(std::move(user));
    }
    users_ = std::move(taken);
    decoyHash_ = users_.empty() ? "" : users_.front().hash;
    return true;
}

const HttpUser* HttpUsers::Find(const std::string& name) const {
    for (const HttpUser& user : users_) {
        if (user.name == name) return &user;
    }
    return nullptr;
}

const HttpUser* HttpUsers::Authenticate(const std::string& name, const std::string& password) const {
    const HttpUser* user = Find(name);
    if (user == nullptr) {
        // Hashed all the same, so that the answer's time does not tell
        // which names exist.
        if (!decoyHash_.empty()) static_cast<void>(PasswordMatches(password, decoyHash_));
        return nullptr;
    }
    return PasswordMatches(password, user->hash) ? user : nullptr;
}

bool ReadHttpUsersFile(const std::string& path, HttpUsers* users, std::vector<std::string>* warnings,
                       std::string* error, int* exitCode) {
    const std::string option = "--http-users " + Quoted(path);
    *exitCode = kExitCodeFileError;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        *error = option + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = option + ": not a regular file";
        return false;
    }
    const TextLimits limits{1024, 256 * 1024, 0};  // line bytes, file bytes, lines
    std::vector<std::string> lines;
    if (!ReadTextLines(path, limits, &lines, error)) {
        *error = "--http-users " + *error;
        return false;
    }
    *exitCode = kExitCodeUsage;
    if (!users->Parse(lines, path, HashRefusal, warnings, error)) {
        *error = "--http-users " + *error;
        return false;
    }
    if ((status.st_mode & S_IROTH) != 0) {
        warnings->push_back("warning: " + option + " can be read by every user of this machine (chmod o-r)");
    }
    return true;
}
