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

// The index of every line that sets a key at the top of the file (before
// the first section, whose keys are refused anyway), in order.
std::vector<size_t> TopLevelKeyLines(const std::vector<std::string>& lines) {
    std::vector<size_t> indexes;
    for (size_t index = 0; index < lines.size(); ++index) {
        const std::string text = Trim(lines[index]);
        if (!text.empty() && text[0] == '[') break;
        if (!KeyOfLine(lines[index]).empty()) indexes.push_back(index);
    }
    return indexes;
}

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

// The points of every `point` line, each named by its own line. CLI11 joins
// the values of neighbouring lines with the same key into one item, so each
// line is read again on its own.
bool TakePoints(const std::string& path, const std::vector<std::string>& lines, std::vector<ListedPoint>* points,
                std::string* error) {
    for (const size_t index : TopLevelKeyLines(lines)) {
        if (KeyOfLine(lines[index]) != "point") continue;
        const std::string where = Printable(path) + ":" + std::to_string(index + 1);
        std::istringstream input(lines[index] + "\n");
        std::vector<CLI::ConfigItem> items;
        try {
            items = CLI::ConfigTOML().from_config(input);
        } catch (const CLI::Error& refusal) {
            *error = where + ": " + Printable(refusal.what());
            return false;
        }
        for (const CLI::ConfigItem& item : items) {
            for (const std::string& text : PointTexts(item.inputs)) points->push_back({text, where});
        }
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
    for (size_t index = 0; index < lines.size(); ++index) {
        // A C string further on would end at the NUL: `port = tz52\0x`
        // would check as tz52.
        if (lines[index].find('\0') != std::string::npos) {
            *error = Printable(path) + ":" + std::to_string(index + 1) + ": a NUL byte, which no configuration holds";
            return false;
        }
        text += lines[index] + "\n";
    }
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

    // Each key once: CLI11 would join the values of a key set on two
    // neighbouring lines into one, and take the last of two apart.
    std::map<std::string, size_t> keyLine;  // per key: the line it is set on
    for (const size_t index : TopLevelKeyLines(lines)) {
        const std::string key = KeyOfLine(lines[index]);
        if (key == "point") continue;
        const auto seen = keyLine.find(key);
        if (seen != keyLine.end()) {
            *error = Printable(path) + ":" + std::to_string(index + 1) + ": " + Quoted(key) +
                     " is set twice (first at line " + std::to_string(seen->second + 1) + ")";
            return false;
        }
        keyLine[key] = index;
    }
    bool pointsTaken = false;
    for (const CLI::ConfigItem& item : items) {
        // A section's start and end: its keys are refused one by one.
        if (item.name == "++" || item.name == "--") continue;
        if (item.name == "point" && item.parents.empty()) {
            if (!pointsTaken && !TakePoints(path, lines, points, error)) return false;
            pointsTaken = true;
            continue;
        }
        const auto line = keyLine.find(item.fullname());
        std::string where = Printable(path);
        if (line != keyLine.end()) {
            where += ":" + std::to_string(line->second + 1);
        } else {
            // A key in a section: the first line that names it.
            for (size_t index = 0; index < lines.size(); ++index) {
                if (KeyOfLine(lines[index]) == item.name) {
                    where += ":" + std::to_string(index + 1);
                    break;
                }
            }
        }
        if (!ApplyKey(app, item, where, fromCommandLine, error)) return false;
    }
    return true;
}
