#include "radio/sdr_radio.hpp"

#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/wall_clock.hpp"
#include "radio/iq_level_meter.hpp"
#include "radio/live_sdr_settings.hpp"
#include "radio/lna_tables.hpp"
#include "radio/radio_replies.hpp"
#include "radio/sample_queue.hpp"
#include "radio/sdrplay_library.hpp"
#include "radio/sdrplay_model.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

constexpr std::uint64_t OVERLOAD_STATE_MASK = 3;
constexpr std::uint64_t OVERLOAD_CLEAR = 1;
constexpr std::uint64_t OVERLOAD_DETECTED = 2;
constexpr std::uint64_t OVERLOAD_COUNT_STEP = 4;  // the event count sits above the two state bits

constexpr auto RF_CHANGE_TIMEOUT = std::chrono::seconds(2);
constexpr auto OVERLOAD_REPORT_INTERVAL = std::chrono::seconds(5);

// Releases a selected device unless construction got through.
class DeviceRelease {
public:
    DeviceRelease(SdrplayLibrary const& library, sdrplay::Device& device) : library_(library), device_(&device) {}
    ~DeviceRelease()
    {
        if (device_)
            library_.release_device(device_);
    }
    DeviceRelease(DeviceRelease const&) = delete;
    DeviceRelease& operator=(DeviceRelease const&) = delete;
    void dismiss() { device_ = nullptr; }

private:
    SdrplayLibrary const& library_;
    sdrplay::Device* device_;
};

bool has_selectable_antenna(std::uint8_t hw)
{
    return hw == sdrplay::HW_RSP2 || hw == sdrplay::HW_RSPDUO || hw == sdrplay::HW_RSPDX ||
           hw == sdrplay::HW_RSPDXR2;
}

void set_antenna(std::uint8_t hw, std::string const& antenna, sdrplay::DeviceSettings& device,
                 sdrplay::ChannelSettings& channel)
{
    switch (hw) {
    case sdrplay::HW_RSPDX:
    case sdrplay::HW_RSPDXR2:
        if (antenna == "HiZ")
            throw std::runtime_error("RSPdx antennas are A, B, C");
        device.dx.antenna = antenna == "A" ? 0 : antenna == "B" ? 1 : 2;
        return;
    case sdrplay::HW_RSP2:
        if (antenna == "C")
            throw std::runtime_error("RSP2 antennas are A, B, HiZ");
        channel.rsp2.am_port = antenna == "HiZ" ? 1 : 0;
        channel.rsp2.antenna = antenna == "B" ? 6 : 5;
        return;
    case sdrplay::HW_RSPDUO:
        if (antenna != "A" && antenna != "HiZ")
            throw std::runtime_error("RSPduo tuner A supports A or HiZ here");
        channel.duo.tuner1_am_port = antenna == "HiZ" ? 1 : 0;
        return;
    default:
        throw std::runtime_error("This SDRplay model has no selectable antenna");
    }
}

void set_notches(std::uint8_t hw, std::string const& model, Options const& options, sdrplay::DeviceSettings& device,
                 sdrplay::ChannelSettings& channel)
{
    int const support = sdrplay_notch_support(model);
    if ((options.rf_notch && (support & SDRPLAY_RF_NOTCH) == 0) || (options.mw_notch && support < SDRPLAY_MW_NOTCH))
        throw std::runtime_error("Selected hardware notch is unavailable on " + model);
    std::uint8_t const rf = options.rf_notch ? 1 : 0;
    switch (hw) {
    case sdrplay::HW_RSP1A:
    case sdrplay::HW_RSP1B: device.rsp1a.rf_notch = rf; break;
    case sdrplay::HW_RSP2: channel.rsp2.rf_notch = rf; break;
    case sdrplay::HW_RSPDUO:
        channel.duo.rf_notch = rf;
        channel.duo.tuner1_am_notch = options.mw_notch ? 1 : 0;
        break;
    case sdrplay::HW_RSPDX:
    case sdrplay::HW_RSPDXR2: device.dx.rf_notch = rf; break;
    default: break;
    }
}

bool live_antenna_allowed(std::uint8_t hw, std::string const& word)
{
    switch (hw) {
    case sdrplay::HW_RSP2: return word == "A" || word == "B" || word == "HiZ";
    case sdrplay::HW_RSPDUO: return word == "A" || word == "HiZ";
    case sdrplay::HW_RSPDX:
    case sdrplay::HW_RSPDXR2: return word == "A" || word == "B" || word == "C";
    default: return false;
    }
}

// The model's RF notch switch; null on models without one.
std::uint8_t* rf_notch_switch(std::uint8_t hw, sdrplay::DeviceSettings& device, sdrplay::ChannelSettings& channel)
{
    switch (hw) {
    case sdrplay::HW_RSP1A:
    case sdrplay::HW_RSP1B: return &device.rsp1a.rf_notch;
    case sdrplay::HW_RSP2: return &channel.rsp2.rf_notch;
    case sdrplay::HW_RSPDUO: return &channel.duo.rf_notch;
    case sdrplay::HW_RSPDX:
    case sdrplay::HW_RSPDXR2: return &device.dx.rf_notch;
    default: return nullptr;
    }
}

// The parameters a live SET may change, so that a refused change can be put back. Only these
// fields are copied: the rest of the block belongs to the library and may have moved on.
struct LiveParameters {
    int agc_mode;
    std::uint8_t lna_state;
    int gain_reduction_db;
    double ppm;
    int rsp2_am_port;
    int rsp2_antenna;
    int duo_tuner1_am_port;
    int rspdx_antenna;
    std::uint8_t rsp1a_rf_notch;
    std::uint8_t rsp2_rf_notch;
    std::uint8_t duo_rf_notch;
    std::uint8_t rspdx_rf_notch;
    std::uint8_t duo_tuner1_am_notch;

    static LiveParameters save(sdrplay::DeviceSettings const& d, sdrplay::ChannelSettings const& t)
    {
        return {t.agc.mode,       t.tuner.gain.lna_state, t.tuner.gain.reduction_db, d.ppm,
                t.rsp2.am_port,   t.rsp2.antenna,         t.duo.tuner1_am_port,      d.dx.antenna,
                d.rsp1a.rf_notch, t.rsp2.rf_notch,        t.duo.rf_notch,            d.dx.rf_notch,
                t.duo.tuner1_am_notch};
    }

    void restore(sdrplay::DeviceSettings& d, sdrplay::ChannelSettings& t) const
    {
        t.agc.mode = agc_mode;
        t.tuner.gain.lna_state = lna_state;
        t.tuner.gain.reduction_db = gain_reduction_db;
        d.ppm = ppm;
        t.rsp2.am_port = rsp2_am_port;
        t.rsp2.antenna = rsp2_antenna;
        t.duo.tuner1_am_port = duo_tuner1_am_port;
        d.dx.antenna = rspdx_antenna;
        d.rsp1a.rf_notch = rsp1a_rf_notch;
        t.rsp2.rf_notch = rsp2_rf_notch;
        t.duo.rf_notch = duo_rf_notch;
        d.dx.rf_notch = rspdx_rf_notch;
        t.duo.tuner1_am_notch = duo_tuner1_am_notch;
    }
};

}  // namespace

unsigned sdrplay_decimation(double sample_rate_hz, bool wideband)
{
    if (wideband)
        return 1;
    unsigned chosen = 1;
    for (unsigned factor = 2; factor <= 64; factor *= 2)
        if (sample_rate_hz / factor >= 64000)
            chosen = factor;
    return chosen;
}

struct SdrRadio::Impl {
    Impl(Options const& options, SteadyClock clock);
    ~Impl();

    static void stream_callback(std::int16_t* i, std::int16_t* q, sdrplay::StreamRecord* record, unsigned count,
                                unsigned reset, void* context) noexcept;
    static void stream_callback_b(std::int16_t*, std::int16_t*, sdrplay::StreamRecord*, unsigned, unsigned,
                                  void*) noexcept {}
    static void event_callback(int event, int tuner, sdrplay::EventRecord* record, void* context) noexcept;

    void on_stream(std::int16_t const* i, std::int16_t const* q, sdrplay::StreamRecord const* record, unsigned count,
                   bool reset);
    void on_event(int event, int tuner, sdrplay::EventRecord const* record);
    void stop_locked();
    void check_retune_locked(double hz);
    bool request_rf(double hz);
    std::string control_locked(std::string const& request);
    std::string antenna_word() const;
    LiveSdrSettings settings_text() const;
    IfGainStatus if_gain_status() const;
    std::string apply_settings(std::string const& text);

    std::atomic<bool> rf_changed{false};
    SdrplayLibrary library;
    std::string model;
    std::string antenna_description;
    sdrplay::Device device{};
    sdrplay::Callbacks callbacks{};
    std::atomic<SampleQueue*> queue{nullptr};
    double tuning_offset_hz = 0;
    double iq_rate_hz = 0;
    bool wideband = false;
    bool streaming = false;  // under mutex

    // Touched only by the stream callback (one library thread at a time; Init and Uninit order
    // a restart's thread after the previous one).
    bool samples_seen = false;
    bool sequence_known = false;
    std::uint32_t next_sample = 0;

    std::mutex mutex;
    sdrplay::DeviceParams* params = nullptr;

    std::atomic<std::uint64_t> overload{0};
    // Touched only by report_overload (the run loop).
    std::uint64_t reported_count = 0;
    bool announced = false;
    std::chrono::steady_clock::time_point last_report{};
    SteadyClock clock;

    IqLevelMeter meter;
    std::atomic<std::uint32_t> if_gain_state{0};
};

SdrRadio::Impl::Impl(Options const& options, SteadyClock steady_clock)
    : library(options.api_library), clock(std::move(steady_clock))
{
    SdrplayApiLock lock(library);
    sdrplay::Device devices[sdrplay::MAX_DEVICES] = {};
    unsigned count = 0;
    library.check("Enumerate devices", library.get_devices(devices, &count, sdrplay::MAX_DEVICES));
    // A library that reports more records than it was given room for must not make us read
    // past the array.
    if (count > sdrplay::MAX_DEVICES)
        count = sdrplay::MAX_DEVICES;
    sdrplay::Device const* chosen = nullptr;
    for (unsigned k = 0; k < count && !chosen; ++k) {
        sdrplay::Device const& candidate = devices[k];
        std::size_t const length = strnlen(candidate.serial, sizeof candidate.serial);
        if (candidate.valid && (options.serial.empty() || std::string_view(candidate.serial, length) == options.serial))
            chosen = &candidate;
    }
    if (!chosen)
        throw std::runtime_error("No available SDRplay receiver matches selection");
    device = *chosen;
    device.tuner = sdrplay::TUNER_A;
    if (device.hw_version == sdrplay::HW_RSPDUO) {
        // One field: the modes on offer as the library enumerated them, then the mode we ask for.
        if ((device.duo_mode & sdrplay::DUO_SINGLE_TUNER) == 0)
            throw std::runtime_error("RSPduo single tuner mode unavailable; close other receivers");
        device.duo_mode = sdrplay::DUO_SINGLE_TUNER;
    }
    library.check("Select receiver", library.select_device(&device));
    DeviceRelease release(library, device);
    lock.unlock();
    library.check("Get receiver parameters", library.get_device_params(device.handle, &params));
    if (!params || !params->device || !params->tuner_a)
        throw std::runtime_error("Missing SDRplay device parameters");

    model = sdrplay_model_name(device.hw_version);
    wideband = options.wideband;
    tuning_offset_hz = options.frequency - tuner_frequency(options);
    sdrplay::DeviceSettings& dev = *params->device;
    sdrplay::ChannelSettings& channel = *params->tuner_a;
    dev.sample_rate.hz = static_cast<double>(options.sample_rate);
    dev.ppm = options.ppm;
    dev.transfer_mode = options.usb_mode == "bulk" ? sdrplay::TRANSFER_BULK : sdrplay::TRANSFER_ISOCHRONOUS;

    unsigned const decimation = sdrplay_decimation(options.sample_rate, options.wideband);
    iq_rate_hz = options.sample_rate / static_cast<double>(decimation);
    channel.tuner.rf.hz = options.frequency - tuning_offset_hz;
    channel.tuner.bandwidth_khz = static_cast<int>(options.if_bandwidth / 1000);
    channel.tuner.if_khz = sdrplay::IF_ZERO;
    channel.tuner.lo_mode = sdrplay::LO_AUTO;
    channel.tuner.gain.reduction_db = static_cast<int>(options.gain_reduction);
    channel.tuner.gain.lna_state = static_cast<std::uint8_t>(options.lna_state);
    channel.correction.dc_offset = 1;
    channel.correction.iq_imbalance = 1;
    channel.decimation.enable = options.wideband ? 0 : 1;
    channel.decimation.factor = static_cast<std::uint8_t>(decimation);
    channel.decimation.wideband_signal = options.wideband ? 1 : 0;
    channel.agc.mode = options.agc ? sdrplay::AGC_50HZ : sdrplay::AGC_DISABLED;
    channel.agc.set_point_dbfs = -30;

    if (!options.antenna.empty())
        set_antenna(device.hw_version, options.antenna, dev, channel);
    set_notches(device.hw_version, model, options, dev, channel);

    antenna_description = describe_antenna(device.hw_version, dev, channel);
    if (has_selectable_antenna(device.hw_version))
        antenna_description += options.antenna.empty() ? " (API default)" : " (configured)";

    std::ostringstream line;
    line << "Receiver: " << model << " serial=" << std::string_view(device.serial, strnlen(device.serial, sizeof device.serial))
         << ", hardware=" << options.sample_rate << " samples/s, callback IQ=" << iq_rate_hz
         << " samples/s, USB=" << options.usb_mode << ", antenna=" << antenna_description;
    log_line(line.str());

    callbacks.stream_a = &Impl::stream_callback;
    callbacks.stream_b = &Impl::stream_callback_b;
    callbacks.event = &Impl::event_callback;
    release.dismiss();
}

SdrRadio::Impl::~Impl()
{
    {
        std::scoped_lock guard(mutex);
        stop_locked();
    }
    library.release_device(&device);
}

void SdrRadio::Impl::stop_locked()
{
    if (!streaming)
        return;
    sdrplay::ErrorCode const error = library.uninit(device.handle);
    streaming = false;
    if (error != sdrplay::SUCCESS)
        log_line(library.error_message("Stop SDRplay stream", error));
}

void SdrRadio::Impl::stream_callback(std::int16_t* i, std::int16_t* q, sdrplay::StreamRecord* record, unsigned count,
                                     unsigned reset, void* context) noexcept
{
    auto* self = static_cast<Impl*>(context);
    try {
        self->on_stream(i, q, record, count, reset != 0);
    } catch (...) {
        if (SampleQueue* queue = self->queue.load())
            queue->fail("SDRplay stream callback failed");
    }
}

void SdrRadio::Impl::on_stream(std::int16_t const* i, std::int16_t const* q, sdrplay::StreamRecord const* record,
                               unsigned count, bool reset)
{
    SampleQueue* target = queue.load();
    if (!target)
        return;
    IqBlock block;
    if (record && record->rf_changed)
        rf_changed.store(true);
    if (reset && samples_seen) {
        block.discontinuity = true;
        block.gap_flags = GAP_SOURCE_RESET;
    } else if (!reset && wideband && record && sequence_known && record->first_sample != next_sample) {
        block.discontinuity = true;
        block.gap_flags = GAP_SEQUENCE;
        block.expected_sample = next_sample;
        block.received_sample = record->first_sample;
        std::uint32_t const difference = record->first_sample - next_sample;
        if (static_cast<std::int32_t>(difference) < 0) {
            block.gap_flags |= GAP_UNKNOWN_SIZE;
            block.gap_samples = 0;
        } else {
            block.gap_samples = difference;
        }
    }
    if (record && count > 0) {
        sequence_known = true;
        next_sample = record->first_sample + static_cast<std::uint32_t>(count);
        samples_seen = true;
    } else {
        samples_seen = samples_seen || count > 0;
    }
    block.utc = wall_clock_seconds() - count / iq_rate_hz;
    block.samples.resize(count);
    constexpr float scale = 1.0f / 32768.0f;
    for (unsigned k = 0; k < count; ++k)
        block.samples[k] = {static_cast<float>(i[k]) * scale, static_cast<float>(q[k]) * scale};
    if (count > 0)
        meter.update(block.samples, block.utc + count / iq_rate_hz);
    target->push(std::move(block));
}

void SdrRadio::Impl::event_callback(int event, int tuner, sdrplay::EventRecord* record, void* context) noexcept
{
    static_cast<Impl*>(context)->on_event(event, tuner, record);
}

void SdrRadio::Impl::on_event(int event, int tuner, sdrplay::EventRecord const* record)
{
    SampleQueue* target = queue.load();
    switch (event) {
    case sdrplay::EVENT_DEVICE_REMOVED:
    case sdrplay::EVENT_DEVICE_FAILURE:
        if (target)
            target->fail("SDRplay device removed or failed");
        return;
    case sdrplay::EVENT_GAIN_CHANGE:
        if (tuner != sdrplay::TUNER_A && tuner != sdrplay::TUNER_BOTH)
            return;
        if (!record) {
            if_gain_state.store(0);
        } else {
            std::uint32_t const reduction = record->gain.if_gain_reduction_db;
            if_gain_state.store(reduction < 60 ? reduction + 1 : 0);
        }
        return;
    case sdrplay::EVENT_POWER_OVERLOAD: {
        if (record) {
            std::uint64_t word = overload.load();
            if (record->overload.change == sdrplay::OVERLOAD_DETECTED) {
                while ((word & OVERLOAD_STATE_MASK) != OVERLOAD_DETECTED &&
                       !overload.compare_exchange_weak(word, ((word & ~OVERLOAD_STATE_MASK) + OVERLOAD_COUNT_STEP) |
                                                                 OVERLOAD_DETECTED)) {
                }
            } else if (record->overload.change == sdrplay::OVERLOAD_CORRECTED) {
                while (!overload.compare_exchange_weak(word, (word & ~OVERLOAD_STATE_MASK) | OVERLOAD_CLEAR)) {
                }
            }
        }
        // The library holds further overload messages back until this one is acknowledged.
        if (library.update(device.handle, tuner, sdrplay::UPDATE_OVERLOAD_ACK, sdrplay::UPDATE_EXT_NONE) !=
                sdrplay::SUCCESS &&
            target)
            target->fail("SDRplay overload acknowledgement failed");
        return;
    }
    default:
        return;
    }
}

void SdrRadio::Impl::check_retune_locked(double hz)
{
    if (!streaming || !std::isfinite(hz) || hz < 1000 || hz > 2e9)
        throw std::runtime_error("Invalid RF retune or receiver is not streaming");
    std::string const description = describe_antenna(device.hw_version, *params->device, *params->tuner_a);
    auto const reductions = sdrplay_lna_reductions(model, sdrplay_antenna_word(description), hz);
    if (reductions && params->tuner_a->tuner.gain.lna_state >= reductions->size())
        throw std::runtime_error("Choose an RF Gain state available at the new frequency before retuning");
}

// Asks for hz and waits until the library delivers samples tuned there.
bool SdrRadio::Impl::request_rf(double hz)
{
    rf_changed.store(false);
    params->tuner_a->tuner.rf.hz = hz;
    if (library.update(device.handle, device.tuner, sdrplay::UPDATE_RF_FREQUENCY, sdrplay::UPDATE_EXT_NONE) !=
        sdrplay::SUCCESS)
        return false;
    auto const deadline = std::chrono::steady_clock::now() + RF_CHANGE_TIMEOUT;
    for (;;) {
        if (rf_changed.load())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

SdrRadio::SdrRadio(Options const& options) : SdrRadio(options, [] { return std::chrono::steady_clock::now(); }) {}

SdrRadio::SdrRadio(Options const& options, SteadyClock clock) : impl_(std::make_unique<Impl>(options, std::move(clock)))
{
}

SdrRadio::~SdrRadio() = default;

void SdrRadio::start(SampleQueue& queue)
{
    std::scoped_lock guard(impl_->mutex);
    impl_->queue.store(&queue);
    sdrplay::ErrorCode const error = impl_->library.init(impl_->device.handle, &impl_->callbacks, impl_.get());
    if (error != sdrplay::SUCCESS)
        throw std::runtime_error(impl_->library.error_message("Start SDRplay stream", error));
    impl_->streaming = true;
}

void SdrRadio::stop()
{
    std::scoped_lock guard(impl_->mutex);
    impl_->stop_locked();
}

double SdrRadio::sample_rate() const { return impl_->iq_rate_hz; }

double SdrRadio::tuning_offset() const { return impl_->tuning_offset_hz; }

void SdrRadio::check_retune(double hz)
{
    std::scoped_lock guard(impl_->mutex);
    impl_->check_retune_locked(hz);
}

void SdrRadio::retune(double hz)
{
    std::scoped_lock guard(impl_->mutex);
    impl_->check_retune_locked(hz);
    double const old = impl_->params->tuner_a->tuner.rf.hz;
    if (hz == old)
        return;
    SampleQueue& queue = *impl_->queue.load();
    if (impl_->request_rf(hz)) {
        queue.discard();
        return;
    }
    if (!impl_->request_rf(old))
        queue.fail("SDRplay retune could not confirm RF tuning or restore the previous frequency");
    queue.discard();
    throw std::runtime_error("SDRplay retune failed; previous frequency requested");
}

void SdrRadio::report_overload()
{
    Impl& s = *impl_;
    std::uint64_t const word = s.overload.load();
    std::uint64_t const state = word & OVERLOAD_STATE_MASK;
    std::uint64_t const count = word >> 2;
    if (count > s.reported_count) {
        auto const now = s.clock();
        if (s.reported_count == 0 || now - s.last_report >= OVERLOAD_REPORT_INTERVAL) {
            log_line("RF overload detected (events=" + std::to_string(count) + "); reduce RF Gain");
            s.announced = true;
            s.last_report = now;
            s.reported_count = count;
        }
    }
    if (state == OVERLOAD_CLEAR && s.announced) {
        log_line("RF overload cleared (events=" + std::to_string(count) + ")");
        s.announced = false;
    }
}

// The antenna in use, read back from the live parameters: a SET may have moved it since the
// "Receiver: " line was printed.
std::string SdrRadio::Impl::antenna_word() const
{
    return std::string(sdrplay_antenna_word(describe_antenna(device.hw_version, *params->device, *params->tuner_a)));
}

LiveSdrSettings SdrRadio::Impl::settings_text() const
{
    sdrplay::DeviceSettings& dev = *params->device;
    sdrplay::ChannelSettings& channel = *params->tuner_a;
    LiveSdrSettings settings;
    settings["agc"] = channel.agc.mode == sdrplay::AGC_DISABLED ? "off" : "on";
    settings["gain-reduction"] = std::to_string(channel.tuner.gain.reduction_db);
    settings["lna-state"] = std::to_string(channel.tuner.gain.lna_state);
    char ppm[64];
    std::snprintf(ppm, sizeof ppm, "%f", dev.ppm);
    settings["ppm"] = ppm;
    if (std::uint8_t const* notch = rf_notch_switch(device.hw_version, dev, channel))
        settings["rf-notch"] = *notch ? "on" : "off";
    if (device.hw_version == sdrplay::HW_RSPDUO)
        settings["mw-notch"] = channel.duo.tuner1_am_notch ? "on" : "off";
    return settings;
}

IfGainStatus SdrRadio::Impl::if_gain_status() const
{
    IfGainStatus status;
    std::uint32_t const state = if_gain_state.load();
    if (state == 0) {
        status.state = "waiting";
    } else {
        status.state = "ready";
        status.reduction_db = state - 1;
    }
    return status;
}

std::string SdrRadio::Impl::control_locked(std::string const& request)
{
    if (!streaming)
        throw std::runtime_error("SDRplay receiver is not streaming");
    if (request == "RADIO METER") {
        RadioMeter reading;
        reading.levels = meter.snapshot(false, true, wall_clock_seconds());
        reading.overload = decode_overload_state(overload.load());
        reading.if_gain = if_gain_status();
        return format_meter_reply(reading);
    }
    if (request == "RADIO IFGAIN")
        return format_ifgain_reply(if_gain_status());
    if (request == "RADIO OVERLOAD")
        return format_overload_reply(decode_overload_state(overload.load()));
    if (request == "RADIO LEVELS" || request == "RADIO LEVELS RESET")
        return format_levels_reply(meter.snapshot(request == "RADIO LEVELS RESET", false, wall_clock_seconds()));
    if (request == "RADIO STATUS") {
        LiveSdrSettings settings = settings_text();
        std::string const word = antenna_word();
        if (word == "A" || word == "B" || word == "C" || word == "HiZ")
            settings["antenna"] = word;
        return "OK RADIO " + format_live_sdr_settings(settings);
    }
    std::string const set_prefix = "RADIO SET ";
    if (request.compare(0, set_prefix.size(), set_prefix) == 0)
        return apply_settings(request.substr(set_prefix.size()));
    throw std::runtime_error("Expected RADIO STATUS or RADIO SET key=value,...");
}

std::string SdrRadio::Impl::apply_settings(std::string const& text)
{
    // Every check comes before the first parameter is written, so a refusal leaves the device
    // as it was.
    LiveSdrSettings const requested = parse_live_sdr_settings(text, false);
    int const support = sdrplay_notch_support(model);
    if ((requested.count("rf-notch") && (support & SDRPLAY_RF_NOTCH) == 0) ||
        (requested.count("mw-notch") && support < SDRPLAY_MW_NOTCH))
        throw std::runtime_error("Hardware notch is unavailable on " + model);
    LiveSdrSettings const current = settings_text();
    LiveSdrSettings merged = current;
    for (auto const& [key, value] : requested)
        merged[key] = value;

    sdrplay::DeviceSettings& dev = *params->device;
    sdrplay::ChannelSettings& channel = *params->tuner_a;
    std::uint8_t const hw = device.hw_version;
    std::string const live_word = antenna_word();
    auto const antenna = requested.find("antenna");
    std::string const word = antenna == requested.end() ? live_word : antenna->second;
    if (antenna != requested.end() && !live_antenna_allowed(hw, word))
        throw std::runtime_error("Antenna is not available on this receiver");
    auto const lna_state = static_cast<unsigned>(parse_live_sdr_value(merged.at("lna-state"), true, 0, 27));
    auto const reductions = sdrplay_lna_reductions(model, word, channel.tuner.rf.hz);
    if (reductions && lna_state >= reductions->size())
        throw std::runtime_error("RF gain state is unavailable for this frequency and antenna");

    LiveParameters const saved = LiveParameters::save(dev, channel);
    auto changed = [&](char const* key) {
        return requested.count(key) != 0 && merged.at(key) != current.at(key);
    };

    std::uint32_t reason = sdrplay::UPDATE_GAIN_REDUCTION;
    std::uint32_t base = 0;
    std::uint32_t extension = sdrplay::UPDATE_EXT_NONE;
    if (changed("agc")) {
        channel.agc.mode = merged.at("agc") == "on" ? sdrplay::AGC_50HZ : sdrplay::AGC_DISABLED;
        reason |= sdrplay::UPDATE_AGC;
        base = sdrplay::UPDATE_AGC;
    }
    if ((requested.count("lna-state") && lna_state != channel.tuner.gain.lna_state) || changed("gain-reduction")) {
        channel.tuner.gain.lna_state = static_cast<std::uint8_t>(lna_state);
        channel.tuner.gain.reduction_db = static_cast<int>(parse_live_sdr_value(merged.at("gain-reduction"), true, 20, 59));
    } else {
        reason = base;
    }
    if (requested.count("ppm")) {
        double const ppm = parse_live_sdr_value(merged.at("ppm"), false, -1000, 1000);
        if (ppm != dev.ppm) {
            dev.ppm = ppm;
            reason |= sdrplay::UPDATE_PPM;
        }
    }
    if (antenna != requested.end() && word != live_word) {
        switch (hw) {
        case sdrplay::HW_RSP2:
            channel.rsp2.am_port = word == "HiZ" ? 1 : 0;
            channel.rsp2.antenna = word == "B" ? 6 : 5;
            reason |= sdrplay::UPDATE_RSP2_AM_PORT | sdrplay::UPDATE_RSP2_ANTENNA;
            break;
        case sdrplay::HW_RSPDUO:
            channel.duo.tuner1_am_port = word == "HiZ" ? 1 : 0;
            reason |= sdrplay::UPDATE_DUO_AM_PORT;
            break;
        default:  // RSPdx and RSPdxR2: the only other models with a selectable antenna
            dev.dx.antenna = word == "A" ? 0 : word == "B" ? 1 : 2;
            extension |= sdrplay::UPDATE_EXT_RSPDX_ANTENNA;
            break;
        }
    }
    if (changed("rf-notch")) {
        *rf_notch_switch(hw, dev, channel) = merged.at("rf-notch") == "on" ? 1 : 0;
        switch (hw) {
        case sdrplay::HW_RSP1A:
        case sdrplay::HW_RSP1B: reason |= sdrplay::UPDATE_RSP1A_RF_NOTCH; break;
        case sdrplay::HW_RSP2: reason |= sdrplay::UPDATE_RSP2_RF_NOTCH; break;
        case sdrplay::HW_RSPDUO: reason |= sdrplay::UPDATE_DUO_RF_NOTCH; break;
        default: extension |= sdrplay::UPDATE_EXT_RSPDX_RF_NOTCH; break;
        }
    }
    if (changed("mw-notch")) {
        channel.duo.tuner1_am_notch = merged.at("mw-notch") == "on" ? 1 : 0;
        reason |= sdrplay::UPDATE_DUO_AM_NOTCH;
    }

    if (reason != 0 || extension != 0) {
        sdrplay::ErrorCode const error = library.update(device.handle, device.tuner, reason, extension);
        if (error != sdrplay::SUCCESS) {
            saved.restore(dev, channel);
            if (library.update(device.handle, device.tuner, reason, extension) != sdrplay::SUCCESS)
                queue.load()->fail("SDRplay live settings rollback failed");
            throw std::runtime_error(library.error_message("Apply live SDRplay settings", error));
        }
    }
    return "OK RADIO " + format_live_sdr_settings(merged);
}

std::string SdrRadio::control(std::string const& request)
{
    std::scoped_lock guard(impl_->mutex);
    return impl_->control_locked(request);
}
