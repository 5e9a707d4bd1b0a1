#include "keyboard_layout_source.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace lorvent {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string Unquote(const std::string& text) {
    const std::string trimmed = Trim(text);
    if (trimmed.size() >= 2 && (trimmed.front() == '"' || trimmed.front() == '\'') &&
        trimmed.back() == trimmed.front())
        return trimmed.substr(1, trimmed.size() - 2);
    return trimmed;
}

std::string FirstOfList(const std::string& list) {
    return Trim(list.substr(0, list.find(',')));
}

// NAME=value lines (shell assignments, or the keys of one INI section).
std::map<std::string, std::string> Assignments(const std::string& text,
                                               const std::string& section = {}) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    std::string current;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            current = line;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos || current != section)
            continue;
        values[Trim(line.substr(0, equals))] = Unquote(line.substr(equals + 1));
    }
    return values;
}

std::optional<TXkbNames> Named(TXkbNames names) {
    if (names.layout.empty())
        return std::nullopt;
    return names;
}

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string CommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    pclose(pipe);
    return output;
}

std::optional<TXkbNames> DesktopSetting() {
    const std::string desktop = Environment("XDG_CURRENT_DESKTOP");
    if (desktop.find("GNOME") != std::string::npos) {
        const char* const get = "gsettings get org.gnome.desktop.input-sources ";
        return ParseGnomeInputSources(CommandOutput(std::string(get) + "sources 2>/dev/null"),
                                      CommandOutput(std::string(get) + "xkb-options 2>/dev/null"));
    }
    if (desktop.find("KDE") != std::string::npos) {
        std::string config = Environment("XDG_CONFIG_HOME");
        if (config.empty())
            config = Environment("HOME") + "/.config";
        return ParseKxkbrc(FileText(config + "/kxkbrc"));
    }
    return std::nullopt;
}

} // namespace

std::optional<TXkbNames> ParseLayoutOverride(const std::string& text) {
    static const std::regex pattern(R"(\s*([^;()\s]+)(?:\(([^)]*)\))?\s*(?:;([^;]*))?(?:;(.*))?)");
    std::smatch match;
    if (!std::regex_match(text, match, pattern))
        return std::nullopt;
    return Named({Trim(match[3]), match[1], Trim(match[2]), Trim(match[4])});
}

std::optional<TXkbNames> ParseDefaultKeyboard(const std::string& text) {
    auto values = Assignments(text);
    return Named({values["XKBMODEL"], FirstOfList(values["XKBLAYOUT"]),
                  FirstOfList(values["XKBVARIANT"]), values["XKBOPTIONS"]});
}

// sources: [('xkb', 'cz+qwerty'), ('ibus', 'anthy'), ('xkb', 'us')]
// xkb-options: ['caps:escape', 'compose:ralt'] or @as []
std::optional<TXkbNames> ParseGnomeInputSources(const std::string& sources,
                                                const std::string& options) {
    static const std::regex xkbSource(R"(\(\s*'xkb'\s*,\s*'([^'+]+)(?:\+([^']*))?'\s*\))");
    std::smatch match;
    if (!std::regex_search(sources, match, xkbSource))
        return std::nullopt;
    static const std::regex quoted(R"('([^']*)')");
    std::string joined;
    for (auto it = std::sregex_iterator(options.begin(), options.end(), quoted);
         it != std::sregex_iterator(); ++it)
        joined += (joined.empty() ? "" : ",") + (*it)[1].str();
    return Named({"", match[1], match[2], joined});
}

std::optional<TXkbNames> ParseKxkbrc(const std::string& text) {
    auto values = Assignments(text, "[Layout]");
    if (values["Use"] == "false")
        return std::nullopt;
    return Named({values["Model"], FirstOfList(values["LayoutList"]),
                  FirstOfList(values["VariantList"]), values["Options"]});
}

TXkbNames SessionLayoutNames() {
    // A setting that does not read as one is passed on whole, so that the
    // keymap's compiler names it in its refusal.
    if (const std::string given = Environment(kLayoutVariable); !given.empty())
        return ParseLayoutOverride(given).value_or(TXkbNames{"", given, "", ""});
    if (auto names = DesktopSetting())
        return *names;
    if (auto names = ParseDefaultKeyboard(FileText("/etc/default/keyboard")))
        return *names;
    return {"", "us", "", ""};
}

} // namespace lorvent
