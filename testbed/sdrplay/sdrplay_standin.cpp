// A stand-in for the SDRplay API library, for tests and demonstrations without hardware.
//
// It exports the thirteen entry points of radio/sdrplay_api.hpp with the vendor's record
// layouts, emulates a table of devices and streams int16 IQ (a tone, or a PCM16 IQ file)
// through the stream callback on its own thread, which Init starts and Uninit joins. It checks
// what the real library would:
// - the call order (no Select without the lock, no Init without a selected device, ...);
// - the parameters Init finds in the records: an RF frequency outside 1 kHz..2 GHz, a sample
//   rate outside 2..10 MHz, a bandwidth or IF code the tuner does not have, or a decimation
//   factor that is not a power of two up to 64 makes Init fail with the library's failure code;
// - Update takes over only the fields its reason flags name; a changed field without its flag
//   is left unapplied and reported as ignored.
// Fresh records (at SelectDevice) hold values norvane never writes: an IF code the library
// refuses, notches on, an AGC mode norvane has no word for, a sample rate of 8 MHz. A field the
// program forgets to set therefore shows in what Init receives, or makes Init fail.
//
// The trace file gets one line per call. Init lists every value it took over ("Init fs=2000000
// ppm=0 ... rf=14082000 ..."; the fields of the selected model only); an Update lists the fields
// its flags name with their values, and "ignored=..." for changed fields it was not told about.
//
// Read once, when sdrplay_api_Open is called:
//   NORVANE_SDRPLAY_DEVICES   records "hw:serial:valid[:duo_modes]", comma separated
//                             (default "255:1A0000001:1", one RSP1A)
//   NORVANE_SDRPLAY_VERSION   the API version reported (default 3.15)
//   NORVANE_SDRPLAY_FAIL      entry points that fail, comma separated, by name without the
//                             "sdrplay_api_" prefix (e.g. "Open", "SelectDevice", "Update");
//                             "Params" makes GetDeviceParams succeed without a tuner-A part
//   NORVANE_SDRPLAY_TRACE     file to which every call appends one line
//   NORVANE_SDRPLAY_IQ_FILE   little-endian PCM16 I,Q pairs streamed in a loop instead of a tone
//   NORVANE_SDRPLAY_IQ_RATE   pairs per second of that file (default: the stream's rate); the
//                             stream interpolates linearly between them
//   NORVANE_SDRPLAY_IQ_ALIGN  seconds: when set, the file is streamed once, from the next UTC
//                             time that is a whole multiple of this (at least 0.5 s after Init),
//                             with silence before and after
//   NORVANE_SDRPLAY_TONE_HZ   tone offset from the centre (default 1000)
//   NORVANE_SDRPLAY_BLOCK     samples per delivery (default 1024)
//   NORVANE_SDRPLAY_BLOCKS    deliveries per Init before the stream falls silent (default 0:
//                             no limit)
//   NORVANE_SDRPLAY_PACE      "realtime" (default) or "fast"
//   NORVANE_SDRPLAY_FIRST_SAMPLE  sample number of the first delivery after Init (default 0)
//   NORVANE_SDRPLAY_SCRIPT    events by delivery index, "k:event[:arg]" comma separated:
//                             gap:N (sample numbers jump by N, which may be negative),
//                             reset, overload, corrected, ifgain:G, remove, failure
//   NORVANE_SDRPLAY_RF_CONFIRM  "always" (default) or "never": whether an RF update is
//                             reported by the next delivery's RF-changed flag
//   NORVANE_SDRPLAY_DEAF_HZ   an RF frequency whose update is never confirmed
//   NORVANE_SDRPLAY_GATE      a FIFO: each delivery (with the events scripted before it) waits
//                             for one byte from it, so a test decides when the stream moves on
//   NORVANE_SDRPLAY_UPDATE_FAILS  the first N Update calls after Open fail (default 0), so a
//                             refused change followed by an accepted restore can be played

#include "radio/sdrplay_api.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <numbers>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The stand-in's own codes for misuse the real library reports in its own ways.
constexpr sdrplay::ErrorCode OUT_OF_ORDER = 100;
constexpr sdrplay::ErrorCode BAD_ARGUMENT = 101;

struct ScriptEvent {
    std::string name;
    long long argument = 0;
};

struct Config {
    std::vector<sdrplay::Device> devices;
    float version = 3.15f;
    std::set<std::string> failing;
    std::string trace;
    std::vector<std::int16_t> iq_file;  // interleaved I,Q
    double iq_rate_hz = 0;              // 0: the stream's rate
    double iq_align_s = 0;
    double tone_hz = 1000;
    unsigned block = 1024;
    unsigned long long blocks = 0;
    bool realtime = true;
    std::uint32_t first_sample = 0;
    std::multimap<unsigned long long, ScriptEvent> script;
    bool confirm_rf = true;
    double deaf_hz = -1;
    std::string gate;
    unsigned long update_fails = 0;
};

std::string env(char const* name, char const* fallback = "")
{
    char const* value = std::getenv(name);
    return value ? value : fallback;
}

std::vector<std::string> split(std::string const& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

Config read_config()
{
    Config c;
    for (std::string const& record : split(env("NORVANE_SDRPLAY_DEVICES", "255:1A0000001:1"), ',')) {
        std::vector<std::string> const fields = split(record, ':');
        sdrplay::Device device{};
        device.hw_version = static_cast<std::uint8_t>(std::stoul(fields.at(0)));
        std::string const serial = fields.size() > 1 ? fields[1] : "";
        std::snprintf(device.serial, sizeof device.serial, "%s", serial.c_str());
        device.valid = fields.size() > 2 ? static_cast<std::uint8_t>(std::stoul(fields[2])) : 1;
        bool const duo = device.hw_version == sdrplay::HW_RSPDUO;
        // An RSPduo offers its modes in the mode field and has no tuner chosen yet; its
        // dual-tuner sample rate sits where a caller of an older layout looked for `valid`.
        device.duo_mode = duo ? (fields.size() > 3 ? static_cast<std::uint32_t>(std::stoul(fields[3])) : 7) : 0;
        device.tuner = duo ? 0 : sdrplay::TUNER_A;
        device.duo_sample_rate_hz = duo ? 6000000.0 : 0.0;
        c.devices.push_back(device);
    }
    c.version = std::stof(env("NORVANE_SDRPLAY_VERSION", "3.15"));
    for (std::string const& name : split(env("NORVANE_SDRPLAY_FAIL"), ','))
        c.failing.insert(name);
    c.trace = env("NORVANE_SDRPLAY_TRACE");
    if (std::string const path = env("NORVANE_SDRPLAY_IQ_FILE"); !path.empty()) {
        std::ifstream file(path, std::ios::binary);
        std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        c.iq_file.resize(bytes.size() / 4 * 2);
        for (std::size_t k = 0; k < c.iq_file.size(); ++k)
            c.iq_file[k] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * k]) |
                                                     (static_cast<std::uint8_t>(bytes[2 * k + 1]) << 8));
    }
    c.iq_rate_hz = std::stod(env("NORVANE_SDRPLAY_IQ_RATE", "0"));
    c.iq_align_s = std::stod(env("NORVANE_SDRPLAY_IQ_ALIGN", "0"));
    c.tone_hz = std::stod(env("NORVANE_SDRPLAY_TONE_HZ", "1000"));
    c.block = std::max(1u, static_cast<unsigned>(std::stoul(env("NORVANE_SDRPLAY_BLOCK", "1024"))));
    c.blocks = std::stoull(env("NORVANE_SDRPLAY_BLOCKS", "0"));
    c.realtime = env("NORVANE_SDRPLAY_PACE", "realtime") != "fast";
    c.first_sample = static_cast<std::uint32_t>(std::stoul(env("NORVANE_SDRPLAY_FIRST_SAMPLE", "0")));
    for (std::string const& entry : split(env("NORVANE_SDRPLAY_SCRIPT"), ',')) {
        std::vector<std::string> const fields = split(entry, ':');
        ScriptEvent event{fields.at(1), fields.size() > 2 ? std::stoll(fields[2]) : 0};
        c.script.emplace(std::stoull(fields[0]), event);
    }
    c.confirm_rf = env("NORVANE_SDRPLAY_RF_CONFIRM", "always") != "never";
    if (std::string const deaf = env("NORVANE_SDRPLAY_DEAF_HZ"); !deaf.empty())
        c.deaf_hz = std::stod(deaf);
    c.gate = env("NORVANE_SDRPLAY_GATE");
    c.update_fails = std::stoul(env("NORVANE_SDRPLAY_UPDATE_FAILS", "0"));
    return c;
}

// ---- The parameter records, field by field ----

struct Records {
    sdrplay::DeviceSettings device;
    sdrplay::ChannelSettings channel;
};

enum ModelSet : unsigned {
    ALL = 0,
    RSP1A_1B = 1,
    RSP2 = 2,
    DUO = 4,
    DX = 8,
};

unsigned model_set(std::uint8_t hw)
{
    switch (hw) {
    case sdrplay::HW_RSP1A:
    case sdrplay::HW_RSP1B: return RSP1A_1B;
    case sdrplay::HW_RSP2: return RSP2;
    case sdrplay::HW_RSPDUO: return DUO;
    case sdrplay::HW_RSPDX:
    case sdrplay::HW_RSPDXR2: return DX;
    default: return ALL;
    }
}

template <typename Value>
std::string text_of(Value value)
{
    std::ostringstream out;
    if constexpr (std::is_floating_point_v<Value>)
        out.precision(15);
    out << +value;
    return out.str();
}

// A field the stand-in reads: its trace name, the Update flags that make the library take it
// over (none for fields only Init reads), and the models whose Init record lists it.
struct Field {
    char const* name;
    std::uint32_t reason;
    std::uint32_t extension;
    unsigned models;
    std::string (*text)(Records const&);
};

#define FIELD(name, reason, extension, models, expression) \
    Field{name, reason, extension, models, [](Records const& r) { return text_of(r.expression); }}

Field const fields[] = {
    FIELD("fs", 0, 0, ALL, device.sample_rate.hz),
    FIELD("ppm", sdrplay::UPDATE_PPM, 0, ALL, device.ppm),
    FIELD("transfer", 0, 0, ALL, device.transfer_mode),
    FIELD("rsp1a_notch", sdrplay::UPDATE_RSP1A_RF_NOTCH, 0, RSP1A_1B, device.rsp1a.rf_notch),
    FIELD("dx_antenna", 0, sdrplay::UPDATE_EXT_RSPDX_ANTENNA, DX, device.dx.antenna),
    FIELD("dx_notch", 0, sdrplay::UPDATE_EXT_RSPDX_RF_NOTCH, DX, device.dx.rf_notch),
    FIELD("rf", sdrplay::UPDATE_RF_FREQUENCY, 0, ALL, channel.tuner.rf.hz),
    FIELD("bw", 0, 0, ALL, channel.tuner.bandwidth_khz),
    FIELD("if", 0, 0, ALL, channel.tuner.if_khz),
    FIELD("lo", 0, 0, ALL, channel.tuner.lo_mode),
    FIELD("gr", sdrplay::UPDATE_GAIN_REDUCTION, 0, ALL, channel.tuner.gain.reduction_db),
    FIELD("lna", sdrplay::UPDATE_GAIN_REDUCTION, 0, ALL, channel.tuner.gain.lna_state),
    FIELD("dc", 0, 0, ALL, channel.correction.dc_offset),
    FIELD("iq", 0, 0, ALL, channel.correction.iq_imbalance),
    FIELD("dec", 0, 0, ALL, channel.decimation.enable),
    FIELD("dec_factor", 0, 0, ALL, channel.decimation.factor),
    FIELD("wideband", 0, 0, ALL, channel.decimation.wideband_signal),
    FIELD("agc", sdrplay::UPDATE_AGC, 0, ALL, channel.agc.mode),
    FIELD("setpoint", sdrplay::UPDATE_AGC, 0, ALL, channel.agc.set_point_dbfs),
    FIELD("rsp2_port", sdrplay::UPDATE_RSP2_AM_PORT, 0, RSP2, channel.rsp2.am_port),
    FIELD("rsp2_antenna", sdrplay::UPDATE_RSP2_ANTENNA, 0, RSP2, channel.rsp2.antenna),
    FIELD("rsp2_notch", sdrplay::UPDATE_RSP2_RF_NOTCH, 0, RSP2, channel.rsp2.rf_notch),
    FIELD("duo_port", sdrplay::UPDATE_DUO_AM_PORT, 0, DUO, channel.duo.tuner1_am_port),
    FIELD("duo_am_notch", sdrplay::UPDATE_DUO_AM_NOTCH, 0, DUO, channel.duo.tuner1_am_notch),
    FIELD("duo_notch", sdrplay::UPDATE_DUO_RF_NOTCH, 0, DUO, channel.duo.rf_notch),
};

#undef FIELD

[[maybe_unused]] bool flagged(Field const& field, std::uint32_t reason, std::uint32_t extension)
{
    return (field.reason & reason) != 0 || (field.extension & extension) != 0;
}

// Copies into `to` the fields the flags name.
[[maybe_unused]] void take_over(Records& to, Records const& from, std::uint32_t reason, std::uint32_t extension)
{
    sdrplay::DeviceSettings& d = to.device;
    sdrplay::ChannelSettings& c = to.channel;
    if (reason & sdrplay::UPDATE_PPM)
        d.ppm = from.device.ppm;
    if (reason & sdrplay::UPDATE_RSP1A_RF_NOTCH)
        d.rsp1a.rf_notch = from.device.rsp1a.rf_notch;
    if (extension & sdrplay::UPDATE_EXT_RSPDX_ANTENNA)
        d.dx.antenna = from.device.dx.antenna;
    if (extension & sdrplay::UPDATE_EXT_RSPDX_RF_NOTCH)
        d.dx.rf_notch = from.device.dx.rf_notch;
    if (reason & sdrplay::UPDATE_RF_FREQUENCY)
        c.tuner.rf.hz = from.channel.tuner.rf.hz;
    if (reason & sdrplay::UPDATE_GAIN_REDUCTION) {
        c.tuner.gain.reduction_db = from.channel.tuner.gain.reduction_db;
        c.tuner.gain.lna_state = from.channel.tuner.gain.lna_state;
    }
    if (reason & sdrplay::UPDATE_AGC) {
        c.agc.mode = from.channel.agc.mode;
        c.agc.set_point_dbfs = from.channel.agc.set_point_dbfs;
    }
    if (reason & sdrplay::UPDATE_RSP2_AM_PORT)
        c.rsp2.am_port = from.channel.rsp2.am_port;
    if (reason & sdrplay::UPDATE_RSP2_ANTENNA)
        c.rsp2.antenna = from.channel.rsp2.antenna;
    if (reason & sdrplay::UPDATE_RSP2_RF_NOTCH)
        c.rsp2.rf_notch = from.channel.rsp2.rf_notch;
    if (reason & sdrplay::UPDATE_DUO_AM_PORT)
        c.duo.tuner1_am_port = from.channel.duo.tuner1_am_port;
    if (reason & sdrplay::UPDATE_DUO_AM_NOTCH)
        c.duo.tuner1_am_notch = from.channel.duo.tuner1_am_notch;
    if (reason & sdrplay::UPDATE_DUO_RF_NOTCH)
        c.duo.rf_notch = from.channel.duo.rf_notch;
}

bool rf_in_range(double hz) { return hz >= 1e3 && hz <= 2e9; }

// The values the library could not use, as " name=value" pairs; empty when all are fine.
std::string out_of_range(Records const& r)
{
    sdrplay::TunerSettings const& t = r.channel.tuner;
    sdrplay::Decimation const& decimation = r.channel.decimation;
    std::string refused;
    auto refuse = [&](char const* name, std::string const& value) { refused += std::string(" ") + name + "=" + value; };
    if (!rf_in_range(t.rf.hz))
        refuse("rf", text_of(t.rf.hz));
    if (!(r.device.sample_rate.hz >= 2e6 && r.device.sample_rate.hz <= 10e6))
        refuse("fs", text_of(r.device.sample_rate.hz));
    static constexpr int bandwidths[] = {200, 300, 600, 1536, 5000, 6000, 7000, 8000};
    if (std::find(std::begin(bandwidths), std::end(bandwidths), t.bandwidth_khz) == std::end(bandwidths))
        refuse("bw", text_of(t.bandwidth_khz));
    static constexpr int intermediate[] = {0, 450, 1620, 2048};
    if (std::find(std::begin(intermediate), std::end(intermediate), t.if_khz) == std::end(intermediate))
        refuse("if", text_of(t.if_khz));
    static constexpr int factors[] = {1, 2, 4, 8, 16, 32, 64};
    if (decimation.enable &&
        std::find(std::begin(factors), std::end(factors), decimation.factor) == std::end(factors))
        refuse("dec_factor", text_of(decimation.factor));
    return refused;
}

// Records as a fresh SelectDevice leaves them: see the file comment.
Records fresh_records()
{
    Records r{};
    r.device.sample_rate.hz = 8000000;
    r.device.transfer_mode = sdrplay::TRANSFER_ISOCHRONOUS;
    r.device.rsp1a.rf_notch = 1;
    r.device.dx.antenna = 0;
    r.device.dx.rf_notch = 1;
    sdrplay::ChannelSettings& c = r.channel;
    c.tuner.bandwidth_khz = 200;
    c.tuner.if_khz = -1;
    c.tuner.lo_mode = 0;
    c.tuner.gain.reduction_db = 40;
    c.tuner.gain.lna_state = 2;
    c.tuner.rf.hz = 200000000;
    c.decimation.enable = 0;
    c.decimation.factor = 1;
    c.agc.mode = 3;
    c.agc.set_point_dbfs = -60;
    c.rsp2.am_port = 0;
    c.rsp2.antenna = 5;
    c.rsp2.rf_notch = 1;
    c.duo.tuner1_am_port = 0;
    c.duo.tuner1_am_notch = 1;
    c.duo.rf_notch = 1;
    return r;
}

// Read and write, so the stream never sees an end of file between a test's writes.
class Gate {
public:
    explicit Gate(std::string const& path) : fd_(path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~Gate()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Gate(Gate const&) = delete;
    Gate& operator=(Gate const&) = delete;

    // True when the next delivery may go; false when the stream is to stop.
    bool pass(std::atomic<bool> const& stop) const
    {
        if (fd_ < 0)
            return !stop;
        while (!stop) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) {
                char byte;
                if (::read(fd_, &byte, 1) == 1)
                    return !stop;
            }
        }
        return false;
    }

private:
    int fd_;
};

// The samples of the IQ file at the stream's rate, from stream sample `first` on.
class IqFileSource {
public:
    IqFileSource(std::vector<std::int16_t> const& pairs, double file_rate_hz, double stream_rate_hz, double align_s)
        : pairs_(pairs), step_((file_rate_hz > 0 ? file_rate_hz : stream_rate_hz) / stream_rate_hz), once_(align_s > 0)
    {
        if (once_) {
            double const now_s =
                std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
            double const begin_s = std::ceil((now_s + 0.5) / align_s) * align_s;
            start_ = std::llround((begin_s - now_s) * stream_rate_hz);
        }
    }

    void fill(unsigned long long first, std::int16_t* i, std::int16_t* q, unsigned n) const
    {
        long long const length = static_cast<long long>(pairs_.size() / 2);
        for (unsigned s = 0; s < n; ++s) {
            double const position = (static_cast<double>(first + s) - static_cast<double>(start_)) * step_;
            auto const at = static_cast<long long>(std::floor(position));
            double const fraction = position - static_cast<double>(at);
            auto value = [&](long long k, int part) -> double {
                if (once_)
                    return k >= 0 && k < length ? pairs_[2 * k + part] : 0;
                return pairs_[2 * (((k % length) + length) % length) + part];
            };
            i[s] = static_cast<std::int16_t>(std::lround(value(at, 0) * (1 - fraction) + value(at + 1, 0) * fraction));
            q[s] = static_cast<std::int16_t>(std::lround(value(at, 1) * (1 - fraction) + value(at + 1, 1) * fraction));
        }
    }

private:
    std::vector<std::int16_t> const& pairs_;
    double step_;
    bool once_;
    long long start_ = 0;
};

class Standin {
public:
    std::mutex mutex;
    Config config;
    bool opened = false;
    bool locked = false;
    int selected = -1;  // index into config.devices
    Records records{};  // what the caller edits
    Records applied{};  // what the library runs with
    sdrplay::ChannelSettings tuner_b{};
    sdrplay::DeviceParams params{};
    bool streaming = false;

    // Stream thread.
    std::thread thread;
    std::atomic<bool> stop{false};
    std::condition_variable wake;
    std::atomic<bool> rf_pending{false};
    sdrplay::Callbacks callbacks{};
    void* context = nullptr;

    void trace(std::string const& line)
    {
        if (config.trace.empty())
            return;
        if (std::FILE* file = std::fopen(config.trace.c_str(), "a")) {
            std::fprintf(file, "%s\n", line.c_str());
            std::fclose(file);
        }
    }

    // Logs the call; true when the test asked it to fail.
    bool call(std::string const& name, std::string const& detail = "")
    {
        bool const fail = config.failing.count(name) != 0;
        trace(name + (detail.empty() ? "" : " " + detail) + (fail ? " failed" : ""));
        return fail;
    }

    unsigned selected_models() const { return model_set(config.devices[static_cast<std::size_t>(selected)].hw_version); }

    void join_stream(std::unique_lock<std::mutex>& lock)
    {
        if (!thread.joinable())
            return;
        stop = true;
        wake.notify_all();
        lock.unlock();
        thread.join();
        lock.lock();
        streaming = false;
    }

    void run_stream(double rate_hz);
};

Standin& standin()
{
    static Standin instance;
    return instance;
}

void* handle_of(int index) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5d0000 + index)); }

void Standin::run_stream(double rate_hz)
{
    unsigned const n = config.block;
    std::vector<std::int16_t> i(n), q(n);
    std::uint32_t sample = config.first_sample;
    double phase = 0;
    double const step = 2 * std::numbers::pi * config.tone_hz / rate_hz;
    IqFileSource const file(config.iq_file, config.iq_rate_hz, rate_hz, config.iq_align_s);
    auto const begin = std::chrono::steady_clock::now();
    bool removed = false;
    Gate const gate(config.gate);
    for (unsigned long long k = 0; !removed && (config.blocks == 0 || k < config.blocks); ++k) {
        if (config.realtime) {
            // A receiver hands over a block once its last sample has been taken.
            auto const due = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>((k + 1) * n / rate_hz));
            std::unique_lock lock(mutex);
            if (wake.wait_until(lock, due, [this] { return stop.load(); }))
                break;
        }
        if (!gate.pass(stop))
            break;
        sdrplay::StreamRecord record{};
        unsigned reset = k == 0 ? 1 : 0;
        auto const [first, last] = config.script.equal_range(k);
        for (auto it = first; it != last; ++it) {
            ScriptEvent const& event = it->second;
            sdrplay::EventRecord parameters{};
            if (event.name == "gap") {
                sample += static_cast<std::uint32_t>(event.argument);
            } else if (event.name == "reset") {
                reset = 1;
            } else if (event.name == "overload" || event.name == "corrected") {
                parameters.overload.change =
                    event.name == "overload" ? sdrplay::OVERLOAD_DETECTED : sdrplay::OVERLOAD_CORRECTED;
                callbacks.event(sdrplay::EVENT_POWER_OVERLOAD, sdrplay::TUNER_A, &parameters, context);
            } else if (event.name == "ifgain") {
                parameters.gain.if_gain_reduction_db = static_cast<std::uint32_t>(event.argument);
                callbacks.event(sdrplay::EVENT_GAIN_CHANGE, sdrplay::TUNER_A, &parameters, context);
            } else if (event.name == "remove" || event.name == "failure") {
                callbacks.event(event.name == "remove" ? sdrplay::EVENT_DEVICE_REMOVED : sdrplay::EVENT_DEVICE_FAILURE,
                                sdrplay::TUNER_A, nullptr, context);
                removed = true;
            }
        }
        if (removed)
            break;
        if (!config.iq_file.empty()) {
            file.fill(k * n, i.data(), q.data(), n);
        } else {
            for (unsigned s = 0; s < n; ++s) {
                i[s] = static_cast<std::int16_t>(std::lround(8192 * std::cos(phase)));
                q[s] = static_cast<std::int16_t>(std::lround(8192 * std::sin(phase)));
                phase = std::fmod(phase + step, 2 * std::numbers::pi);
            }
        }
        record.first_sample = sample;
        record.count = n;
        record.rf_changed = rf_pending.exchange(false) ? 1 : 0;
        callbacks.stream_a(i.data(), q.data(), &record, n, reset, context);
        sample += n;
    }
    // Silent until Uninit, like a device that stopped delivering.
    std::unique_lock lock(mutex);
    wake.wait(lock, [this] { return stop.load(); });
}

}  // namespace

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Open()
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    s.config = read_config();
    if (s.call("Open"))
        return sdrplay::FAIL;
    if (s.opened)
        return OUT_OF_ORDER;
    s.opened = true;
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Close()
{
    Standin& s = standin();
    std::unique_lock lock(s.mutex);
    bool const fail = s.call("Close", s.selected >= 0 ? "with a device still selected" : "");
    s.join_stream(lock);
    s.opened = false;
    s.locked = false;
    s.selected = -1;
    return fail ? sdrplay::FAIL : sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_ApiVersion(float* version)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("ApiVersion"))
        return sdrplay::FAIL;
    if (!s.opened || !version)
        return OUT_OF_ORDER;
    *version = s.config.version;
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_LockDeviceApi()
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("LockDeviceApi"))
        return sdrplay::FAIL;
    if (!s.opened || s.locked)
        return OUT_OF_ORDER;
    s.locked = true;
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_UnlockDeviceApi()
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    bool const fail = s.call("UnlockDeviceApi");
    if (!s.locked)
        return OUT_OF_ORDER;
    s.locked = false;
    return fail ? sdrplay::FAIL : sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_GetDevices(sdrplay::Device* devices, unsigned* count,
                                                         unsigned max_devices)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("GetDevices"))
        return sdrplay::FAIL;
    if (!s.locked)
        return OUT_OF_ORDER;
    if (!devices || !count)
        return BAD_ARGUMENT;
    unsigned const n = std::min<unsigned>(max_devices, static_cast<unsigned>(s.config.devices.size()));
    for (unsigned k = 0; k < n; ++k) {
        devices[k] = s.config.devices[k];
        devices[k].handle = handle_of(static_cast<int>(k));
    }
    *count = n;
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_SelectDevice(sdrplay::Device* device)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    std::string detail = device ? device->serial : "";
    if (device && device->hw_version == sdrplay::HW_RSPDUO)
        detail += " mode=" + std::to_string(device->duo_mode) + " tuner=" + std::to_string(device->tuner);
    if (s.call("SelectDevice", detail))
        return sdrplay::FAIL;
    if (!s.locked || s.selected >= 0)
        return OUT_OF_ORDER;
    for (std::size_t k = 0; k < s.config.devices.size(); ++k) {
        sdrplay::Device const& offered = s.config.devices[k];
        if (!device || device->handle != handle_of(static_cast<int>(k)) || !offered.valid)
            continue;
        // An RSPduo is opened in exactly one of the modes it offered, on a named tuner; the
        // stand-in streams only its single-tuner mode.
        if (offered.hw_version == sdrplay::HW_RSPDUO &&
            (device->duo_mode != sdrplay::DUO_SINGLE_TUNER || (offered.duo_mode & sdrplay::DUO_SINGLE_TUNER) == 0 ||
             device->tuner != sdrplay::TUNER_A))
            return BAD_ARGUMENT;
        s.selected = static_cast<int>(k);
        s.records = fresh_records();
        s.tuner_b = s.records.channel;
        s.params = {&s.records.device, &s.records.channel, &s.tuner_b};
        return sdrplay::SUCCESS;
    }
    return BAD_ARGUMENT;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_ReleaseDevice(sdrplay::Device* device)
{
    Standin& s = standin();
    std::unique_lock lock(s.mutex);
    bool const fail = s.call("ReleaseDevice", device ? device->serial : "");
    if (s.selected < 0 || !device || device->handle != handle_of(s.selected))
        return OUT_OF_ORDER;
    s.join_stream(lock);
    s.selected = -1;
    return fail ? sdrplay::FAIL : sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_GetDeviceParams(void* handle, sdrplay::DeviceParams** params)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("GetDeviceParams"))
        return sdrplay::FAIL;
    if (s.selected < 0 || handle != handle_of(s.selected) || !params)
        return OUT_OF_ORDER;
    s.params.tuner_a = s.config.failing.count("Params") ? nullptr : &s.records.channel;
    *params = &s.params;
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Init(void* handle, sdrplay::Callbacks* callbacks, void* context)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.config.failing.count("Init")) {
        s.trace("Init failed");
        return sdrplay::FAIL;
    }
    if (s.selected < 0 || handle != handle_of(s.selected) || s.streaming || s.thread.joinable()) {
        s.trace("Init");
        return OUT_OF_ORDER;
    }
    if (!callbacks || !callbacks->stream_a || !callbacks->event) {
        s.trace("Init");
        return BAD_ARGUMENT;
    }
    Records const received = s.records;
    if (std::string const refused = out_of_range(received); !refused.empty()) {
        s.trace("Init refused" + refused);
        return sdrplay::FAIL;
    }
    std::string line = "Init";
    unsigned const models = s.selected_models();
    for (Field const& field : fields)
        if (field.models == ALL || (field.models & models) != 0)
            line += std::string(" ") + field.name + "=" + field.text(received);
    s.trace(line);
    s.applied = received;
    double rate = received.device.sample_rate.hz;
    if (received.channel.decimation.enable)
        rate /= received.channel.decimation.factor;
    s.callbacks = *callbacks;
    s.context = context;
    s.stop = false;
    s.rf_pending = false;
    s.streaming = true;
    s.thread = std::thread([&s, rate] { s.run_stream(rate); });
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Uninit(void* handle)
{
    Standin& s = standin();
    std::unique_lock lock(s.mutex);
    bool const fail = s.call("Uninit");
    if (s.selected < 0 || handle != handle_of(s.selected) || !s.streaming)
        return OUT_OF_ORDER;
    s.join_stream(lock);
    return fail ? sdrplay::FAIL : sdrplay::SUCCESS;
}

#ifndef STANDIN_WITHOUT_UPDATE
STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Update(void* handle, int tuner, std::uint32_t reason,
                                                     std::uint32_t ext_reason)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    std::ostringstream detail;
    detail << "tuner=" << tuner << " reason=0x" << std::hex << reason << std::dec << " ext=" << ext_reason;
    // An overload acknowledgement comes from the event thread while the caller may be editing
    // the records on another: it reads none of them.
    bool const reads_records = (reason & ~sdrplay::UPDATE_OVERLOAD_ACK) != 0 || ext_reason != 0;
    Records const received = reads_records ? s.records : s.applied;
    if (reads_records)
        for (Field const& field : fields)
            if (flagged(field, reason, ext_reason))
                detail << ' ' << field.name << '=' << field.text(received);
    if (s.config.update_fails > 0) {
        --s.config.update_fails;
        s.trace("Update " + detail.str() + " failed");
        return sdrplay::FAIL;
    }
    if (s.config.failing.count("Update")) {
        s.trace("Update " + detail.str() + " failed");
        return sdrplay::FAIL;
    }
    if (s.selected < 0 || handle != handle_of(s.selected) || !s.streaming) {
        s.trace("Update " + detail.str());
        return OUT_OF_ORDER;
    }
    if ((reason & sdrplay::UPDATE_RF_FREQUENCY) && !rf_in_range(received.channel.tuner.rf.hz)) {
        s.trace("Update " + detail.str() + " refused");
        return sdrplay::FAIL;
    }
    if (reads_records) {
        take_over(s.applied, received, reason, ext_reason);
        std::string ignored;
        for (Field const& field : fields)
            if (field.text(received) != field.text(s.applied))
                ignored += (ignored.empty() ? "" : ",") + std::string(field.name);
        if (!ignored.empty())
            detail << " ignored=" << ignored;
    }
    s.trace("Update " + detail.str());
    if ((reason & sdrplay::UPDATE_RF_FREQUENCY) && s.config.confirm_rf && s.applied.channel.tuner.rf.hz != s.config.deaf_hz)
        s.rf_pending = true;
    return sdrplay::SUCCESS;
}
#endif

STANDIN_EXPORT char const* sdrplay_api_GetErrorString(sdrplay::ErrorCode error)
{
    switch (error) {
    case sdrplay::SUCCESS: return "Success";
    case sdrplay::FAIL: return "Fail";
    case OUT_OF_ORDER: return "Fail (stand-in: call out of order)";
    case BAD_ARGUMENT: return "Invalid parameter (stand-in)";
    default: return "Unknown error";
    }
}
