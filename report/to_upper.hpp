#pragma once

#include <string>

// ASCII a-z become A-Z; every other byte (UTF-8 included) is kept as it is.
std::string to_upper(std::string text);
