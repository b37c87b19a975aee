// tz52 bridge --config FILE: the file is read whole and bounded first (it
// comes from outside), then parsed by CLI11's TOML-style configuration
// reader; each key goes to the bridge's option of the same name, which
// checks its value as on the command line. CLI11 knows no line numbers, so
// each key's line is found again in the lines read.
#include "tools/tz52/commands/bridge_config.h"

#include <CLI/CLI.hpp>

#include <map>
#include <sstream>

#include "tools/common/cli/quoted.h"
#include "tools/common/text/text_input.h"
#include "tools/common/text/trim.h"
#include "tools/tz52/command_line.h"

namespace {

// Keys that would make no sense in a file: they say what to do with one.
bool IsFileKeyRefused(const std::string& key) { return key == "config" || key == "check" || key == "help"; }

// The key a line sets ("" for a blank line, a comment or a section), as
// CLI11 reads it: the text before '=', or the whole line (a flag).
std::string KeyOfLine(const std::string& line) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';' || text[0] == '[') return "";
    std::string key = Trim(text.substr(0, text.find('=')));
    if (key.size() >= 2 && (key[0] == '"' || key[0] == '\'') && key.back() == key[0]) key = key.substr(1, key.size() - 2);
    return key;
}

class KeyLines {
public:
    KeyLines(const std::string& path, const std::vector<std::string>& lines) : path_(Printable(path)), lines_(lines) {}

    // FILE:LINE of the next line that sets `key`, from `from` (0-based) on;
    // *at gets its index.
    std::string Next(const std::string& key, size_t from, size_t* at, const std::string& holding = "") const {
        for (size_t index = from; index < lines_.size(); ++index) {
            if (KeyOfLine(lines_[index]) != key) continue;
            if (!holding.empty() && lines_[index].find(holding) == std::string::npos) continue;
            *at = index;
            return Where(index);
        }
        *at = from;
        return path_;
    }
    std::string Where(size_t index) const { return path_ + ":" + std::to_string(index + 1); }

private:
    std::string path_;
    const std::vector<std::string>& lines_;
};

// CLI11 splits a value at commas and blanks: `point = 001M025 every 200ms`
// comes as three words, joined here again to one point.
std::vector<std::string> PointTexts(const std::vector<std::string>& words) {
    std::vector<std::string> texts;
    for (size_t index = 0; index < words.size(); ++index) {
        const std::string word = Trim(words[index]);
        if (word.empty()) continue;
        if (word == "every" && !texts.empty() && index + 1 < words.size()) {
            texts.back() += " every " + Trim(words[++index]);
        } else {
            texts.push_back(word);
        }
    }
    return texts;
}

bool TakePoints(const CLI::ConfigItem& item, const KeyLines& keyLines, size_t* pointLine,
                std::vector<ListedPoint>* points) {
    for (const std::string& text : PointTexts(item.inputs)) {
        const std::string address = text.substr(0, text.find(' '));
        size_t at = *pointLine;
        const std::string where = keyLines.Next("point", *pointLine, &at, address);
        *pointLine = at;
        points->push_back({text, where});
    }
    return true;
}

// One key given to its option, unless the command line set it.
bool ApplyKey(CLI::App* app, const CLI::ConfigItem& item, const std::string& where,
              const std::map<const CLI::Option*, bool>& fromCommandLine, std::string* error) {
    CLI::Option* option = IsFileKeyRefused(item.name) || !item.parents.empty() || item.name.empty()
                              ? nullptr
                              : app->get_option_no_throw("--" + item.name);
    if (option == nullptr || !option->get_configurable()) {
        *error = where + ": unknown key " + Quoted(item.fullname()) + " (the keys are the long options of tz52 bridge, "
                 "without --, and point)";
        return false;
    }
    if (fromCommandLine.at(option)) return true;
    std::vector<std::string> inputs = item.inputs;
    if (item.name == "allow-write" && inputs.size() > 1) {
        std::string list;
        for (const std::string& input : inputs) list += (list.empty() ? "" : ",") + Trim(input);
        inputs = {list};
    }
    if (inputs.size() != 1) {
        *error = where + ": " + item.name + " takes one value";
        return false;
    }
    const bool flag = option->get_expected_min() == 0;
    try {
        if (flag) {
            option->add_result(option->get_flag_value(item.name, CLI::ConfigTOML().to_flag(item)));
        } else {
            option->add_result(inputs);
        }
        option->run_callback();
    } catch (const CLI::Error& refusal) {
        // CLI11's own words about a flag name it as an option; the value
        // came from outside.
        *error = where + ": " +
                 (flag ? item.name + " is a flag: " + item.name + " = true, or leave it out" : Printable(refusal.what()));
        return false;
    }
    return true;
}

}  // namespace

bool ApplyBridgeConfig(CLI::App* app, const std::string& path, std::vector<ListedPoint>* points, std::string* error,
                       int* exitCode) {
    *exitCode = kExitUsage;
    std::vector<std::string> lines;
    if (!ReadTextLines(path, TextLimits{}, &lines, error)) {
        *error = "--config " + *error;
        *exitCode = kExitFileError;
        return false;
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    std::istringstream input(text);
    std::vector<CLI::ConfigItem> items;
    try {
        items = CLI::ConfigTOML().from_config(input);
    } catch (const CLI::Error& refusal) {
        *error = Printable(path) + ": " + refusal.what();
        return false;
    }
    std::map<const CLI::Option*, bool> fromCommandLine;
    for (const CLI::Option* option : app->get_options()) fromCommandLine[option] = option->count() > 0;

    const KeyLines keyLines(path, lines);
    std::map<std::string, size_t> firstLine;  // per key: the line it was set on
    size_t pointLine = 0;
    for (const CLI::ConfigItem& item : items) {
        // A section's start and end: its keys are refused one by one.
        if (item.name == "++" || item.name == "--") continue;
        if (item.name == "point" && item.parents.empty()) {
            TakePoints(item, keyLines, &pointLine, points);
            continue;
        }
        const auto seen = firstLine.find(item.fullname());
        size_t at = 0;
        const std::string where = keyLines.Next(item.name, seen == firstLine.end() ? 0 : seen->second + 1, &at);
        if (seen != firstLine.end()) {
            *error = where + ": " + Quoted(item.fullname()) + " is set twice (first at line " +
                     std::to_string(seen->second + 1) + ")";
            return false;
        }
        firstLine[item.fullname()] = at;
        if (!ApplyKey(app, item, where, fromCommandLine, error)) return false;
    }
    return true;
}
