#include "driver/options.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace catadump {

const char* const helpText =
    "usage: catadump [OPTIONS] <quillseek.db> [<out>]\n"
    "       catadump [OPTIONS] -o <out> <input>...\n"
    "       catadump [OPTIONS] --output-dir=<dir> <input>...\n"
    "       catadump <quillseek.db> <out.qlx>\n"
    "Converts a Quillseek index database (raw or bzip2-wrapped) into a list of its folders and files.\n"
    "<quillseek.db> or <out> \"-\" is standard input or output; without <out> the list goes to standard\n"
    "output. Console lines go to standard output, or to standard error when the list does.\n"
    "With -o or --output-dir every operand is an input: a database, \"-\", or a folder searched for\n"
    "databases (by their content, whatever their names; links to folders are not followed).\n"
    "\n"
    "  -h, --help       this text\n"
    "  --version        the program's name and version\n"
    "  --format=F       the list's format: qlx (the default: the .qlx list), csv (RFC 4180, ISO dates),\n"
    "                   jsonl (one JSON object a line), bodyfile (the TSK body file, for mactime),\n"
    "                   timeline (JSON Lines, an event for each date, as timeline tools import them) or\n"
    "                   sqlite (an SQLite database of the entries, into a named <out> only; in builds\n"
    "                   with SQLite)\n"
    "  --dates=D        dates in csv and jsonl: iso (the default: ISO 8601 UTC to 100 ns) or filetime\n"
    "                   (the stored 64-bit Windows file times)\n"
    "  --since=T, --until=T\n"
    "                   only entries with a date in [since, until) (timeline: only such events); T is an\n"
    "                   ISO 8601 date or date-time, UTC unless it has an offset (2021-03-04T05:06+02:00)\n"
    "  --type=K         only files (file) or only folders (folder)\n"
    "  --recover        go on past damage: every record that survives, each row with its status (intact,\n"
    "                   recovered or partial; not the qlx format)\n"
    "  --threads=N      bzip2 worker threads: 0 one per core (the default), 1 the single-threaded decoder\n"
    "                   with the rows formatted on the thread that reads them\n"
    "  -o, --output=OUT all the inputs into one list, each row with its source (not the qlx format)\n"
    "  --output-dir=DIR one list per input, in a tree of DIR that mirrors the input's path below its\n"
    "                   operand, named <input name>.<format>\n"
    "  --jobs=N         inputs converted at once: 0 one per core (the default)\n"
    "  --summary=FILE   the provenance of every input (size, SHA-256, modification time, version, rows,\n"
    "                   errors, console lines, status) as JSON Lines\n"
    "  -v, --verbose    each input's own console lines as well (with -o or --output-dir)\n"
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

// The operands of the collection forms, and what they may not be combined with.
CommandLine collectionForm(CommandLine command, const std::vector<std::string_view>& operands) {
    const bool combined = command.form == CommandLine::Form::combined;
    if (operands.empty()) return usageError("catadump: no input: name databases, folders or -");
    if (command.output.empty()) {
        return usageError(combined ? "catadump: -o takes the list's path (or - for standard output)"
                                   : "catadump: --output-dir takes a folder");
    }
    if (combined && command.format == &qlxFormat()) {
        return usageError("catadump: a qlx list has no place for the source of its rows: choose another "
                          "--format for -o, or --output-dir=DIR for one qlx list per input");
    }
    if (!combined && command.output == standardStream) {
        return usageError("catadump: --output-dir takes a folder, not standard output");
    }
    if (combined && command.format->openFile != nullptr && command.output == standardStream) {
        return usageError(std::string("catadump: --format=") + command.format->name +
                          " writes a file, not standard output: name the output file");
    }
    int standardInputs = 0;
    for (std::string_view operand : operands) standardInputs += operand == standardStream ? 1 : 0;
    if (standardInputs > 1) return usageError("catadump: standard input can be an input only once");
    if (command.summary == standardStream && combined && command.output == standardStream) {
        return usageError("catadump: the list and the summary cannot both go to standard output");
    }
    command.action = CommandLine::Action::convert;
    command.inputs.assign(operands.begin(), operands.end());
    return command;
}

// The value of an option given as "-o VALUE" (the next argument) or "--name=VALUE"; false when missing.
bool optionValue(std::string_view argument, std::string_view name, int& i, int argumentCount,
                 const char* const* arguments, std::string& value) {
    if (argument == name && name.size() == 2) {
        if (i + 1 >= argumentCount) return false;
        value = arguments[++i];
        return true;
    }
    value = std::string(argument.substr(name.size() + 1));
    return true;
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
        } else if (argument == "-o" || argument.starts_with("--output=") ||
                   argument.starts_with("--output-dir=")) {
            const bool dir = argument.starts_with("--output-dir=");
            auto form = dir ? CommandLine::Form::perInput : CommandLine::Form::combined;
            if (command.form != CommandLine::Form::single) {
                return usageError("catadump: give one of -o (--output) and --output-dir, once");
            }
            command.form = form;
            std::string_view name = argument == "-o" ? "-o" : dir ? "--output-dir" : "--output";
            if (!optionValue(argument, name, i, argumentCount, arguments, command.output)) {
                return usageError("catadump: -o takes the list's path (or - for standard output)");
            }
        } else if (argument.starts_with("--since=") || argument.starts_with("--until=")) {
            bool since = argument.starts_with("--since=");
            std::string_view text = argument.substr(8);
            uint64_t fileTime = 0;
            if (!parseFilterTime(text, fileTime)) {
                return usageError(std::string("catadump: ") + (since ? "--since" : "--until") +
                                  " takes an ISO 8601 date or date-time (2021-03-04, 2021-03-04T05:06:07Z, "
                                  "2021-03-04 05:06+02:00), not '" +
                                  std::string(text) + "'");
            }
            command.filter.dated = true;
            (since ? command.filter.since : command.filter.until) = fileTime;
        } else if (argument.starts_with("--type=")) {
            std::string_view kind = argument.substr(7);
            if (kind != "file" && kind != "folder") {
                return usageError("catadump: --type takes file or folder, not '" + std::string(kind) + "'");
            }
            command.filter.type = kind == "file" ? TypeFilter::files : TypeFilter::folders;
        } else if (argument.starts_with("--jobs=")) {
            if (!parseCount(argument.substr(7), command.jobs)) {
                return usageError("catadump: --jobs takes a number of inputs from 0 to 1024, not '" +
                                  std::string(argument.substr(7)) + "'");
            }
        } else if (argument.starts_with("--summary=")) {
            command.summary = std::string(argument.substr(10));
            if (command.summary.empty()) return usageError("catadump: --summary takes a file's path");
        } else if (argument == "-v" || argument == "--verbose") {
            command.verbose = true;
        } else if (argument == "--recover") {
            command.recover = true;
        } else if (argument.starts_with("--format=")) {
            std::string_view name = argument.substr(9);
            command.format = findOutputFormat(name);
            if (command.format == nullptr && name == "sqlite") {
                return usageError("catadump: this build has no sqlite format (it was built without SQLite)");
            }
            if (command.format == nullptr) {
                return usageError(
                    "catadump: --format takes qlx, csv, jsonl, bodyfile, timeline or sqlite, not '" +
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
    if (command.recover && command.format == &qlxFormat()) {
        return usageError("catadump: a qlx list has no place for the status of its rows: choose another "
                          "--format for --recover");
    }
    if (command.form != CommandLine::Form::single) return collectionForm(std::move(command), operands);
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
    if (command.summary == standardStream && command.output == standardStream) {
        return usageError("catadump: the list and the summary cannot both go to standard output");
    }
    return command;
}

}  // namespace

CommandLine parseCommandLine(int argumentCount, const char* const* arguments) {
    std::string_view first = argumentCount > 1 ? arguments[1] : "";
    if (first.starts_with("--") || first == "-h" || first == "-o" || first == "-v") {
        return parseOptions(argumentCount, arguments);
    }
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
