// The collection forms of the program: many inputs (databases, standard input, folders searched for
// databases) converted into one list whose rows carry their source (-o), or into one list per input in a
// tree that mirrors the inputs (--output-dir). Inputs are converted several at once; the list and the
// console come out in input order whatever the number. A damaged, unreadable or fatal input never stops
// the others: each gets a console line, and the run a closing line.
#pragma once

#include "driver/options.h"
#include "driver/progress.h"

namespace catadump {

// Runs the collection the command line describes; the exit code: 0 when every input converted cleanly,
// 2 when any reported an error, 141 when the list's pipe closed.
int runCollection(Terminal& terminal, const CommandLine& command);

// The name of an input's list in --output-dir: its own name and the format's extension.
std::string listNameFor(const std::string& inputName, const OutputFormat& format);

}  // namespace catadump
