// Feeds arbitrary bytes as the HTTP face's users file to its parser (the
// hash judged by its shape and cost alone; a trial crypt of every input
// would be the fuzzer's whole time) and checks:
//   - a file taken holds exactly its NAME:ROLE:HASH lines, in order, each
//     name once and allowed, at most the most users;
//   - a file refused names the file and a line, shows no control
//     character, and leaves the users taken before untouched.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/bridge/http/http_users.h"
#include "tools/tz52/bridge/http/passwords.h"

namespace {

std::string NoFurtherJudgement(const std::string&) { return ""; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = SplitLikeTextReader(bytes);

    HttpUsers users;
    std::vector<std::string> warnings;
    std::string error;
    Require(users.Parse({"kept:viewer:$y$j9T$salt$hash"}, "users", NoFurtherJudgement, &warnings, &error),
            "the seed user was refused");
    const bool taken = users.Parse(lines, "users", NoFurtherJudgement, &warnings, &error);
    if (!taken) {
        Require(error.compare(0, 6, "users:") == 0 && error.size() > 6 && error[6] >= '1' && error[6] <= '9',
                "the refusal does not name the file and a line");
        Require(HasNoControlCharacters(error), "the refusal shows a control character");
        Require(users.users().size() == 1 && users.users()[0].name == "kept", "a refused file changed the users");
        return 0;
    }
    Require(users.users().size() <= HttpUsers::kMostUsers, "more users than the most");
    std::set<std::string> names;
    size_t next = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
        Require(next < users.users().size(), "a line was left out");
        const HttpUser& user = users.users()[next++];
        Require(user.line == i + 1, "a user has the wrong line number");
        Require(line == user.name + ":" + HttpRoleName(user.role) + ":" + user.hash, "a user differs from its line");
        Require(UserNameRefusal(user.name).empty(), "a refused name was taken");
        Require(HashShapeRefusal(user.hash).empty(), "a refused hash was taken");
        Require(names.insert(user.name).second, "a name was taken twice");
    }
    Require(next == users.users().size(), "more users than lines");
    for (const std::string& warning : warnings) Require(HasNoControlCharacters(warning), "a warning shows a control character");
    return 0;
}
