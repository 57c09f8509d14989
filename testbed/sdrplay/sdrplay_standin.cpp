// A stand-in for the SDRplay API library, for tests and demonstrations without hardware.
//
// It exports the thirteen entry points of radio/sdrplay_api.hpp, emulates a table of devices
// and streams int16 IQ (a tone, or a PCM16 IQ file) through the stream callback on its own
// thread, which Init starts and Uninit joins. It checks the call order the way the real
// service does (no Select without the lock, no Init without a selected device, ...).
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
//   NORVANE_SDRPLAY_TRACE_PARAMS  "1": Update lines of the trace also show the live settings
//                             the library is asked to apply (not for overload acknowledgements,
//                             which come from the event thread)

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
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr sdrplay::ErrorCode INJECTED_FAILURE = 1;
constexpr sdrplay::ErrorCode OUT_OF_ORDER = 2;
constexpr sdrplay::ErrorCode BAD_ARGUMENT = 3;

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
    bool trace_params = false;
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
        device.duo_modes = fields.size() > 3 ? static_cast<std::uint32_t>(std::stoul(fields[3])) : 7;
        device.tuner = sdrplay::TUNER_A;
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
    c.trace_params = env("NORVANE_SDRPLAY_TRACE_PARAMS") == "1";
    return c;
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

class Standin {
public:
    std::mutex mutex;
    Config config;
    bool opened = false;
    bool locked = false;
    int selected = -1;  // index into config.devices
    sdrplay::DeviceSettings device_settings{};
    sdrplay::ChannelSettings tuner_a{};
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
    std::size_t file_position = 0;
    auto const begin = std::chrono::steady_clock::now();
    bool removed = false;
    Gate const gate(config.gate);
    for (unsigned long long k = 0; !removed && (config.blocks == 0 || k < config.blocks) && gate.pass(stop); ++k) {
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
        for (unsigned s = 0; s < n; ++s) {
            if (!config.iq_file.empty()) {
                i[s] = config.iq_file[file_position];
                q[s] = config.iq_file[file_position + 1];
                file_position = (file_position + 2) % config.iq_file.size();
            } else {
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
        if (config.realtime) {
            auto const due = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>((k + 1) * n / rate_hz));
            std::unique_lock lock(mutex);
            wake.wait_until(lock, due, [this] { return stop.load(); });
        }
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
        return INJECTED_FAILURE;
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
    return fail ? INJECTED_FAILURE : sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_ApiVersion(float* version)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("ApiVersion"))
        return INJECTED_FAILURE;
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
        return INJECTED_FAILURE;
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
    return fail ? INJECTED_FAILURE : sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_GetDevices(sdrplay::Device* devices, unsigned* count,
                                                         unsigned max_devices)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("GetDevices"))
        return INJECTED_FAILURE;
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
    if (s.call("SelectDevice", device ? device->serial : ""))
        return INJECTED_FAILURE;
    if (!s.locked || s.selected >= 0)
        return OUT_OF_ORDER;
    for (std::size_t k = 0; k < s.config.devices.size(); ++k) {
        if (device && device->handle == handle_of(static_cast<int>(k)) && s.config.devices[k].valid) {
            if (device->hw_version == sdrplay::HW_RSPDUO && device->duo_mode != sdrplay::DUO_SINGLE_TUNER)
                return BAD_ARGUMENT;
            s.selected = static_cast<int>(k);
            s.device_settings = {};
            s.device_settings.sample_rate_hz = 2000000;
            s.device_settings.rspdx_antenna = 0;
            s.tuner_a = {};
            s.tuner_a.rf_hz = 200000000;
            s.tuner_a.rsp2_antenna = 5;
            s.tuner_b = s.tuner_a;
            s.params = {&s.device_settings, &s.tuner_a, &s.tuner_b};
            return sdrplay::SUCCESS;
        }
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
    return fail ? INJECTED_FAILURE : sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_GetDeviceParams(void* handle, sdrplay::DeviceParams** params)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("GetDeviceParams"))
        return INJECTED_FAILURE;
    if (s.selected < 0 || handle != handle_of(s.selected) || !params)
        return OUT_OF_ORDER;
    s.params.tuner_a = s.config.failing.count("Params") ? nullptr : &s.tuner_a;
    *params = &s.params;
    return sdrplay::SUCCESS;
}

STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Init(void* handle, sdrplay::Callbacks* callbacks, void* context)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    if (s.call("Init"))
        return INJECTED_FAILURE;
    if (s.selected < 0 || handle != handle_of(s.selected) || s.streaming || s.thread.joinable())
        return OUT_OF_ORDER;
    if (!callbacks || !callbacks->stream_a || !callbacks->event)
        return BAD_ARGUMENT;
    double rate = s.device_settings.sample_rate_hz;
    if (s.tuner_a.decimation_enable && s.tuner_a.decimation_factor > 0)
        rate /= s.tuner_a.decimation_factor;
    if (!(rate > 0))
        return BAD_ARGUMENT;
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
    return fail ? INJECTED_FAILURE : sdrplay::SUCCESS;
}

#ifndef STANDIN_WITHOUT_UPDATE
STANDIN_EXPORT sdrplay::ErrorCode sdrplay_api_Update(void* handle, int tuner, std::uint32_t reason,
                                                     std::uint32_t ext_reason)
{
    Standin& s = standin();
    std::scoped_lock lock(s.mutex);
    std::ostringstream detail;
    detail << "tuner=" << tuner << " reason=0x" << std::hex << reason << std::dec << " ext=" << ext_reason;
    if (reason & sdrplay::UPDATE_RF_FREQUENCY)
        detail << " rf=" << static_cast<long long>(std::llround(s.tuner_a.rf_hz));
    if (s.config.trace_params && reason != sdrplay::UPDATE_OVERLOAD_ACK) {
        sdrplay::DeviceSettings const& d = s.device_settings;
        sdrplay::ChannelSettings const& t = s.tuner_a;
        detail << " agc=" << t.agc_mode << " gr=" << t.gain_reduction_db << " lna=" << int{t.lna_state}
               << " ppm=" << d.ppm << " rsp2_port=" << t.rsp2_am_port << " rsp2_antenna=" << t.rsp2_antenna
               << " duo_port=" << t.duo_tuner1_am_port << " dx_antenna=" << d.rspdx_antenna
               << " notch=" << int{d.rsp1a_rf_notch} << int{t.rsp2_rf_notch} << int{t.duo_rf_notch}
               << int{d.rspdx_rf_notch} << " mw=" << int{t.duo_tuner1_am_notch};
    }
    if (s.config.update_fails > 0) {
        --s.config.update_fails;
        s.trace("Update " + detail.str() + " failed");
        return INJECTED_FAILURE;
    }
    if (s.call("Update", detail.str()))
        return INJECTED_FAILURE;
    if (s.selected < 0 || handle != handle_of(s.selected) || !s.streaming)
        return OUT_OF_ORDER;
    if ((reason & sdrplay::UPDATE_RF_FREQUENCY) && s.config.confirm_rf && s.tuner_a.rf_hz != s.config.deaf_hz)
        s.rf_pending = true;
    return sdrplay::SUCCESS;
}
#endif

STANDIN_EXPORT char const* sdrplay_api_GetErrorString(sdrplay::ErrorCode error)
{
    switch (error) {
    case sdrplay::SUCCESS: return "Success";
    case INJECTED_FAILURE: return "Fail (stand-in: injected failure)";
    case OUT_OF_ORDER: return "Fail (stand-in: call out of order)";
    case BAD_ARGUMENT: return "Invalid parameter";
    default: return "Unknown error";
    }
}
