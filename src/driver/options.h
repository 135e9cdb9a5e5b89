// The command line. Called with a first argument that begins with "--" (or is "-h"), catadump takes options
// and then its operands, `catadump [OPTIONS] DB [OUT]`, OUT omitted meaning standard output; "--" ends
// the options. Any other call behaves as it always has: two arguments are the database and the output,
// any other count asks for both paths; only an output that begins with "--", an option put after the
// database, is a usage error. In every form an operand "-" is a standard stream: standard input
// for the database, standard output for the list.
#pragma once

#include <string>

#include "formats/output_format.h"

namespace catadump {

struct CommandLine {
    enum class Action { convert, choosePaths, help, version, usageError };
    Action action = Action::choosePaths;
    std::string database;
    std::string output;
    unsigned threads = 0;  // bzip2 workers: 0 one per core, 1 the single-threaded filter
    const OutputFormat* format = &qlxFormat();
    DateStyle dates = DateStyle::iso;
    std::string error;  // for a usage error: what is wrong, as one line without its end
};

inline constexpr const char* standardStream = "-";

// Reads the arguments after the program's name. Never opens anything.
CommandLine parseCommandLine(int argumentCount, const char* const* arguments);

// The texts of --help and --version, and the usage line of the options form.
extern const char* const helpText;
extern const char* const versionText;
inline constexpr const char* optionsUsageLine = "usage: catadump [OPTIONS] <quillseek.db> [<out>]\n";

}  // namespace catadump
