// The HTTP face's users file (--http-users FILE): one NAME:ROLE:HASH a line,
// ROLE viewer (reads) or operator (reads and writes), HASH a crypt hash
// (tz52 passwd or mkpasswd -m yescrypt makes one); blank lines and lines
// starting with "#" are skipped. Read whole and judged before the face
// starts, like the broker's password file: a regular file within limits,
// every refusal naming FILE:LINE.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_USERS_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_USERS_H

#include <cstddef>
#include <string>
#include <vector>

enum class HttpRole { kViewer, kOperator };

const char* HttpRoleName(HttpRole role);
bool ParseHttpRole(const std::string& text, HttpRole* role);

// Why `name` cannot be a user's name (empty, too long, a ":", a control
// character, blanks at its ends); "" when it can.
std::string UserNameRefusal(const std::string& name);

struct HttpUser {
    std::string name;
    HttpRole role = HttpRole::kViewer;
    std::string hash;
    size_t line = 0;  // in the users file
};

// The refusal of a hash (HashRefusal), replaceable where crypt's cost is
// not what is being checked.
using HashJudge = std::string (*)(const std::string& hash);

class HttpUsers {
public:
    static constexpr size_t kMostUsers = 100;

    // Takes the lines of the file `path` (for messages). False, with
    // *error as "PATH:LINE: reason", when any line is wrong; nothing is
    // taken then. *warnings gets what is allowed but unwise.
    bool Parse(const std::vector<std::string>& lines, const std::string& path, HashJudge judge,
               std::vector<std::string>* warnings, std::string* error);

    // The user `name` when `password` is theirs; null otherwise. A name
    // that is no user's costs the same hash as one that is.
    const HttpUser* Authenticate(const std::string& name, const std::string& password) const;

    const std::vector<HttpUser>& users() const { return users_; }

private:
    const HttpUser* Find(const std::string& name) const;

    std::vector<HttpUser> users_;
    std::string decoyHash_;  // hashed in place of a user that does not exist
};

// Reads and parses the users file `path`. On failure *exitCode is 74 for a
// file that cannot be read, 64 for one whose contents are wrong.
bool ReadHttpUsersFile(const std::string& path, HttpUsers* users, std::vector<std::string>* warnings,
                       std::string* error, int* exitCode);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_USERS_H
