#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// Keys of options that take a value (72 long option names, "audio-channel" .. "wav").
std::set<std::string> const& config_value_keys();

// Keys of on/off options, written "--KEY" or "--no-KEY": stats, daemon, pskreporter, wsprnet,
// survey, known-channels, known-channels-report.
std::set<std::string> const& config_switch_keys();

// Builds both key sets now rather than on first use; the start-up initialiser calls it so that
// the static tables are built in a fixed order. Calling it again does nothing.
void init_config_keys();

// Reads and checks a whole configuration file: key = value lines, "#" and ";" comments, quoted
// values; switch values normalised to "true" or "false". Entries ordered by key (byte order).
// Throws std::runtime_error with the user's message (line errors as "PATH:LINE: message").
std::map<std::string, std::string> read_config_file(std::string const& path);

// The argument list the option parser reads: argv[0] (or "norvane"), then the options the
// configuration file named by --config contributes (in key order, minus those the command line
// overrides or a one-shot command makes irrelevant), then the command-line arguments with the
// --config pair removed. Without --config it is argv itself. Throws std::runtime_error for
// --config misuse, a value option without its value, and every error of read_config_file.
std::vector<std::string> expand_configuration(int argc, char const* const* argv);
