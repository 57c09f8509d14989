#pragma once

#include <string_view>

// Writes the product of a one-shot command (help, version, lists, the --kill result, a control
// reply) to standard output, all of it. A full disk or a closed pipe fails the command with
// "Cannot write to standard output: " and the system's error text, instead of passing for
// success.
void write_standard_output(std::string_view text);
