#pragma once

#include <ostream>

#include "core/options.hpp"

// `--audio-command`: sends options.audio_command as one request to the control socket at
// options.audio_control, writes the reply and a newline to out (the caller passes them on to
// standard output), and returns the exit status: 0 when the reply begins "OK", else 1. Failures
// to reach the server or to get a reply are thrown as std::runtime_error with the user's
// message. An empty command is no request at all: the caller goes on without calling this.
int run_control_client(Options const& options, std::ostream& out);
