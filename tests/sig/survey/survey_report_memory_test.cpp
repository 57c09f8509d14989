// What the survey says about each emitter as the engine's report list changes from pass to
// pass, and which emitter a decoder's event belongs to.
#include "sig/survey/survey_report_memory.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sig::EmitterReport;
using sig::EventKind;
using sig::SurveyEmitterEvent;
using sig::SurveyReportMemory;

EmitterReport report(std::uint64_t id, double last_seen, double rf_hz = 7074000, std::uint32_t category = 0)
{
    EmitterReport r;
    r.id = id;
    r.rf_hz = rf_hz;
    r.bw_hz = 200;
    r.snr = 20;
    r.first_seen = 100;
    r.last_seen = last_seen;
    r.category = category;
    return r;
}

std::string kinds(const std::vector<SurveyEmitterEvent>& events)
{
    std::string text;
    for (const SurveyEmitterEvent& e : events) {
        text += text.empty() ? "" : " ";
        text += e.event.kind == EventKind::DETECTED ? "detected" : e.event.kind == EventKind::UPDATED ? "updated"
                : e.event.kind == EventKind::LOST                                       ? "lost"
                                                                                         : "other";
        text += ":" + std::to_string(e.id);
    }
    return text;
}

TEST(SurveyReportMemory, AnUnchangedEmitterIsAnnouncedAgainEveryTwoSecondsOfItsOwnTime)
{
    SurveyReportMemory memory;
    // Last-seen advancing 1.5 s per pass: an update every second pass.
    const std::vector<std::pair<double, std::string>> passes = {
        {101.0, "detected:1"}, {102.5, ""}, {104.0, "updated:1"}, {105.5, ""}, {107.0, "updated:1"},
    };
    for (const auto& [seen, expected] : passes)
        EXPECT_EQ(kinds(memory.update({report(1, seen)})), expected) << seen;

    // Exactly 2.0 s later is due; 1.99 s is not.
    SurveyReportMemory edge;
    edge.update({report(1, 10.0)});
    EXPECT_EQ(kinds(edge.update({report(1, 11.99)})), "");
    EXPECT_EQ(kinds(edge.update({report(1, 12.0)})), "updated:1");
}

TEST(SurveyReportMemory, AChangeOfModeVariantOrClassIsAnnouncedAtOnce)
{
    struct Case {
        const char* what;
        void (*change)(EmitterReport&);
    };
    const Case cases[] = {
        {"mode", [](EmitterReport& r) { r.mode = 6; }},
        {"variant", [](EmitterReport& r) { r.variant = "45.45/170"; }},
        {"class", [](EmitterReport& r) { r.signal_class = 3; }},
    };
    for (const Case& c : cases) {
        SurveyReportMemory memory;
        memory.update({report(4, 100.0)});
        EmitterReport changed = report(4, 100.1);
        c.change(changed);
        std::vector<SurveyEmitterEvent> const events = memory.update({changed});
        EXPECT_EQ(kinds(events), "updated:4") << c.what;
        // Nothing new on the next pass: the change is remembered.
        changed.last_seen = 100.2;
        EXPECT_EQ(kinds(memory.update({changed})), "") << c.what;
    }
    // A change of frequency, bandwidth or SNR alone waits for the 2 s repeat.
    SurveyReportMemory memory;
    memory.update({report(4, 100.0)});
    EmitterReport moved = report(4, 100.5, 7075000);
    moved.snr = 30;
    moved.bw_hz = 900;
    EXPECT_EQ(kinds(memory.update({moved})), "");
}

TEST(SurveyReportMemory, AnEmitterThatLeavesTheListIsLostOnceAndDetectedAgainWhenItReturns)
{
    SurveyReportMemory memory;
    EXPECT_EQ(kinds(memory.update({report(7, 100), report(3, 100), report(5, 100)})),
              "detected:7 detected:3 detected:5");
    std::vector<SurveyEmitterEvent> const gone = memory.update({report(3, 101)});
    EXPECT_EQ(kinds(gone), "lost:5 lost:7");  // in identifier order
    EXPECT_DOUBLE_EQ(gone[0].event.t, 100.0);  // the time it was last seen
    EXPECT_EQ(memory.size(), 1u);
    EXPECT_EQ(kinds(memory.update({report(3, 101.5)})), "");
    EXPECT_EQ(kinds(memory.update({report(3, 101.6), report(5, 108)})), "detected:5");
    EXPECT_EQ(kinds(memory.update({})), "lost:3 lost:5");
    EXPECT_EQ(kinds(memory.update({})), "");
}

TEST(SurveyReportMemory, EventsCarryTheReportAndItsBand)
{
    SurveyReportMemory memory;
    EmitterReport r = report(9, 104.0, 13500000, 1);
    r.mode = 1;
    r.variant = "x";
    r.signal_class = 2;
    r.snr = 17.5;
    r.bw_hz = 60;
    std::vector<SurveyEmitterEvent> const events = memory.update({r, report(10, 104.0, 14074000, 0)});
    ASSERT_EQ(events.size(), 2u);
    const sig::Event& e = events[0].event;
    EXPECT_FALSE(events[0].ham);
    EXPECT_TRUE(events[1].ham);
    EXPECT_DOUBLE_EQ(e.t, 100.0);  // detected at its first sighting
    EXPECT_EQ(e.mode, sig::Mode::PSK31);
    EXPECT_EQ(e.variant, "x");
    EXPECT_EQ(e.signal_class, 2u);
    EXPECT_DOUBLE_EQ(e.rf_hz, 13500000);
    EXPECT_DOUBLE_EQ(e.bw_hz, 60);
    EXPECT_DOUBLE_EQ(e.snr, 17.5);
    EXPECT_TRUE(e.text.empty());
    EXPECT_EQ(e.audio_hz, 0.0);
}

TEST(SurveyReportMemory, AnEventBelongsToTheNearestEmitterWithinItsBandwidthOr500Hz)
{
    std::vector<EmitterReport> snapshot = {report(1, 0, 7074000), report(2, 0, 7080000)};
    snapshot[1].bw_hz = 3000;
    struct Case {
        double rf_hz;
        std::uint64_t id;
    };
    const Case cases[] = {
        {7074400, 1},  // 400 Hz from a 200 Hz emitter: within 500
        {7074500, 1},  // the limit itself counts
        {7074600, 0},  // 600 Hz: nobody's
        {7082900, 2},  // within the wide emitter's 3000 Hz
        {7083001, 0},
        {7077000, 2},  // 3000 Hz from the wide one, 3000 from the narrow one's limit: only 2 qualifies
    };
    for (const Case& c : cases)
        EXPECT_EQ(SurveyReportMemory::nearest_emitter(snapshot, c.rf_hz), c.id) << c.rf_hz;

    // Equally near: the first in the list.
    std::vector<EmitterReport> const twins = {report(5, 0, 7000000), report(6, 0, 7000400)};
    EXPECT_EQ(SurveyReportMemory::nearest_emitter(twins, 7000200), 5u);
    EXPECT_EQ(SurveyReportMemory::nearest_emitter(twins, 7000201), 6u);
}

}  // namespace
