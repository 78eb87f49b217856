#include "ManPage.h"

#include <algorithm>
#include <cstdint>

namespace kzsupport {

namespace {

// Text as roff reads it: backslashes and leading dots or quotes escaped.
std::string Roff(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

void Options(const CLI::App& app, std::string& page)
{
    for (const CLI::Option* opt : app.get_options()) {
        const std::string name = opt->get_name(false, true);
        if (name.find("--help") != std::string::npos)
            continue;
        const bool value = !opt->get_type_name().empty() && opt->get_expected_min() != 0;
        page += ".TP\n\\fB" + Roff(name) + "\\fR" + (value ? " \\fI" + Roff(opt->get_type_name()) + "\\fR" : "") +
                "\n" + Roff(opt->get_description()) + "\n";
    }
}

void Commands(const CLI::App& app, const std::string& prefix, std::string& page)
{
    for (const CLI::App* sub : app.get_subcommands({})) {
        const std::string name = prefix + sub->get_name();
        if (!sub->get_subcommands({}).empty()) {
            Commands(*sub, name + " ", page);
            continue;
        }
        std::string usage;
        for (const CLI::Option* opt : sub->get_options())
            if (opt->get_positional())
                usage += " " + opt->get_name();
        page += ".SS \"" + Roff(name) + " [options]" + Roff(usage) + "\"\n" + Roff(sub->get_description()) + "\n";
        Options(*sub, page);
    }
}

} // namespace

std::string ManPage(const CLI::App& app, const std::string& version, const std::vector<ManItem>& exitStatus,
                    const std::vector<ManItem>& environment, const std::string& notes)
{
    const std::string name = app.get_name();
    std::string title = name;
    std::transform(title.begin(), title.end(), title.begin(), [](unsigned char c) { return std::toupper(c); });
    std::string page = ".TH " + title + " 1 \"\" \"" + name + " " + version + "\" \"User Commands\"\n.SH NAME\n" +
                       name + " \\- " + Roff(app.get_description().substr(app.get_description().find(':') + 2)) +
                       "\n.SH SYNOPSIS\n\\fB" + name +
                       "\\fR [\\fIglobal options\\fR] \\fIcommand\\fR [\\fIoptions\\fR] "
                       "[\\fIarguments\\fR]\n.SH GLOBAL OPTIONS\nThey go before or after the command.\n";
    Options(app, page);
    page += ".SH COMMANDS\n";
    Commands(app, "", page);
    page += ".SH EXIT STATUS\n";
    for (const auto& [code, meaning] : exitStatus)
        page += ".TP\n\\fB" + Roff(code) + "\\fR\n" + Roff(meaning) + "\n";
    page += ".SH ENVIRONMENT\n";
    for (const auto& [variable, meaning] : environment)
        page += ".TP\n\\fB" + Roff(variable) + "\\fR\n" + Roff(meaning) + "\n";
    // Paragraphs of the notes, each as one.
    page += ".SH NOTES\n";
    for (size_t at = 0, end = 0; at < notes.size(); at = end + 2) {
        end = std::min(notes.find("\n\n", at), notes.size());
        std::string paragraph = notes.substr(at, end - at);
        std::replace(paragraph.begin(), paragraph.end(), '\n', ' ');
        if (paragraph.find_first_not_of(' ') != std::string::npos)
            page += ".PP\n" + Roff(paragraph.substr(paragraph.find_first_not_of(' '))) + "\n";
    }
    return page;
}

} // namespace kzsupport
