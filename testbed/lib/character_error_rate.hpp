#pragma once

#include <string>

namespace testbed {

// Edit distance (insertions, deletions, substitutions) from the sent text to the received text,
// divided by the sent length: garbage printed before or after the message counts too.
double character_error_rate(const std::string& sent, const std::string& received);

}  // namespace testbed
