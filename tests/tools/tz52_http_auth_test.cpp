// The HTTP face's logins without a socket: the users file as a person writes
// it, password hashes from tz52 passwd and from mkpasswd, sessions and the
// login limiter against a clock the test moves, and the metrics text as
// promtool judges it.
#include <gtest/gtest.h>

#include <pty.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/tz52/bridge/http/http_users.h"
#include "tools/tz52/bridge/http/login_limiter.h"
#include "tools/tz52/bridge/http/metrics_text.h"
#include "tools/tz52/bridge/http/passwords.h"
#include "tools/tz52/bridge/http/sessions.h"

namespace {

const char kHost[] = TZ52_HOST_PATH;

// Made with mkpasswd -m yescrypt, sha-512 and bcrypt; the password is "secret".
const std::string kYescrypt = "$y$j9T$lOY7pLxlUzce2V1Bm3UEt0$EhV0ylxliCCPc6yfkaBPYUznQdwSXPcVo0LMUiFMPLD";
const std::string kSha512 =
    "$6$EakYpNPOGsv/ZuGC$5D/rYzJqGzBQdBQrx0BXKEsJpN1dxXCT.r92NXYjKSnMz3GJaN1nWxqWKGswI9X9R55FMf3hd4tPDMj2UxHnW1";
const std::string kBcrypt = "$2b$05$PRTbdYr2UvH1JQqPIlIGb.mw5aWUUBUGdNtIezNgX39Go40V3SrNe";

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

class Scratch {
public:
    Scratch() {
        char pattern[] = "/tmp/tz52_http_auth.XXXXXX";
        if (mkdtemp(pattern) != nullptr) directory_ = pattern;
    }
    ~Scratch() {
        if (!directory_.empty()) std::system(("rm -rf '" + directory_ + "'").c_str());
    }
    std::string Path(const std::string& name) const { return directory_ + "/" + name; }

private:
    std::string directory_;
};

// A shell command with `input` on its stdin.
Outcome Shell(const std::string& command, const std::string& input = "") {
    static const Scratch scratch;
    WriteFile(scratch.Path("stdin"), input);
    const std::string full = "(" + command + ") <" + scratch.Path("stdin") + " >" + scratch.Path("stdout") + " 2>" +
                             scratch.Path("stderr");
    const int status = std::system(full.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Slurp(scratch.Path("stdout"));
    outcome.err = Slurp(scratch.Path("stderr"));
    return outcome;
}

// The users file's `lines` taken into `users`; a refusal fails the test.
void ParseUsers(const std::vector<std::string>& lines, HttpUsers* users) {
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_TRUE(users->Parse(lines, "users", HashRefusal, &warnings, &error)) << error;
}

// ---- the users file ----------------------------------------------------------

struct UsersFileRow {
    const char* what;
    std::string text;
    mode_t mode;
    int exitCode;           // 0: taken
    std::string message;    // in the refusal, or in the warnings
    std::string users;      // taken: "name:role ..."
    std::string path = "";  // read instead of the file written from `text`
};

TEST(HttpUsersFile, IsTakenOrRefusedNamingTheLine) {
    const std::string hashless = kYescrypt.substr(0, kYescrypt.size() - 1);
    const Scratch scratch;
    const UsersFileRow rows[] = {
        {"three users, three methods", "anna:operator:" + kYescrypt + "\nben:viewer:" + kSha512 + "\ncarl:viewer:" +
                                           kBcrypt + "\n",
         0600, 0, "", "anna:operator ben:viewer carl:viewer"},
        {"comments, blank lines, a CRLF line end", "# users\n\n  \nanna:viewer:" + kYescrypt + "\r\n", 0600, 0, "",
         "anna:viewer"},
        {"an empty file: no users", "", 0600, 0, "", ""},
        {"readable by everyone: a warning", "anna:viewer:" + kYescrypt + "\n", 0644, 0,
         "can be read by every user of this machine", "anna:viewer"},
        {"an MD5 hash: a warning", "anna:viewer:$1$abcdefgh$cHJi5PXp/ki/ktXzqlk6I1\n", 0600, 0,
         "users:1: user \"anna\" has a hash of a weak, old method", "anna:viewer"},
        {"the same name twice", "anna:viewer:" + kYescrypt + "\nben:viewer:" + kSha512 + "\nanna:operator:" + kBcrypt,
         0600, 64, "users:3: user \"anna\" again; line 1 has it already", ""},
        {"an unknown role", "\nanna:admin:" + kYescrypt, 0600, 64,
         "users:2: user \"anna\": role \"admin\" is neither viewer nor operator", ""},
        {"no role", "anna:" + kYescrypt, 0600, 64, "users:1: not NAME:ROLE:HASH", ""},
        {"an empty name", ":viewer:" + kYescrypt, 0600, 64, "users:1: \"\": a user's name is not empty", ""},
        {"a control character in the name", "an\x1bna:viewer:" + kYescrypt, 0600, 64,
         "users:1: \"an\\x1Bna\": a user's name has no control characters", ""},
        {"a hash cut short", "anna:viewer:" + hashless, 0600, 64, "the hash is refused: libcrypt does not take it", ""},
        {"no hash", "anna:viewer:", 0600, 64, "the hash is refused: no hash", ""},
        {"a password in place of a hash", "anna:viewer:secret", 0600, 64, "not a hash of a method taken here", ""},
        {"a colon in the hash", "anna:viewer:" + kYescrypt + ":x", 0600, 64, "characters no crypt hash has", ""},
        {"scrypt, a method not taken", "anna:viewer:$7$CU..../....abcdefghijk$abc", 0600, 64,
         "not a hash of a method taken here", ""},
        {"bcrypt of cost 31 would hold a login for days", "anna:viewer:$2b$31$PRTbdYr2UvH1JQqPIlIGb.mw5aWUUBUGdNtIezNgX39Go40V3SrNe",
         0600, 64, "its bcrypt cost 31 is more than 14", ""},
        {"yescrypt of 1 GiB per login", "anna:viewer:$y$jFT$lOY7pLxlUzce2V1Bm3UEt0$EhV0ylxliCCPc6yfkaBPYUznQdwSXPcVo0LMUiFMPLD",
         0600, 64, "takes more than 64 MiB per login", ""},
        {"SHA-crypt of a billion rounds", "anna:viewer:$6$rounds=999999999$EakYpNPOGsv/ZuGC$5D", 0600, 64,
         "its rounds are more than 1000000", ""},
        {"a line longer than any user's", "anna:viewer:" + std::string(2000, 'x'), 0600, 74,
         "users:1: line longer than 1024 bytes", ""},
        {"a directory", "", 0600, 74, scratch.Path(""), "", scratch.Path("")},
        {"a missing file", "", 0600, 74, scratch.Path("missing"), "", scratch.Path("missing")},
        {"a device", "", 0600, 74, "/dev/zero", "", "/dev/zero"},
    };
    for (const UsersFileRow& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = row.path.empty() ? scratch.Path("users") : row.path;
        if (row.path.empty()) WriteFile(path, row.text, row.mode);
        HttpUsers users;
        std::vector<std::string> warnings;
        std::string error;
        int exitCode = 0;
        const bool taken = ReadHttpUsersFile(path, &users, &warnings, &error, &exitCode);
        if (row.exitCode != 0) {
            EXPECT_FALSE(taken);
            EXPECT_EQ(exitCode, row.exitCode);
            EXPECT_NE(error.find(row.message), std::string::npos) << error;
            EXPECT_EQ(error.rfind("--http-users ", 0), 0u) << error;
            continue;
        }
        ASSERT_TRUE(taken) << error;
        std::string said;
        for (const std::string& warning : warnings) said += warning + "\n";
        if (row.message.empty()) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(row.message), std::string::npos) << said;
        }
        std::string names;
        for (const HttpUser& user : users.users()) {
            names += (names.empty() ? "" : " ") + user.name + ":" + HttpRoleName(user.role);
        }
        EXPECT_EQ(names, row.users);
    }
}

// ---- passwords ----------------------------------------------------------------

TEST(HttpPasswords, MatchOnlyTheirHash) {
    struct Row {
        const char* what;
        std::string password;
        std::string hash;
        bool matches;
    };
    const Row rows[] = {
        {"yescrypt", "secret", kYescrypt, true},
        {"SHA-512", "secret", kSha512, true},
        {"bcrypt", "secret", kBcrypt, true},
        {"another password", "Secret", kYescrypt, false},
        {"the password and more", "secret1", kYescrypt, false},
        {"the password cut short", "secre", kSha512, false},
        {"a NUL byte, after which crypt would read nothing", std::string("secret\0more", 11), kYescrypt, false},
        {"empty", "", kYescrypt, false},
        {"longer than any password", std::string(kLongestPassword + 1, 'a'), kYescrypt, false},
        {"a hash crypt does not take", "secret", "$y$", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(PasswordMatches(row.password, row.hash), row.matches);
    }
}

TEST(HttpPasswords, UsersAreAuthenticatedByNameAndPassword) {
    HttpUsers users;
    ParseUsers({"anna:operator:" + kYescrypt, "ben:viewer:" + kBcrypt}, &users);
    const HttpUser* anna = users.Authenticate("anna", "secret");
    ASSERT_NE(anna, nullptr);
    EXPECT_EQ(anna->role, HttpRole::kOperator);
    EXPECT_EQ(users.Authenticate("anna", "Secret"), nullptr);
    EXPECT_EQ(users.Authenticate("ANNA", "secret"), nullptr);
    EXPECT_EQ(users.Authenticate("nobody", "secret"), nullptr);
    EXPECT_NE(users.Authenticate("ben", "secret"), nullptr);
}

// tz52 passwd's line, read back as the users file reads it and checked
// with the password; and mkpasswd's hash taken the same way.
TEST(HttpPasswords, TzPasswdAndMkpasswdMakeLinesTheFaceTakes) {
    struct Row {
        const char* what;
        std::string command;
        std::string input;
        int exitCode;
        std::string line;  // taken: the start of the line printed; refused: in the message
    };
    const std::string tz52 = std::string("'") + kHost + "' passwd";
    const Row rows[] = {
        {"an operator", tz52 + " anna --role operator", "correct horse\n", 0, "anna:operator:$y$"},
        {"a viewer by default, no line end", tz52 + " ben", "correct horse", 0, "ben:viewer:$y$"},
        {"a name with a space inside", tz52 + " 'anna maria'", "correct horse\n", 0, "anna maria:viewer:$y$"},
        {"mkpasswd's yescrypt", "mkpasswd -m yescrypt --stdin | sed 's/^/carl:operator:/'", "correct horse\n", 0,
         "carl:operator:$y$"},
        {"a name with a colon", tz52 + " a:b", "correct horse\n", 64, "a user's name has no \":\""},
        {"a name with a control character", tz52 + " \"$(printf 'a\\tb')\"", "correct horse\n", 64,
         "\"a\\tb\": a user's name has no control characters"},
        {"a role that is none", tz52 + " anna --role admin", "correct horse\n", 64, "a role is viewer or operator"},
        {"no name", tz52, "correct horse\n", 64, "passwd needs one NAME"},
        {"nothing on stdin", tz52 + " anna", "", 1, "no password given"},
        {"an empty line", tz52 + " anna", "\nsecond\n", 1, "no password given"},
        {"a password too long", tz52 + " anna", std::string(1025, 'p') + "\n", 1, "longer than 1024 bytes"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome outcome = Shell(row.command, row.input);
        ASSERT_EQ(outcome.exitCode, row.exitCode) << outcome.err;
        if (row.exitCode != 0) {
            EXPECT_NE(outcome.err.find(row.line), std::string::npos) << outcome.err;
            EXPECT_EQ(outcome.out, "");
            continue;
        }
        ASSERT_EQ(outcome.out.rfind(row.line, 0), 0u) << outcome.out;
        ASSERT_EQ(outcome.out.back(), '\n');
        const std::string line = outcome.out.substr(0, outcome.out.size() - 1);
        HttpUsers users;
        ParseUsers({line}, &users);
        const std::string name = line.substr(0, line.find(':'));
        EXPECT_NE(users.Authenticate(name, "correct horse"), nullptr);
        EXPECT_EQ(users.Authenticate(name, "correct horsE"), nullptr);
    }
    // Two runs, two salts.
    EXPECT_NE(Shell(tz52 + " anna", "x\n").out, Shell(tz52 + " anna", "x\n").out);
    // --json: the same line in a document.
    const Outcome json = Shell(tz52 + " anna --json", "secret\n");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["user"], "anna");
    EXPECT_EQ(document["role"], "viewer");
    EXPECT_TRUE(PasswordMatches("secret", document["hash"].get<std::string>()));
    EXPECT_EQ(document["line"], "anna:viewer:" + document["hash"].get<std::string>());
}

// What a terminal shows while tz52 passwd runs on it, given `typed` line
// by line once each prompt is up; and its exit code.
Outcome OnTerminal(const std::vector<std::string>& typed) {
    Outcome outcome;
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        execl(kHost, kHost, "passwd", "anna", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) return outcome;
    std::string shown;
    size_t next = 0;
    bool silent = false;
    for (;;) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0) {
            silent = true;
            break;
        }
        char buffer[512];
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;
        shown.append(buffer, static_cast<size_t>(got));
        // Each line is typed once its prompt (ending ": ") has come.
        if (next < typed.size() && shown.size() >= 2 && shown.compare(shown.size() - 2, 2, ": ") == 0) {
            const std::string line = typed[next++] + "\n";
            if (write(terminal, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
        }
    }
    int status = 0;
    // Silent for ten seconds: still waiting for a line that will not come.
    if (silent) kill(child, SIGKILL);
    waitpid(child, &status, 0);
    close(terminal);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = shown;
    return outcome;
}

TEST(HttpPasswords, TzPasswdOnATerminalAsksTwiceWithoutEcho) {
    const Outcome same = OnTerminal({"hunter22", "hunter22"});
    EXPECT_EQ(same.exitCode, 0) << same.out;
    EXPECT_NE(same.out.find("Password for anna: "), std::string::npos) << same.out;
    EXPECT_NE(same.out.find("The same password again: "), std::string::npos) << same.out;
    EXPECT_EQ(same.out.find("hunter22"), std::string::npos) << "the password was echoed: " << same.out;
    const size_t line = same.out.find("anna:viewer:$y$");
    ASSERT_NE(line, std::string::npos) << same.out;
    const std::string hash = same.out.substr(line + 12, same.out.find_first_of("\r\n", line) - line - 12);
    EXPECT_TRUE(PasswordMatches("hunter22", hash)) << hash;

    const Outcome differ = OnTerminal({"hunter22", "hunter23"});
    EXPECT_EQ(differ.exitCode, 1);
    EXPECT_NE(differ.out.find("the two passwords differ"), std::string::npos) << differ.out;
    EXPECT_EQ(differ.out.find("anna:viewer:"), std::string::npos) << differ.out;
}

// ---- sessions -----------------------------------------------------------------

TEST(HttpSessions, LiveWhileUsedAndGoOldestIdleFirst) {
    enum Action { kOpen, kUse, kClose };
    struct Step {
        Action action;
        const char* name;
        int64_t at;
        bool succeeds;
    };
    struct Row {
        const char* what;
        size_t capacity;
        std::vector<Step> steps;
        size_t count;  // sessions held at the end
    };
    const Row rows[] = {
        {"used before the idle limit", 4, {{kOpen, "a", 0, true}, {kUse, "a", 999, true}}, 1},
        {"idle for the limit ends it", 4, {{kOpen, "a", 0, true}, {kUse, "a", 1000, false}, {kUse, "a", 1001, false}},
         0},
        {"each use starts the idle time again", 4,
         {{kOpen, "a", 0, true}, {kUse, "a", 900, true}, {kUse, "a", 1800, true}, {kUse, "a", 2799, true}}, 1},
        {"logout", 4, {{kOpen, "a", 0, true}, {kClose, "a", 1, true}, {kUse, "a", 2, false}, {kClose, "a", 3, false}},
         0},
        {"a full store ends the one idle longest", 3,
         {{kOpen, "a", 0, true}, {kOpen, "b", 1, true}, {kOpen, "c", 2, true}, {kUse, "a", 5, true},
          {kOpen, "d", 6, true}, {kUse, "b", 7, false}, {kUse, "a", 8, true}, {kUse, "c", 9, true},
          {kUse, "d", 10, true}},
         3},
        {"the expired go first, not the idlest live one", 2,
         {{kOpen, "a", 0, true}, {kOpen, "b", 900, true}, {kOpen, "c", 1100, true}, {kUse, "b", 1200, true},
          {kUse, "c", 1200, true}},
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SessionStore store(row.capacity, 1000);
        std::map<std::string, HttpSession> byName;
        for (const Step& step : row.steps) {
            SCOPED_TRACE(std::string(step.name) + " at " + std::to_string(step.at));
            HttpSession session;
            switch (step.action) {
            case kOpen:
                ASSERT_TRUE(store.Open(step.name, HttpRole::kOperator, "127.0.0.1", step.at, &session));
                byName[step.name] = session;
                break;
            case kUse:
                EXPECT_EQ(store.Use(byName[step.name].token, step.at, &session), step.succeeds);
                if (step.succeeds) {
                    EXPECT_EQ(session.user, step.name);
                }
                break;
            case kClose:
                EXPECT_EQ(store.Close(byName[step.name].token), step.succeeds);
                break;
            }
        }
        EXPECT_EQ(store.Count(), row.count);
    }
}

TEST(HttpSessions, TokensAreRandomAndTheCsrfTokenIsChecked) {
    SessionStore store(64, 1000);
    std::set<std::string> tokens;
    HttpSession session;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(store.Open("anna", HttpRole::kViewer, "::1", i, &session));
        EXPECT_EQ(session.token.size(), 32u);
        EXPECT_EQ(session.token.find_first_not_of("0123456789abcdef"), std::string::npos);
        tokens.insert(session.token);
        tokens.insert(session.csrfToken);
    }
    EXPECT_EQ(tokens.size(), 400u);
    EXPECT_EQ(store.Count(), 64u);
    EXPECT_EQ(session.address, "::1");
    EXPECT_FALSE(store.Use(session.csrfToken, 200, &session)) << "the CSRF token is no cookie";
    struct Row {
        std::string given;
        bool matches;
    };
    const Row rows[] = {{session.csrfToken, true},
                        {"", false},
                        {session.csrfToken.substr(0, 31), false},
                        {session.csrfToken + "0", false},
                        {session.token, false}};
    for (const Row& row : rows) EXPECT_EQ(CsrfTokenMatches(session, row.given), row.matches) << row.given;
}

// ---- the login limiter --------------------------------------------------------

TEST(HttpLoginLimiter, FiveAttemptsAMinutePerAddressInBoundedMemory) {
    struct Step {
        const char* address;
        int64_t at;
        bool admitted;
        int64_t retryAfter;  // refused: how long until one may
    };
    struct Row {
        const char* what;
        size_t addresses;
        std::vector<Step> steps;
    };
    const Row rows[] = {
        {"the sixth within a minute waits for the first to leave it", 16,
         {{"10.0.0.1", 0, true, 0}, {"10.0.0.1", 10, true, 0}, {"10.0.0.1", 20, true, 0}, {"10.0.0.1", 30, true, 0},
          {"10.0.0.1", 40, true, 0}, {"10.0.0.1", 50, false, 59950}, {"10.0.0.1", 59999, false, 1},
          {"10.0.0.1", 60000, true, 0}, {"10.0.0.1", 60001, false, 9}, {"10.0.0.1", 60010, true, 0}}},
        {"refused attempts are not counted", 16,
         {{"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0},
          {"a", 30000, false, 30000}, {"a", 59999, false, 1}, {"a", 60000, true, 0}}},
        {"another address has attempts of its own", 16,
         {{"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0},
          {"a", 1, false, 59999}, {"b", 1, true, 0}}},
        {"a full table forgets the address whose last attempt is oldest", 2,
         {{"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0}, {"a", 0, true, 0},
          {"b", 1, true, 0}, {"c", 2, true, 0}, {"a", 3, true, 0}}},
        {"a full table first drops the addresses out of the window", 2,
         {{"a", 0, true, 0}, {"b", 30000, true, 0}, {"b", 30000, true, 0}, {"b", 30000, true, 0},
          {"b", 30000, true, 0}, {"b", 30000, true, 0}, {"c", 61000, true, 0}, {"b", 61001, false, 28999}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LoginLimits limits;
        limits.addresses = row.addresses;
        LoginLimiter limiter(limits);
        for (const Step& step : row.steps) {
            SCOPED_TRACE(std::string(step.address) + " at " + std::to_string(step.at));
            int64_t retryAfter = -1;
            EXPECT_EQ(limiter.Admit(step.address, step.at, &retryAfter), step.admitted);
            if (!step.admitted) {
                EXPECT_EQ(retryAfter, step.retryAfter);
            }
            EXPECT_LE(limiter.RememberedAddresses(), row.addresses);
        }
    }
    EXPECT_EQ(LoginLimiter().FailureAnswerAt(123456), 124456);
}

// ---- the metrics text ---------------------------------------------------------

struct MetricsRow {
    const char* what;
    void (*write)(MetricsText* text);
    std::string expected;
    bool promtoolTakes;
};

TEST(HttpMetricsText, FamiliesAreWrittenAsPromtoolReadsThem) {
    const MetricsRow rows[] = {
        {"a counter by label, _total added",
         [](MetricsText* text) {
             text->Counter("tz52_exchanges", "Exchanges with the controllers, by result.",
                           {{{{"result", "ok"}}, 12}, {{{"result", "timeout"}}, 0}});
         },
         "# HELP tz52_exchanges_total Exchanges with the controllers, by result.\n"
         "# TYPE tz52_exchanges_total counter\n"
         "tz52_exchanges_total{result=\"ok\"} 12\n"
         "tz52_exchanges_total{result=\"timeout\"} 0\n",
         true},
        {"gauges: fractions, large numbers, no labels",
         [](MetricsText* text) {
             text->Gauge("tz52_line_busy_ratio", "Share of the time the line is busy.", {{{}, 0.25}});
             text->Gauge("tz52_resident_memory_bytes", "Resident memory.", {{{}, 3e15}});
         },
         "# HELP tz52_line_busy_ratio Share of the time the line is busy.\n"
         "# TYPE tz52_line_busy_ratio gauge\n"
         "tz52_line_busy_ratio 0.25\n"
         "# HELP tz52_resident_memory_bytes Resident memory.\n"
         "# TYPE tz52_resident_memory_bytes gauge\n"
         "tz52_resident_memory_bytes 3e+15\n",
         true},
        {"label values from outside escaped; bytes not UTF-8 replaced",
         [](MetricsText* text) {
             text->Gauge("tz52_build_info", "Build information.",
                         {{{{"version", "1.1.0"}, {"user", "a\\b\"c\nd\xff\xc3\xa9"}}, 1}});
         },
         "# HELP tz52_build_info Build information.\n"
         "# TYPE tz52_build_info gauge\n"
         "tz52_build_info{version=\"1.1.0\",user=\"a\\\\b\\\"c\\nd\xEF\xBF\xBD\xC3\xA9\"} 1\n",
         true},
        {"help text escaped",
         [](MetricsText* text) { text->Gauge("tz52_poll_lag_seconds", "Lag\\behind\nschedule.", {{{}, 0}}); },
         "# HELP tz52_poll_lag_seconds Lag\\\\behind\\nschedule.\n"
         "# TYPE tz52_poll_lag_seconds gauge\n"
         "tz52_poll_lag_seconds 0\n",
         true},
        {"a histogram: cumulative buckets, +Inf, sum and count",
         [](MetricsText* text) {
             HistogramCounts counts({0.01, 0.1});
             for (const double seconds : {0.005, 0.01, 0.05, 0.5, 0.25}) counts.Observe(seconds);
             text->Histogram("tz52_exchange_duration_seconds", "Time of one exchange.",
                             {{{{"station", "1"}}, counts}, {{{"station", "2"}}, HistogramCounts({0.01, 0.1})}});
         },
         "# HELP tz52_exchange_duration_seconds Time of one exchange.\n"
         "# TYPE tz52_exchange_duration_seconds histogram\n"
         "tz52_exchange_duration_seconds_bucket{station=\"1\",le=\"0.01\"} 2\n"
         "tz52_exchange_duration_seconds_bucket{station=\"1\",le=\"0.1\"} 3\n"
         "tz52_exchange_duration_seconds_bucket{station=\"1\",le=\"+Inf\"} 5\n"
         "tz52_exchange_duration_seconds_sum{station=\"1\"} 0.815\n"
         "tz52_exchange_duration_seconds_count{station=\"1\"} 5\n"
         "tz52_exchange_duration_seconds_bucket{station=\"2\",le=\"0.01\"} 0\n"
         "tz52_exchange_duration_seconds_bucket{station=\"2\",le=\"0.1\"} 0\n"
         "tz52_exchange_duration_seconds_bucket{station=\"2\",le=\"+Inf\"} 0\n"
         "tz52_exchange_duration_seconds_sum{station=\"2\"} 0\n"
         "tz52_exchange_duration_seconds_count{station=\"2\"} 0\n",
         true},
        {"a gauge named as a counter: promtool refuses it",
         [](MetricsText* text) { text->Gauge("tz52_writes_total", "Writes.", {{{}, 3}}); },
         "# HELP tz52_writes_total Writes.\n"
         "# TYPE tz52_writes_total gauge\n"
         "tz52_writes_total 3\n",
         false},
    };
    const Scratch scratch;
    std::string all;
    for (const MetricsRow& row : rows) {
        SCOPED_TRACE(row.what);
        MetricsText text;
        row.write(&text);
        EXPECT_EQ(text.Text(), row.expected);
        const Outcome checked = Shell("promtool check metrics", text.Text());
        EXPECT_EQ(checked.exitCode == 0, row.promtoolTakes) << checked.out << checked.err;
        if (row.promtoolTakes) all += text.Text();
    }
    const Outcome whole = Shell("promtool check metrics", all);
    EXPECT_EQ(whole.exitCode, 0) << whole.out << whole.err;
}

TEST(HttpMetricsText, ValuesReadBackAsTheyWere) {
    struct Row {
        double value;
        const char* text;
    };
    const Row rows[] = {{0, "0"},         {-3, "-3"},      {12345678901234, "12345678901234"},
                        {0.1, "0.1"},     {1e20, "1e+20"}, {-2.5e-7, "-2.5e-07"},
                        {1.0 / 0.0, "+Inf"}, {-1.0 / 0.0, "-Inf"}, {0.0 / 0.0, "NaN"}};
    for (const Row& row : rows) EXPECT_EQ(MetricValueText(row.value), row.text);
}

}  // namespace
