#include "core/station_checks.hpp"

#include <algorithm>
#include <string>
#include <vector>

// The reference implementation below uses std::regex, which g++ 12 warns about spuriously
// (maybe-uninitialized inside std::function) when optimising with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include <gtest/gtest.h>

namespace {

struct CheckCase {
    std::string text;
    bool valid;
};

void PrintTo(CheckCase const& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class Callsign : public testing::TestWithParam<CheckCase> {};

TEST_P(Callsign, Check) { EXPECT_EQ(is_valid_callsign(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Callsign,
    testing::Values(CheckCase{"K1ABC", true}, CheckCase{"W1AW", true}, CheckCase{"2E0ABC", true},
                    CheckCase{"K1ABC/P", true}, CheckCase{"VE3/K1ABC", true}, CheckCase{"K1A", true},
                    CheckCase{"P/K1ABC/MM", true}, CheckCase{"3DA0XYZ", true},
                    CheckCase{"11A", false},  // its prefix is the digit 1 alone
                    CheckCase{"ABC", false}, CheckCase{"/K1ABC", false}, CheckCase{"K1ABC/", false},
                    CheckCase{"K1ABC//P", false}, CheckCase{"k1abc", false}, CheckCase{"K1", false},
                    CheckCase{"", false}, CheckCase{"K1 ABC", false}, CheckCase{"K1ABC-1", false},
                    CheckCase{"P/MM", false},  // no part looks like a call
                    CheckCase{"ABCDEFG1A", false},  // prefix longer than six characters
                    CheckCase{"K1ABCDEFG", false},  // suffix longer than six letters
                    CheckCase{std::string(33, 'K'), false},
                    CheckCase{"P/P/P/P/P/P/P/P/P/P/P/P/P/K1ABC", true},     // 31 characters
                    CheckCase{"P/P/P/P/P/P/P/P/P/P/P/P/P/P/K1ABC", false}  // 33 characters
                    ));

// The reference: the whole-text rules and, per part, ECMAScript matching of the call-sign
// expression with its first capture, exactly as a regular-expression engine reports it.
bool reference_callsign(std::string const& text)
{
    static std::regex const pattern("^([A-Z0-9]{1,6})[0-9][A-Z]{1,6}$", std::regex::ECMAScript);
    if (text.size() < 3 || text.size() > 32 || text.front() == '/' || text.back() == '/' ||
        text.find("//") != std::string::npos)
        return false;
    for (char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/'))
            return false;
    }
    std::size_t start = 0;
    for (;;) {
        auto const slash = text.find('/', start);
        std::string const part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        std::smatch match;
        if (std::regex_match(part, match, pattern)) {
            std::string const prefix = match[1].str();
            if (std::any_of(prefix.begin(), prefix.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
                return true;
        }
        if (slash == std::string::npos)
            return false;
        start = slash + 1;
    }
}

// Every text of up to eight characters over a small alphabet that still exercises each rule:
// letters, digits, the separator and one character outside the allowed set.
TEST(Callsign, AgreesWithTheRegularExpressionOnEveryShortText)
{
    std::string const alphabet = "A1/k";
    std::size_t mismatches = 0;
    std::string first_mismatch;
    std::vector<std::string> level{""};
    for (int length = 1; length <= 8; ++length) {
        std::vector<std::string> next;
        for (auto const& stem : level) {
            for (char c : alphabet)
                next.push_back(stem + c);
        }
        level = std::move(next);
        for (auto const& text : level) {
            if (is_valid_callsign(text) != reference_callsign(text)) {
                if (mismatches++ == 0)
                    first_mismatch = text;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u) << "first: " << first_mismatch;

    // Long prefixes and suffixes around the six-character limits, one letter and digit kind.
    for (int prefix = 0; prefix <= 8; ++prefix) {
        for (int suffix = 0; suffix <= 8; ++suffix) {
            for (char const* head : {"A", "1"}) {
                std::string text;
                for (int i = 0; i < prefix; ++i)
                    text += (i == 0 ? head : (i % 2 == 0 ? "B" : "2"));
                text += "9";
                text.append(static_cast<std::size_t>(suffix), 'Z');
                EXPECT_EQ(is_valid_callsign(text), reference_callsign(text)) << text;
            }
        }
    }
}

class Locator : public testing::TestWithParam<CheckCase> {};

TEST_P(Locator, Check) { EXPECT_EQ(is_valid_locator(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Cases, Locator,
                         testing::Values(CheckCase{"FN31", true}, CheckCase{"FN31PR", true},
                                         CheckCase{"FN31PR12", true}, CheckCase{"AA00AA00", true},
                                         CheckCase{"RR99XX99", true}, CheckCase{"fn31", false},
                                         CheckCase{"SN31", false},    // S beyond R
                                         CheckCase{"FS31", false},    // S beyond R, second field
                                         CheckCase{"FN31PY", false},  // Y beyond X
                                         CheckCase{"FN31YP", false}, CheckCase{"FN3", false},
                                         CheckCase{"FN31P", false}, CheckCase{"FN31PR1", false},
                                         CheckCase{"FN31PR123", false}, CheckCase{"FNA1", false},
                                         CheckCase{"FN31PRA2", false}, CheckCase{"FN31pr", false},
                                         CheckCase{"", false}));

}  // namespace

