// The command line. Called with a first argument that begins with "--" (or is "-h"), catadump takes options
// and then its operands, `catadump [OPTIONS] DB [OUT]`, OUT omitted meaning standard output; "--" ends
// the options. Any other call behaves as it always has: two arguments are the database and the output,
// any other count asks for both paths; only an output that begins with "--", an option put after the
// database, is a usage error. In every form an operand "-" is a standard stream: standard input
// for the database, standard output for the list.
//
// With -o OUT (--output=OUT) or --output-dir=DIR every operand is an input: a database, "-", or a folder
// searched for databases. -o puts every input's rows into one list, each row with its source;
// --output-dir writes one list per input. A first argument -o or -v also starts the options form.
#pragma once

#include <string>
#include <vector>

#include "formats/output_format.h"

namespace catadump {

struct CommandLine {
    enum class Action { convert, choosePaths, help, version, usageError };
    // One database into one list; many inputs into one list (-o); one list per input (--output-dir).
    enum class Form { single, combined, perInput };
    Action action = Action::choosePaths;
    Form form = Form::single;
    std::string database;
    std::string output;               // the list, or for --output-dir the folder of the lists
    std::vector<std::string> inputs;  // the operands of the collection forms
    unsigned jobs = 0;                // inputs converted at once: 0 one per core
    std::string summary;              // where the provenance of every input goes, as JSON Lines ("" none)
    bool verbose = false;             // each input's own console lines in the collection forms
    EntryFilter filter;               // the entries listed
    bool recover = false;             // go on past damage, every row with its status (not in qlx)
    unsigned threads = 0;             // bzip2 workers: 0 one per core, 1 the single-threaded filter
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
inline constexpr const char* optionsUsageLine = "usage: catadump [OPTIONS] <quillseek.db> [<out>]\n"
                                                "       catadump [OPTIONS] -o <out> <input>...\n"
                                                "       catadump [OPTIONS] --output-dir=<dir> <input>...\n";

}  // namespace catadump
