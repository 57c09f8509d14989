#pragma once

#include <memory>

#include "radio/radio.hpp"

struct Options;

// An RTL-SDR reached through an external rtl_tcp server at --rtl-host:--rtl-port. Connects,
// checks the server header and sends the configuration (direct sampling, rate, ppm, centre,
// gain) once; the returned radio then only streams, with no live retuning and no hardware
// controls. Failures are thrown with the user's text; the socket is closed on every path.
std::unique_ptr<Radio> make_rtl_tcp_radio(Options const& options);
