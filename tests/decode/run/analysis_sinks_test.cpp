// The start-up analysis configuration a run hands its live audio: sinks, labels and the line
// that reports them.
#include "decode/run/decode_pipeline.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "live/analysis_settings.hpp"
#include "report/psk_reporter.hpp"
#include "sig/analysis_channel_spec.hpp"
#include "sig/journal_sink.hpp"
#include "sig/reporter_sink.hpp"
#include "sig/stderr_sink.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

Options analysis_options(std::string const& journal)
{
    Options options;
    options.wideband = true;
    options.backend = "rtl-sdr";
    options.serial = "0042";
    options.wefax_images = "pictures";
    options.signal_journal = journal;
    options.start_utc = "20240315_120000";
    options.analysis_channels.push_back(parse_analysis_channel("id=psk,frequency=14070000,modes=psk31"));
    return options;
}

TEST(AnalysisSinks, NoAnalysisMeansEmptySettingsAndNoLine)
{
    Options options;
    options.wideband = true;
    options.known_channels = false;
    testing::internal::CaptureStderr();
    AnalysisSettings const settings = make_analysis_sinks(options, true, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(settings.sinks.empty());
    EXPECT_FALSE(settings.reporter);
    EXPECT_EQ(settings.replay_origin, 0.0);
    EXPECT_TRUE(settings.receiver.empty());
}

TEST(AnalysisSinks, ReplayWithJournalAndReporter)
{
    TempDir dir;
    std::string const journal = (dir / "new" / "events.jsonl").string();
    auto reporter = std::make_shared<PskReporter>("K1RX", "FN31", [](std::vector<unsigned char> const&) {},
                                                  std::chrono::milliseconds(300000), PskReporter::SentHook {},
                                                  PskReportPolicy {});
    testing::internal::CaptureStderr();
    AnalysisSettings const settings = make_analysis_sinks(analysis_options(journal), true, reporter);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Signal analysis: 1 channel(s); journal=" + journal
                  + ", wefax-images=pictures, PSK Reporter spots on\n");
    reporter->stop();

    ASSERT_EQ(settings.sinks.size(), 2u);
    EXPECT_NE(dynamic_cast<sig::StderrSink*>(settings.sinks[0].get()), nullptr);
    auto const* journal_sink = dynamic_cast<sig::JournalSink*>(settings.sinks[1].get());
    ASSERT_NE(journal_sink, nullptr);
    EXPECT_EQ(journal_sink->path(), journal);
    EXPECT_NE(dynamic_cast<sig::ReporterSink*>(settings.reporter.get()), nullptr);
    EXPECT_EQ(fs::status(dir / "new").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(settings.receiver, "rtl-sdr 0042");
    EXPECT_EQ(settings.image_dir, "pictures");
    EXPECT_TRUE(settings.iq_replay);
    EXPECT_EQ(settings.replay_origin, 1710504000.0);  // 2024-03-15 12:00:00 UTC
    ASSERT_EQ(settings.channels.size(), 1u);
}

TEST(AnalysisSinks, LiveWithoutJournalOrReporter)
{
    Options options = analysis_options("");
    options.serial.clear();
    options.known_channels = true;
    options.known_channels_report = true;
    testing::internal::CaptureStderr();
    AnalysisSettings const settings = make_analysis_sinks(options, false, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Signal analysis: 1 channel(s); journal=off, wefax-images=pictures\n");
    ASSERT_EQ(settings.sinks.size(), 1u);
    EXPECT_FALSE(settings.reporter);
    EXPECT_EQ(settings.receiver, "rtl-sdr");
    EXPECT_FALSE(settings.iq_replay);
    EXPECT_EQ(settings.replay_origin, 0.0);
    EXPECT_TRUE(settings.known_channels);
    EXPECT_TRUE(settings.known_channels_report);
}

}  // namespace
