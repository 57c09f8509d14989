#include "sig/modems/morse.hpp"

#include <array>

namespace sig {
namespace {

struct MorseRow {
    std::string_view code;
    std::string_view text;
};

// Prosigns share codes with "+" and "=": the receiver reads them as prosigns.
constexpr std::array<MorseRow, 3> kProsigns = {{
    {".-.-.", "<AR>"},
    {"...-.-", "<SK>"},
    {"-...-", "<BT>"},
}};

constexpr std::array<MorseRow, 54> kTable = {{
    {".-", "A"},       {"-...", "B"},     {"-.-.", "C"},     {"-..", "D"},      {".", "E"},
    {"..-.", "F"},     {"--.", "G"},      {"....", "H"},     {"..", "I"},       {".---", "J"},
    {"-.-", "K"},      {".-..", "L"},     {"--", "M"},       {"-.", "N"},       {"---", "O"},
    {".--.", "P"},     {"--.-", "Q"},     {".-.", "R"},      {"...", "S"},      {"-", "T"},
    {"..-", "U"},      {"...-", "V"},     {".--", "W"},      {"-..-", "X"},     {"-.--", "Y"},
    {"--..", "Z"},     {"-----", "0"},    {".----", "1"},    {"..---", "2"},    {"...--", "3"},
    {"....-", "4"},    {".....", "5"},    {"-....", "6"},    {"--...", "7"},    {"---..", "8"},
    {"----.", "9"},    {".-.-.-", "."},   {"--..--", ","},   {"..--..", "?"},   {".----.", "'"},
    {"-.-.--", "!"},   {"-..-.", "/"},    {"-.--.", "("},    {"-.--.-", ")"},   {".-...", "&"},
    {"---...", ":"},   {"-.-.-.", ";"},   {"-...-", "="},    {".-.-.", "+"},    {"-....-", "-"},
    {"..--.-", "_"},   {".-..-.", "\""},  {"...-..-", "$"},  {".--.-.", "@"},
}};

}  // namespace

std::string_view morse_decode(std::string_view symbol) {
    for (const MorseRow& row : kProsigns)
        if (row.code == symbol) return row.text;
    for (const MorseRow& row : kTable)
        if (row.code == symbol) return row.text;
    return {};
}

}  // namespace sig
