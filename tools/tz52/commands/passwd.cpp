// tz52 passwd: a line for the HTTP face's users file, NAME:ROLE:HASH, with a
// yescrypt hash of a password asked twice on a terminal (without echo) or
// read as one line from stdin. Touches no port and loads no driver.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/bridge/http/http_users.h"
#include "tools/tz52/bridge/http/passwords.h"
#include "tools/tz52/command.h"
#include "tools/tz52/output/json.h"

namespace {

// The terminal's settings while echo is off, put back by a signal too.
struct termios savedTerminal;
volatile sig_atomic_t echoIsOff = 0;

void RestoreEchoAndDie(int signal) {
    if (echoIsOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

enum class LineRead { kLine, kNone, kTooLong, kFailed };

// One line of stdin without its line end, at most kLongestPassword bytes.
LineRead ReadStdinLine(std::string* line) {
    line->clear();
    for (;;) {
        errno = 0;
        const int c = std::getchar();
        if (c == EOF) {
            if (std::ferror(stdin)) return LineRead::kFailed;
            return line->empty() ? LineRead::kNone : LineRead::kLine;
        }
        if (c == '\n') break;
        if (line->size() == kLongestPassword) return LineRead::kTooLong;
        line->push_back(static_cast<char>(c));
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return LineRead::kLine;
}

// A line typed at the terminal without echo, after `prompt` on stderr.
// Echo goes off before the prompt shows, so that nothing typed after it is
// echoed (or flushed away).
LineRead AskWithoutEcho(const char* prompt, std::string* line) {
    struct termios quiet {};
    const bool terminal = tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    if (terminal) {
        quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        echoIsOff = 1;
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) echoIsOff = 0;
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    const LineRead read = ReadStdinLine(line);
    if (echoIsOff) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        echoIsOff = 0;
    }
    std::fputs("\n", stderr);
    return read;
}

class PasswdCommand : public Command {
public:
    const char* Usage() const override { return "[--role viewer|operator]"; }
    bool UsesDriver() const override { return false; }
    std::string Description() const override {
        return "Prints the line for user NAME of the users file of the bridge's HTTP face,\n"
               "NAME:ROLE:HASH, with a yescrypt hash of the password. On a terminal it asks\n"
               "for the password twice without echo; otherwise it reads one line from stdin.\n"
               "A NAME has no \":\" and no control characters. Add the line to the file:\n\n"
               "  tz52 passwd anna --role operator >> /etc/tz52drv/http-users\n\n"
               "Exit codes here: 1 the password was refused (empty, too long, the two differ).\n";
    }
    const char* JsonMeaning() const override { return "output for scripts: the user, role, hash and line as JSON"; }
    void Define(CLI::App* app) override {
        app->add_option("NAME", operands);
        AddValueOption(app, "--role", "ROLE", "viewer (reads only, the default) or operator (reads and writes)",
                       [this](const std::string& value) {
                           if (!ParseHttpRole(value, &role_)) {
                               RefuseOptionValue("--role", value, "a role is viewer or operator");
                           }
                       });
    }
    std::string CheckOperands() override {
        const std::string refusal = UserNameRefusal(operands[0]);
        return refusal.empty() ? "" : Quoted(operands[0]) + ": " + refusal;
    }

    int Run(Host& host) override {
        std::string password;
        const int read = ReadPassword(host, &password);
        if (read != kExitOk) return read;
        std::string hash;
        std::string error;
        const bool hashed = MakePasswordHash(password, &hash, &error);
        explicit_bzero(&password[0], password.size());
        if (!hashed) {
            Complain(host, error);
            return kExitRefused;
        }
        const std::string& name = operands[0];
        const std::string line = name + ":" + HttpRoleName(role_) + ":" + hash;
        if (host.invocation->json) {
            host.document["user"] = name;
            host.document["role"] = HttpRoleName(role_);
            host.document["hash"] = hash;
            host.document["line"] = line;
            return kExitOk;
        }
        std::printf("%s\n", line.c_str());
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            Complain(host, std::string("cannot write the line to stdout: ") + std::strerror(errno));
            return kExitFileError;
        }
        return kExitOk;
    }

private:
    int ReadPassword(Host& host, std::string* password) {
        if (!isatty(STDIN_FILENO)) return Judge(host, ReadStdinLine(password), *password);
        signal(SIGINT, RestoreEchoAndDie);
        signal(SIGTERM, RestoreEchoAndDie);
        const std::string prompt = "Password for " + Printable(operands[0]) + ": ";
        int outcome = Judge(host, AskWithoutEcho(prompt.c_str(), password), *password);
        if (outcome != kExitOk) return outcome;
        std::string again;
        outcome = Judge(host, AskWithoutEcho("The same password again: ", &again), again);
        const bool same = outcome == kExitOk && again == *password;
        if (!again.empty()) explicit_bzero(&again[0], again.size());
        if (outcome != kExitOk) return outcome;
        if (!same) {
            Complain(host, "the two passwords differ; nothing was printed");
            return kExitRefused;
        }
        return kExitOk;
    }

    int Judge(Host& host, LineRead read, const std::string& password) {
        switch (read) {
        case LineRead::kFailed:
            Complain(host, std::string("cannot read the password from stdin: ") + std::strerror(errno));
            return kExitFileError;
        case LineRead::kTooLong:
            Complain(host, "the password is longer than " + std::to_string(kLongestPassword) + " bytes");
            return kExitRefused;
        case LineRead::kNone:
        case LineRead::kLine:
            break;
        }
        if (password.empty()) {
            Complain(host, "no password given (an empty one is refused)");
            return kExitRefused;
        }
        if (password.find('\0') != std::string::npos) {
            Complain(host, "the password has a NUL byte");
            return kExitRefused;
        }
        return kExitOk;
    }

    HttpRole role_ = HttpRole::kViewer;
};

}  // namespace

std::unique_ptr<Command> MakePasswdCommand() { return std::make_unique<PasswdCommand>(); }
