#include "sig/line_assembler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

sig::Candidate track(std::uint32_t id, sig::Mode mode = sig::Mode::PSK31) {
    sig::Candidate c;
    c.track = id;
    c.mode = mode;
    c.audio_hz = 1500.0;
    c.bandwidth_hz = 60.0;
    c.snr_db = 12.0;
    c.snr_2500_db = -999.0;
    return c;
}

std::vector<std::string> texts(const std::vector<sig::Event>& events) {
    std::vector<std::string> out;
    for (const sig::Event& e : events) out.push_back(e.kind == sig::EventKind::TEXT ? e.text : "spot " + e.call);
    return out;
}

using Lines = std::vector<std::string>;

TEST(LineAssembly, TextSplitAcrossBlocksBecomesOneLineWhenTheTrackFallsSilent) {
    sig::LineAssembler assembler;
    sig::Candidate c = track(3);
    EXPECT_TRUE(assembler.append(c, "CQ CQ DE Q1", 100.0).empty());
    c.audio_hz = 1502.5;  // the latest description wins
    c.snr_2500_db = -3.5;
    EXPECT_TRUE(assembler.append(c, "ABC Q1ABC K", 100.5).empty());
    EXPECT_TRUE(assembler.flush_aged(101.99).empty());  // idle 1.49 s

    const std::vector<sig::Event> events = assembler.flush_aged(102.0);
    ASSERT_EQ(texts(events), (Lines{"CQ CQ DE Q1ABC Q1ABC K", "spot Q1ABC"}));
    const sig::Event& text = events[0];
    EXPECT_EQ(text.kind, sig::EventKind::TEXT);
    EXPECT_EQ(text.t, 100.5);  // the time of the last text, not of the flush
    EXPECT_EQ(text.mode, sig::Mode::PSK31);
    EXPECT_EQ(text.track, 3u);
    EXPECT_EQ(text.audio_hz, 1502.5);
    EXPECT_EQ(text.bw_hz, 60.0);
    EXPECT_EQ(text.snr, -3.5);  // the 2500 Hz figure once measured
    EXPECT_EQ(text.rf_hz, 0.0);  // the owner places it
    ASSERT_EQ(text.calls.size(), 1u);
    EXPECT_EQ(text.calls[0].call, "Q1ABC");
    EXPECT_EQ(text.calls[0].evidence, "DE");
    EXPECT_FLOAT_EQ(text.calls[0].conf, 0.95f);

    const sig::Event& spot = events[1];
    EXPECT_EQ(spot.kind, sig::EventKind::SPOT);
    EXPECT_EQ(spot.t, 100.5);
    EXPECT_EQ(spot.call, "Q1ABC");
    EXPECT_FLOAT_EQ(spot.conf, 0.95f);
    EXPECT_TRUE(spot.text.empty());
    ASSERT_EQ(spot.calls.size(), 1u);
    EXPECT_EQ(spot.calls[0].call, "Q1ABC");
    EXPECT_EQ(spot.track, 3u);
    EXPECT_EQ(spot.snr, -3.5);

    // The track stays known with an empty line.
    EXPECT_TRUE(assembler.flush_aged(200.0).empty());
}

TEST(LineAssembly, BlanksAndControlBytes) {
    sig::LineAssembler assembler;
    EXPECT_TRUE(assembler.append(track(1), " \t\r\n\x01\x7F\v\f", 10.0).empty());
    EXPECT_TRUE(assembler.flush_aged(20.0).empty());  // nothing entered the line, no time either

    EXPECT_TRUE(assembler.append(track(1), "  abc\r\n\tdef  ", 30.0).empty());
    EXPECT_TRUE(assembler.append(track(1), "caf\xC3\xA9\x02!", 30.5).empty());
    const auto events = assembler.flush_aged(40.0);
    EXPECT_EQ(texts(events), (Lines{"abc def caf\xC3\xA9!"}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].t, 30.5);
    EXPECT_EQ(events[0].snr, 12.0);  // no 2500 Hz figure yet: the peak figure
}

struct LongLineCase {
    const char* name;
    std::string text;
    Lines finished;  // lines finished by the append itself
    std::string rest;  // what a later flush finishes ("" for nothing)
};

void PrintTo(const LongLineCase& c, std::ostream* os) { *os << c.name; }

class LongLines : public ::testing::TestWithParam<LongLineCase> {};

TEST_P(LongLines, AreCutAtEightyCharacters) {
    const LongLineCase& c = GetParam();
    sig::LineAssembler assembler;
    EXPECT_EQ(texts(assembler.append(track(1), c.text, 10.0)), c.finished);
    const Lines rest = texts(assembler.flush_aged(20.0));
    EXPECT_EQ(rest, c.rest.empty() ? Lines{} : Lines{c.rest});
}

const std::string a30(30, 'A'), a50(50, 'A'), a80(80, 'A'), b10(10, 'B'), b29(29, 'B'), b40(40, 'B'), b60(60, 'B');

INSTANTIATE_TEST_SUITE_P(
    Table, LongLines,
    ::testing::Values(
        LongLineCase{"exactly_eighty_is_finished_at_once", a80, {a80}, ""},
        LongLineCase{"seventy_nine_waits", std::string(79, 'A'), {}, std::string(79, 'A')},
        LongLineCase{"leading_blanks_take_no_room", " \t " + std::string(79, 'A'), {}, std::string(79, 'A')},
        LongLineCase{"no_blank_is_cut_hard", a80 + b10, {a80}, b10},
        LongLineCase{"blank_only_up_to_index_forty_is_cut_hard", a30 + " " + b60, {a30 + " " + std::string(49, 'B')},
                     std::string(11, 'B')},
        LongLineCase{"blank_at_forty_is_still_too_early", std::string(40, 'A') + " " + b40,
                     {std::string(40, 'A') + " " + b40.substr(0, 39)}, "B"},
        LongLineCase{"blank_after_forty_ends_the_line", a50 + " " + b40, {a50}, b40},
        LongLineCase{"blank_at_eighty_ends_the_line", a80 + " " + b10, {a80}, b10},
        LongLineCase{"several_lines_in_one_piece", a50 + " " + b29 + " " + a50 + " " + b40,
                     {a50 + " " + b29, a50}, b40}),
    [](const ::testing::TestParamInfo<LongLineCase>& info) { return std::string(info.param.name); });

TEST(LineAssembly, OliviaLinesWaitLongerThanOthers) {
    sig::LineAssembler assembler;
    assembler.append(track(1, sig::Mode::OLIVIA), "slow olivia text", 100.0);
    assembler.append(track(2, sig::Mode::RTTY), "rtty text", 100.0);
    EXPECT_EQ(texts(assembler.flush_aged(101.5)), (Lines{"rtty text"}));
    EXPECT_TRUE(assembler.flush_aged(104.99).empty());
    EXPECT_EQ(texts(assembler.flush_aged(105.0)), (Lines{"slow olivia text"}));
}

TEST(LineAssembly, TrackEndFinishesItsLineAndForgetsIt) {
    sig::LineAssembler assembler;
    assembler.append(track(5), "73 TU", 50.0);
    assembler.append(track(6), "other", 50.0);
    const auto events = assembler.flush_track(5, 53.0);
    EXPECT_EQ(texts(events), (Lines{"73 TU"}));
    EXPECT_EQ(events.at(0).t, 50.0);
    EXPECT_TRUE(assembler.flush_track(5, 54.0).empty());
    EXPECT_EQ(texts(assembler.flush_aged(60.0)), (Lines{"other"}));
}

TEST(LineAssembly, ConfidentCallsAreSpottedOncePerHoldAndMode) {
    sig::LineAssembler assembler;
    auto say = [&](sig::Mode mode, double t) {
        assembler.append(track(1, mode), "CQ CQ DE Q1ABC Q1ABC K", t);
        return texts(assembler.flush_aged(t + 2.0));
    };
    const Lines with_spot{"CQ CQ DE Q1ABC Q1ABC K", "spot Q1ABC"};
    const Lines without{"CQ CQ DE Q1ABC Q1ABC K"};
    EXPECT_EQ(say(sig::Mode::PSK31, 1000.0), with_spot);
    EXPECT_EQ(say(sig::Mode::PSK31, 1200.0), without);   // 200 s later
    EXPECT_EQ(say(sig::Mode::RTTY, 1210.0), with_spot);   // another mode is another spot
    EXPECT_EQ(say(sig::Mode::PSK31, 1299.9), without);
    EXPECT_EQ(say(sig::Mode::PSK31, 1300.0), with_spot);  // 300 s after the first spot
    EXPECT_EQ(say(sig::Mode::PSK31, 1400.0), without);    // the hold restarts at the new spot
}

TEST(LineAssembly, SpotsSurviveTheMemoryPruningOfOldSpots) {
    sig::LineAssembler assembler;
    // Enough distinct spotted calls to make the assembler prune its spot times several times.
    auto call = [](int n) {
        std::string c = "Q1AAAA";
        c[2] = static_cast<char>('A' + n / 676 % 26);
        c[3] = static_cast<char>('A' + n / 26 % 26);
        c[4] = static_cast<char>('A' + n % 26);
        return c;
    };
    double t = 0.0;
    for (int n = 0; n < 3000; ++n, t += 0.25) {
        assembler.append(track(1), "CQ " + call(n) + " K", t);
        ASSERT_EQ(texts(assembler.flush_track(1, t)).size(), 2u) << n;
        // A call spotted within the hold stays held whatever was pruned meanwhile.
        if (n >= 50) {
            assembler.append(track(1), "CQ " + call(n - 50) + " K", t);
            ASSERT_EQ(texts(assembler.flush_track(1, t)).size(), 1u) << n;
        }
    }
    // Calls spotted more than the hold ago are spotted again.
    assembler.append(track(1), "CQ " + call(0) + " K", t + 1.0);
    EXPECT_EQ(texts(assembler.flush_track(1, t + 1.0)), (Lines{"CQ " + call(0) + " K", "spot " + call(0)}));
}

TEST(LineAssembly, ACallSeenTwiceBareBecomesARepeatWithoutSpot) {
    sig::LineAssembler assembler;
    assembler.append(track(1), "hello Q1ABC", 10.0);
    auto first = assembler.flush_track(1, 12.0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].calls.at(0).evidence, "BARE");

    assembler.append(track(2), "Q1ABC is here", 500.0);  // another track, within 600 s
    auto second = assembler.flush_track(2, 502.0);
    ASSERT_EQ(second.size(), 1u);  // 0.6 is no spot
    ASSERT_EQ(second[0].calls.size(), 1u);
    EXPECT_EQ(second[0].calls[0].evidence, "REPEAT");
    EXPECT_FLOAT_EQ(second[0].calls[0].conf, 0.6f);

    // Forgotten 600 s after it was last seen.
    assembler.append(track(3), "Q1ABC again", 1102.5);
    auto third = assembler.flush_track(3, 1103.0);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].calls.at(0).evidence, "BARE");
}

TEST(LineAssembly, FragmentsOfKnownCallsAreDropped) {
    sig::LineAssembler assembler;
    auto line = [&](const std::string& text, double t) {
        assembler.append(track(1), text, t);
        return texts(assembler.flush_track(1, t));
    };
    EXPECT_EQ(line("CQ Q1ABC", 10.0), (Lines{"CQ Q1ABC", "spot Q1ABC"}));
    // A cut-off copy of a known call is not a new station.
    EXPECT_EQ(line("CQ Q1AB", 20.0), (Lines{"CQ Q1AB"}));
    // Within one line the longer reading wins too.
    EXPECT_EQ(line("CQ Q2XY DE Q2XYZ", 30.0), (Lines{"CQ Q2XY DE Q2XYZ", "spot Q2XYZ"}));
    // A longer call that ends with a known one replaces it in the memory ...
    EXPECT_EQ(line("CQ AQ1ABC", 40.0), (Lines{"CQ AQ1ABC", "spot AQ1ABC"}));
    // ... so a piece of the old one that is no piece of the new one counts again.
    EXPECT_EQ(line("CQ Q1AB", 50.0), (Lines{"CQ Q1AB", "spot Q1AB"}));
}

TEST(LineAssembly, ALateStartMarkCoversTheTracksNextLineOnly) {
    sig::LineAssembler assembler;
    auto calls = [&](std::uint32_t id, const std::string& text, double t) {
        assembler.append(track(id), text, t);
        std::vector<std::string> out;
        for (const sig::Event& e : assembler.flush_aged(t + 2.0))
            for (const sig::CallEvidence& c : e.calls) out.push_back(e.kind == sig::EventKind::TEXT ? c.call : "spot");
        return out;
    };
    assembler.mark_late_start(4);
    EXPECT_EQ(calls(4, "Q2XYZ Q1ABC", 10.0), (Lines{"Q1ABC"}));
    EXPECT_EQ(calls(4, "Q3DEF Q4GHI", 20.0), (Lines{"Q3DEF", "Q4GHI"}));

    // A blank line does not use the mark up.
    assembler.mark_late_start(5);
    sig::PendingLine blank;
    blank.text = "   ";
    blank.last_t = 30.0;
    blank.track = 5;
    EXPECT_TRUE(assembler.finish_line(blank, 30.0).empty());
    EXPECT_EQ(calls(5, "Q5JKL Q6MNO", 40.0), (Lines{"Q6MNO"}));

    // Ending a track that never wrote clears its mark.
    assembler.mark_late_start(6);
    EXPECT_TRUE(assembler.flush_track(6, 50.0).empty());
    EXPECT_EQ(calls(6, "Q7PQR Q8STU", 60.0), (Lines{"Q7PQR", "Q8STU"}));
}

}  // namespace
