// The command line a run starts with: the host's command, then its arguments
// quoted for whatever splits them again in the child.
#pragma once

#include <string>

// `command` unchanged, then each argument quoted so that the Microsoft C
// runtime hands it to the child exactly. A negative argc means none; a null
// argv means none; a null entry is an empty argument.
std::string ComposeCommandLine(const char *command, int argc, const char *const *argv);
void AppendQuotedArgument(std::string &line, const char *argument);
