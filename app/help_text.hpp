#pragma once

#include <string>

// The usage text of -h/--help and of a run without arguments, newline-terminated. One fixed
// text: every option with its values, default and range, grouped by what it configures.
const std::string& help_text();

// "norvane " with the version number and the owner's notice, one newline-terminated line:
// the answer to --version and the first line of every run's log.
std::string version_banner();
