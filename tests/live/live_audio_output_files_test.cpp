// An audio channel's WAV file or socket named after a file the run already reads or writes (its
// standard error among them), or lying in its picture directory, is refused over the control
// socket, by ADD and by SET, whatever path or hard link names it, and the file keeps every byte.
#include "live/live_audio.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/run_file.hpp"
#include "core/unique_fd.hpp"
#include "tests/support/control_request.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

std::string bytes_of(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Collision {
    std::string file;  // the run's file, relative to the test directory
    std::string name;  // how the refusal names it
};

class OutputFiles : public testing::Test {
protected:
    void SetUp() override
    {
        for (char const* name : {"capture.iq", "ALL.TXT", "history.sqlite3", "history.sqlite3-journal",
                                 "history.sqlite3-wal", "history.sqlite3-shm", "signal.jsonl", "survey.jsonl",
                                 "norvane.pid", "norvane.log", "norvane.err"})
            dir.write_file(name, std::string("what ") + name + " holds\n");
        dir.write_file("other.wav", "");  // the start-up channel's recording, whenever it begins
        fs::create_directory(dir / "pictures");
        fs::create_directory(dir / "ctl");
        fs::permissions(dir / "ctl", fs::perms(0700));

        options.wideband = true;
        options.iq_file = (dir / "capture.iq").string();
        options.all_txt = (dir / "ALL.TXT").string();
        options.history_db = (dir / "history.sqlite3").string();
        options.signal_journal = (dir / "signal.jsonl").string();
        options.survey = true;
        options.survey_journal = (dir / "survey.jsonl").string();
        options.wefax_images = (dir / "pictures").string();
        options.daemon = true;
        options.pid_file = (dir / "norvane.pid").string();
        options.log_file = (dir / "norvane.log").string();
        options.audio_control = (dir / "ctl" / "control").string();
        AudioChannel other;
        other.id = "other";
        other.frequency = 7080000;
        other.wav = (dir / "other.wav").string();
        options.audio_channels.push_back(other);

        // The run was started with its standard error appending to a file.
        UniqueFd const error(::open((dir / "norvane.err").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        started_standard_streams() = standard_stream_files(-1, error.get());
        AnalysisSettings settings;
        settings.run_files = run_files(options);
        started_standard_streams().clear();
        live = std::make_unique<LiveAudio>(64000, 7100000, 64000, options.audio_control, options.audio_channels,
                                           LiveAudio::RadioHook {}, false, settings, nullptr);
        EXPECT_EQ(ask_control(control(), "ADD id=keep,frequency=7090000,wav=" + (dir / "keep.wav").string()), "OK");
    }

    fs::path control() const { return options.audio_control; }

    TempDir dir;
    Options options;
    std::unique_ptr<LiveAudio> live;
};

TEST_F(OutputFiles, EveryFileOfTheRunIsRefusedByAddAndSetAndKeepsItsBytes)
{
    std::string const here = dir.path().string();
    std::vector<Collision> const collisions = {
        {"norvane.err", "Standard error (" + here + "/norvane.err)"},
        {"capture.iq", "--iq-file"},
        {"ALL.TXT", "--all-txt"},
        {"norvane.log", "--log-file"},
        {"norvane.pid", "--pid-file"},
        {"history.sqlite3", "--history-db"},
        {"signal.jsonl", "--signal-journal"},
        {"survey.jsonl", "--survey-journal"},
        {"pictures", "--wefax-images"},
        {"history.sqlite3-journal", "The side file " + here + "/history.sqlite3-journal of --history-db"},
        {"history.sqlite3-wal", "The side file " + here + "/history.sqlite3-wal of --history-db"},
        {"history.sqlite3-shm", "The side file " + here + "/history.sqlite3-shm of --history-db"},
        {"ctl/control", "--audio-control"},
        {"ctl/control.lock", "The control socket's lock file " + here + "/ctl/control.lock"},
        {"other.wav", "The WAV file of audio channel other"},
    };
    std::map<std::string, std::string> before;
    for (Collision const& c : collisions) {
        if (fs::is_regular_file(dir / c.file))
            before[c.file] = bytes_of(dir / c.file);
        if (!fs::is_directory(dir / c.file))
            fs::create_hard_link(dir / c.file, dir / ("link-" + fs::path(c.file).filename().string()));
    }

    for (Collision const& c : collisions) {
        std::vector<std::string> spellings = {(dir / c.file).string(), (dir / "ctl" / ".." / c.file).string()};
        if (!fs::is_directory(dir / c.file))
            spellings.push_back((dir / ("link-" + fs::path(c.file).filename().string())).string());
        for (std::string const& path : spellings) {
            EXPECT_EQ(ask_control(control(), "ADD id=w,frequency=7095000,wav=" + path),
                      "ERROR " + c.name + " and the WAV file of audio channel w refer to the same file")
                << path;
            EXPECT_EQ(ask_control(control(), "SET id=keep,frequency=7091000,wav=" + path),
                      "ERROR " + c.name + " and the WAV file of audio channel keep refer to the same file")
                << path;
        }
    }
    // The control socket, by its path and by a hard link, is no listener for audio.
    for (std::string const& path : std::vector<std::string> {(dir / "ctl" / "control").string(), (dir / "link-control").string()}) {
        EXPECT_EQ(ask_control(control(), "ADD id=s,frequency=7095000,socket=" + path),
                  "ERROR --audio-control and the audio socket of audio channel s refer to the same file")
            << path;
    }

    std::string const status = ask_control(control(), "STATUS");
    EXPECT_EQ(status.find("id=w,"), std::string::npos) << status;
    EXPECT_EQ(status.find("id=s,"), std::string::npos) << status;
    EXPECT_NE(status.find("id=keep,frequency=7090000,"), std::string::npos) << status;
    live.reset();
    for (auto const& [file, bytes] : before) {
        if (file != "other.wav") {
            EXPECT_EQ(bytes_of(dir / file), bytes) << file;
        }
    }
    // The other channel's recording is its own: a header and no foreign bytes.
    EXPECT_EQ(fs::file_size(dir / "other.wav"), 44u);
    EXPECT_EQ(fs::file_size(dir / "keep.wav"), 44u);
}

// Every file in the picture directory may be a picture: a channel writes none there, by any
// path to it or by a hard link to a picture kept elsewhere, and the picture keeps its bytes.
TEST_F(OutputFiles, NoOutputLiesInThePictureDirectory)
{
    std::string const png = "\x89PNG\r\n\x1a\n a weather chart";
    fs::path const picture = dir.write_file("pictures/wefax-20250101-120000-fax.png", png);
    fs::create_hard_link(picture, dir / "chart.png");
    std::string const refused = " lies in --wefax-images, where the program saves its pictures; choose another directory";
    for (fs::path const& path : {picture, dir / "pictures" / "new.wav", dir / "ctl" / ".." / "pictures" / "new.wav",
                                 dir / "chart.png"}) {
        EXPECT_EQ(ask_control(control(), "ADD id=pic,frequency=7095000,wav=" + path.string()),
                  "ERROR The WAV file of audio channel pic" + refused)
            << path;
        EXPECT_EQ(ask_control(control(), "SET id=keep,frequency=7091000,wav=" + path.string()),
                  "ERROR The WAV file of audio channel keep" + refused)
            << path;
    }
    EXPECT_EQ(ask_control(control(), "ADD id=s,frequency=7095000,socket=" + (dir / "pictures" / "s").string()),
              "ERROR The audio socket of audio channel s" + refused);
    live.reset();
    EXPECT_EQ(bytes_of(picture), png);
    EXPECT_FALSE(fs::exists(dir / "pictures" / "new.wav"));
}

// Outputs that are files of their own are taken, and channels may share a listener's socket.
TEST_F(OutputFiles, DistinctOutputsAndASharedListenerAreTaken)
{
    EXPECT_EQ(ask_control(control(), "ADD id=w,frequency=7095000,wav=" + (dir / "w.wav").string()), "OK");
    EXPECT_EQ(ask_control(control(), "SET id=keep,frequency=7091000,wav=" + (dir / "keep.wav").string()), "OK");
    std::string const listener = (dir / "ctl" / "listener").string();
    EXPECT_EQ(ask_control(control(), "ADD id=s1,frequency=7095000,socket=" + listener), "OK");
    EXPECT_EQ(ask_control(control(), "ADD id=s2,frequency=7096000,socket=" + listener), "OK");
}

}  // namespace
