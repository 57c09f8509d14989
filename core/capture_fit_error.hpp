#pragma once

#include <stdexcept>
#include <string>

// A channel or passband that does not fit the capture the receiver delivers. Handlers catch it
// as a plain std::runtime_error; the distinct type lets a caller offer a receiver restart instead
// of refusing the request outright. The message already tells the user what is needed.
class CaptureFitError : public std::runtime_error {
public:
    explicit CaptureFitError(std::string const& message) : std::runtime_error(message) {}
    explicit CaptureFitError(char const* message) : std::runtime_error(message) {}
};
