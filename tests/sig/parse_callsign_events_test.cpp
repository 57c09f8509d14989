#include "sig/parse_callsign_events.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// "CALL GRID CONF EVIDENCE; ..." with "-" for an empty grid: one string shows the whole result,
// its order included.
std::string describe(const std::vector<sig::CallEvidence>& calls) {
    std::string out;
    for (const sig::CallEvidence& c : calls) {
        char conf[16];
        std::snprintf(conf, sizeof conf, "%.2f", static_cast<double>(c.conf));
        if (!out.empty()) out += "; ";
        out += c.call + " " + (c.grid.empty() ? "-" : c.grid) + " " + conf + " " + c.evidence;
    }
    return out;
}

struct EvidenceCase {
    const char* name;
    const char* line;
    bool late_start;
    const char* expected;
};

void PrintTo(const EvidenceCase& c, std::ostream* os) { *os << c.line; }

class CallEvidence : public ::testing::TestWithParam<EvidenceCase> {};

TEST_P(CallEvidence, FindsTheCallsOfALine) {
    const EvidenceCase& c = GetParam();
    EXPECT_EQ(describe(sig::parse_callsign_events(c.line, c.late_start)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallEvidence,
    ::testing::Values(
        // CQ calls
        EvidenceCase{"cq_dx_with_locator", "cq dx q1abc fn42", false, "Q1ABC FN42 0.90 CQ"},
        EvidenceCase{"cq_cq_de", "CQ CQ DE Q1ABC Q1ABC K", false, "Q1ABC - 0.95 DE"},
        EvidenceCase{"cq_repeated_call_is_no_repeat", "CQ Q1ABC Q1ABC", false, "Q1ABC - 0.90 CQ"},
        EvidenceCase{"contest_test", "CQ TEST QA2XYZ QA2XYZ TEST", false, "QA2XYZ - 0.90 CQ"},
        EvidenceCase{"locator_before_the_call", "FN42 CQ Q1ABC", false, "Q1ABC FN42 0.90 CQ"},
        EvidenceCase{"nearest_locator_wins", "CQ Q1ABC FN42 JO22", false, "Q1ABC FN42 0.90 CQ"},
        EvidenceCase{"later_rating_fills_the_grid", "Q1ABC DE Q2XYZ CQ Q1ABC FN42", false,
                     "Q1ABC FN42 0.90 CQ; Q2XYZ - 0.95 DE"},
        // Exchanges
        EvidenceCase{"addressee_before_de", "Q1ABC DE Q2XYZ", false, "Q1ABC - 0.30 ADDRESSEE; Q2XYZ - 0.95 DE"},
        EvidenceCase{"repeated_addressee_is_one_record", "Q2XYZ Q2XYZ DE Q1ABC", false,
                     "Q2XYZ - 0.30 ADDRESSEE; Q1ABC - 0.95 DE"},
        EvidenceCase{"addressee_run_stops_at_a_word", "HELLO Q2XYZ Q3ABC DE Q1ABC", false,
                     "Q3ABC - 0.30 ADDRESSEE; Q2XYZ - 0.30 ADDRESSEE; Q1ABC - 0.95 DE"},
        EvidenceCase{"addressee_raised_to_de_keeps_its_place", "Q1ABC Q2XYZ DE Q1ABC", false,
                     "Q2XYZ - 0.30 ADDRESSEE; Q1ABC - 0.95 DE"},
        EvidenceCase{"rst_exchange", "Q2XYZ DE Q1ABC UR RST 599 599 NAME BOB QTH FN42AB Q2XYZ DE Q1ABC K", false,
                     "Q2XYZ FN42AB 0.30 ADDRESSEE; Q1ABC - 0.95 DE"},
        EvidenceCase{"lower_case_exchange", "q2xyz de q1abc", false, "Q2XYZ - 0.30 ADDRESSEE; Q1ABC - 0.95 DE"},
        EvidenceCase{"call_first_in_line_has_no_context", "Q1ABC FN42 CQ Q1ABC", false, "Q1ABC FN42 0.90 CQ"},
        EvidenceCase{"bare_and_repeat", "Q1ABC Q2XYZ Q1ABC", false, "Q1ABC - 0.60 REPEAT; Q2XYZ - 0.30 BARE"},
        EvidenceCase{"single_bare", "Q1ABC", false, "Q1ABC - 0.30 BARE"},
        EvidenceCase{"bare_call_with_locator", "Q1ABC FN42", false, "Q1ABC FN42 0.30 BARE"},
        EvidenceCase{"next_locator_before_previous", "FN42 Q1ABC JO22", false, "Q1ABC JO22 0.30 BARE"},
        // Punctuation, portable and compound calls
        EvidenceCase{"punctuation_stripped", "de <q1abc>, k", false, "Q1ABC - 0.95 DE"},
        EvidenceCase{"hyphen_inside_is_no_call", "CQ Q1-ABC", false, ""},
        EvidenceCase{"portable", "CQ Q1ABC/P", false, "Q1ABC/P - 0.90 CQ"},
        EvidenceCase{"maritime_mobile", "DE Q1ABC/MM", false, "Q1ABC/MM - 0.95 DE"},
        EvidenceCase{"qrp", "CQ Q1ABC/QRP", false, "Q1ABC/QRP - 0.90 CQ"},
        EvidenceCase{"area_digit", "CQ Q1ABC/7", false, "Q1ABC/7 - 0.90 CQ"},
        EvidenceCase{"longest_accepted", "CQ Q1ABCD/QRP", false, "Q1ABCD/QRP - 0.90 CQ"},
        EvidenceCase{"two_digit_suffix", "CQ Q1ABC/12", false, ""},
        EvidenceCase{"too_long", "CQ QA1ABCD/QRP", false, ""},
        EvidenceCase{"unknown_suffix", "CQ Q1ABC/X", false, ""},
        EvidenceCase{"prefixed_form", "CQ VE3/Q1ABC", false, ""},
        EvidenceCase{"two_slashes", "CQ Q1ABC/P/M", false, ""},
        // Noise that looks like calls: weak at most, never confident
        EvidenceCase{"locators_alone", "FN42 FN42AB JO22", false, ""},
        EvidenceCase{"psk_noise", "e t5e ao1 eeee tt4et a i5", false, "T5E - 0.30 BARE; TT4ET - 0.30 BARE"},
        EvidenceCase{"rtty_noise", "QQ0Q 3EO4 ZZ9ZZZZ 11A E5EEEEE", false,
                     "QQ0Q - 0.30 BARE; ZZ9ZZZZ - 0.30 BARE"},
        EvidenceCase{"numbers_and_q_codes", "599 73 QRZ QSL QTH 5NN", false, ""},
        EvidenceCase{"cq_before_noise", "CQ T5TTTTE", false, ""},
        // A track whose modem started late: the first word may be a cut-off tail
        EvidenceCase{"late_first_word_dropped", "Q2XYZ Q1ABC", true, "Q1ABC - 0.30 BARE"},
        EvidenceCase{"late_first_word_kept_when_repeated", "Q2XYZ Q1ABC Q2XYZ", true,
                     "Q2XYZ - 0.60 REPEAT; Q1ABC - 0.30 BARE"},
        EvidenceCase{"late_single_word", "Q1ABC", true, ""},
        EvidenceCase{"late_first_word_not_an_addressee", "Q2XYZ DE Q1ABC", true, "Q1ABC - 0.95 DE"}),
    [](const ::testing::TestParamInfo<EvidenceCase>& info) { return std::string(info.param.name); });

TEST(CallShape, LooksLikeCallsign) {
    for (const char* call : {"Q1ABC", "QA2XYZ", "0Q0ABC", "Q1A", "QA1ABCD"})
        EXPECT_TRUE(sig::looks_like_callsign(call)) << call;
    for (const char* word : {"A1", "Q1ABCDE", "0QA0XY", "Q1AB2", "q1abc", "11A", "FN42", "FN42AB", "QAB1C", "Q12"})
        EXPECT_FALSE(sig::looks_like_callsign(word)) << word;
}

TEST(CallShape, ShortLocator) {
    for (const char* grid : {"FN42", "AA00", "RR99", "FN42AB", "JO22XX"}) EXPECT_TRUE(sig::is_short_locator(grid)) << grid;
    for (const char* word : {"fn42", "FS42", "SN42", "FN4", "FN42A", "FN42AY", "FN42AB12", "F142"})
        EXPECT_FALSE(sig::is_short_locator(word)) << word;
}

TEST(CallShape, LocatorSearchSkipsCallsAndPrefersTheNextWord) {
    const std::vector<std::string> words{"FN31", "Q2XYZ", "Q1ABC", "JO22", "IO91"};
    const std::vector<bool> calls{false, true, true, false, false};
    EXPECT_EQ(sig::find_locator_after(words, calls, 2), "JO22");  // i+1
    EXPECT_EQ(sig::find_locator_after(words, calls, 1), "FN31");  // i+1 is a call, then i-1
    EXPECT_EQ(sig::find_locator_after(words, {false, true, true, false, false}, 4), "JO22");
    EXPECT_EQ(sig::find_locator_after({"Q1ABC", "DE", "X"}, {true, false, false}, 0), "");
}

TEST(CallShape, MergingKeepsTheStrongerEvidenceAndFillsTheGrid) {
    std::vector<sig::CallEvidence> result;
    sig::add_call_evidence(result, {"Q1ABC", "", 0.9f, "CQ"});
    sig::add_call_evidence(result, {"Q2XYZ", "", 0.3f, "BARE"});
    sig::add_call_evidence(result, {"Q1ABC", "FN42", 0.3f, "BARE"});
    EXPECT_EQ(describe(result), "Q1ABC FN42 0.90 CQ; Q2XYZ - 0.30 BARE");
    sig::add_call_evidence(result, {"Q2XYZ", "JO22", 0.95f, "DE"});
    sig::add_call_evidence(result, {"Q1ABC", "IO91", 0.95f, "DE"});
    EXPECT_EQ(describe(result), "Q1ABC FN42 0.95 DE; Q2XYZ JO22 0.95 DE");
}

}  // namespace
