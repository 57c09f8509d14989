#pragma once

#include <exception>
#include <string>

// The text of the exception the action threw; empty when it threw none.
template <typename Action>
std::string error_of(Action&& action)
{
    try {
        action();
    } catch (std::exception const& error) {
        return error.what();
    }
    return "";
}
