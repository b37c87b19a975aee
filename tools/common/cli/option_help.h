// The option lists of the tools' --help, from the options' own definitions:
// each option with its value's name, its description beside it, further
// lines of the description under its first.
#ifndef TZ52_TOOLS_COMMON_CLI_OPTION_HELP_H
#define TZ52_TOOLS_COMMON_CLI_OPTION_HELP_H

#include <CLI/CLI.hpp>

#include <string>

// Where the descriptions start.
constexpr size_t kOptionHelpColumn = 21;

// "--port NAME", "-h, --help".
inline std::string OptionHelpNames(const CLI::Option* option) {
    std::string names;
    for (const std::string& name : option->get_snames()) names += (names.empty() ? "-" : ", -") + name;
    for (const std::string& name : option->get_lnames()) names += (names.empty() ? "--" : ", --") + name;
    const std::string type = option->get_type_name();
    if (!type.empty()) names += " " + type;
    return names;
}

// The named options of `group`, one entry each.
inline std::string OptionHelpLines(const CLI::App* app, const std::string& group) {
    std::string text;
    for (const CLI::Option* option : app->get_options()) {
        if (option->get_group() != group || option->get_lnames().empty()) continue;
        std::string names = "  " + OptionHelpNames(option);
        names += names.size() + 1 < kOptionHelpColumn ? std::string(kOptionHelpColumn - names.size(), ' ')
                                                      : "\n" + std::string(kOptionHelpColumn, ' ');
        std::string description = option->get_description();
        for (size_t at = description.find('\n'); at != std::string::npos; at = description.find('\n', at + 1)) {
            description.insert(at + 1, std::string(kOptionHelpColumn, ' '));
        }
        text += names + description + "\n";
    }
    return text;
}

// Every group of `app` in the order its options were added: a blank line,
// "Group:", its options.
inline std::string OptionHelpGroups(const CLI::App* app) {
    std::string text;
    for (const std::string& group : app->get_groups()) {
        const std::string lines = OptionHelpLines(app, group);
        if (!lines.empty()) text += "\n" + group + ":\n" + lines;
    }
    return text;
}

#endif  // TZ52_TOOLS_COMMON_CLI_OPTION_HELP_H
