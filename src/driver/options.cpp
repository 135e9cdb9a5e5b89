#include "driver/options.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace catadump {

const char* const helpText =
    "usage: catadump [OPTIONS] <quillseek.db> [<out>]\n"
    "       catadump <quillseek.db> <out.qlx>\n"
    "Converts a Quillseek index database (raw or bzip2-wrapped) into a list of its folders and files.\n"
    "<quillseek.db> or <out> \"-\" is standard input or output; without <out> the list goes to standard\n"
    "output. Console lines go to standard output, or to standard error when the list does.\n"
    "\n"
    "  -h, --help       this text\n"
    "  --version        the program's name and version\n"
    "  --format=F       the list's format: qlx (the default: the .qlx list), csv (RFC 4180, ISO dates),\n"
    "                   jsonl (one JSON object a line), bodyfile (the TSK body file, for mactime) or\n"
    "                   sqlite (an SQLite database of the entries, into a named <out> only; in builds\n"
    "                   with SQLite)\n"
    "  --dates=D        dates in csv and jsonl: iso (the default: ISO 8601 UTC to 100 ns) or filetime\n"
    "                   (the stored 64-bit Windows file times)\n"
    "  --threads=N      bzip2 worker threads: 0 one per core (the default), 1 the single-threaded decoder\n"
    "                   with the rows formatted on the thread that reads them\n"
    "  --               ends the options\n";

const char* const versionText = "catadump " CATADUMP_VERSION "\n";

namespace {

bool isOption(std::string_view argument) { return argument.size() > 1 && argument[0] == '-'; }

bool parseCount(std::string_view text, unsigned& value) {
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= 1024;
}

CommandLine usageError(std::string line) {
    CommandLine command;
    command.action = CommandLine::Action::usageError;
    command.error = std::move(line);
    return command;
}

CommandLine parseOptions(int argumentCount, const char* const* arguments) {
    CommandLine command;
    std::vector<std::string_view> operands;
    bool optionsEnded = false;
    bool help = false;
    bool version = false;
    for (int i = 1; i < argumentCount; ++i) {
        std::string_view argument = arguments[i];
        if (optionsEnded || !isOption(argument)) {
            operands.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument.starts_with("--format=")) {
            std::string_view name = argument.substr(9);
            command.format = findOutputFormat(name);
            if (command.format == nullptr && name == "sqlite") {
                return usageError("catadump: this build has no sqlite format (it was built without SQLite)");
            }
            if (command.format == nullptr) {
                return usageError("catadump: --format takes qlx, csv, jsonl, bodyfile or sqlite, not '" +
                                  std::string(name) + "'");
            }
        } else if (argument.starts_with("--dates=")) {
            std::string_view style = argument.substr(8);
            if (style != "iso" && style != "filetime") {
                return usageError("catadump: --dates takes iso or filetime, not '" + std::string(style) +
                                  "'");
            }
            command.dates = style == "iso" ? DateStyle::iso : DateStyle::filetime;
        } else if (argument.starts_with("--threads=")) {
            if (!parseCount(argument.substr(10), command.threads)) {
                return usageError("catadump: --threads takes a number of threads from 0 to 1024, not '" +
                                  std::string(argument.substr(10)) + "'");
            }
        } else {
            return usageError("catadump: unknown option '" + std::string(argument) + "'");
        }
    }
    if (help) {
        command.action = CommandLine::Action::help;
        return command;
    }
    if (version) {
        command.action = CommandLine::Action::version;
        return command;
    }
    if (operands.empty()) return usageError("catadump: the database is missing");
    if (operands.size() > 2)
        return usageError("catadump: one operand too many: '" + std::string(operands[2]) + "'");
    command.action = CommandLine::Action::convert;
    command.database = operands[0];
    command.output = operands.size() == 2 ? operands[1] : standardStream;
    if (command.format->openFile != nullptr && command.output == standardStream) {
        return usageError(std::string("catadump: --format=") + command.format->name +
                          " writes a file, not standard output: name the output file");
    }
    return command;
}

}  // namespace

CommandLine parseCommandLine(int argumentCount, const char* const* arguments) {
    std::string_view first = argumentCount > 1 ? arguments[1] : "";
    if (first.starts_with("--") || first == "-h") return parseOptions(argumentCount, arguments);
    CommandLine command;
    if (argumentCount == 3) {
        std::string_view output = arguments[2];
        if (output.starts_with("--")) {
            // An option put after the database: taken for the output, it would be a file of that name.
            std::string option(output);
            return usageError("catadump: options come before the database, as in catadump " + option + " " +
                              arguments[1] + " <out>; an output named " + option + " is given as ./" +
                              option);
        }
        command.action = CommandLine::Action::convert;
        command.database = arguments[1];
        command.output = arguments[2];
    }
    return command;
}

}  // namespace catadump
