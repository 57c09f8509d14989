#include "rx888/rx888_radio.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/stop_flag.hpp"
#include "radio/iq_block.hpp"
#include "radio/iq_level_meter.hpp"
#include "radio/live_sdr_settings.hpp"
#include "radio/radio_replies.hpp"
#include "radio/sample_queue.hpp"
#include "rx888/fx3_firmware.hpp"
#include "rx888/gpu_library.hpp"
#include "rx888/gpu_receiver.hpp"
#include "rx888/rx888_device.hpp"
#include "rx888/rx888_frontend.hpp"
#include "rx888/usb_library.hpp"

namespace {

static_assert(std::endian::native == std::endian::little, "the ADC words arrive little-endian");

using SteadyClock = std::chrono::steady_clock;

constexpr int transfer_count = 32;
constexpr std::size_t block_samples = 131072;
constexpr std::size_t transfer_bytes = 2 * block_samples;
constexpr unsigned char stream_endpoint = 0x81;
constexpr unsigned transfer_timeout_ms = 1000;
constexpr std::uint64_t initial_buffers = 64;
constexpr double reanchor_limit_s = 0.25;
constexpr auto drain_limit = std::chrono::seconds(3);

double system_utc()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double seconds_since(SteadyClock::time_point then)
{
    return std::chrono::duration<double>(SteadyClock::now() - then).count();
}

// Numbers in diagnostics: the stream's default format, whatever the process locale.
class Line {
public:
    Line() { text_.imbue(std::locale::classic()); }
    template <typename T>
    Line& operator<<(T const& value)
    {
        text_ << value;
        return *this;
    }
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
};

char const* status_fault_text(int status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return "RX-888 short USB transfer; sample continuity unknown";
    case LIBUSB_TRANSFER_TIMED_OUT:
        return "RX-888 stopped sending samples (USB transfer timed out); loss length unknown";
    case LIBUSB_TRANSFER_CANCELLED: return "RX-888 USB transfer cancelled; loss length unknown";
    case LIBUSB_TRANSFER_STALL: return "RX-888 USB endpoint stalled; loss length unknown";
    case LIBUSB_TRANSFER_NO_DEVICE: return "RX-888 disconnected";
    case LIBUSB_TRANSFER_OVERFLOW: return "RX-888 USB transfer overflow; loss length unknown";
    default: return "RX-888 USB transfer error (bus or link fault); loss length unknown";
    }
}

struct RawAdcBlock {
    std::vector<std::int16_t> samples;
    double time = 0;  // UTC of the first word
    std::uint64_t generation = 0;
    std::uint64_t gap = 0;     // words dropped right before this block
    bool reanchored = false;   // its time was moved back onto the system clock
};

class Rx888Radio;

struct TransferSlot {
    Rx888Radio* owner = nullptr;
    libusb_transfer* transfer = nullptr;
    std::vector<unsigned char> buffer;
    std::atomic<bool> in_flight{false};
};

void LIBUSB_CALL transfer_callback(libusb_transfer* transfer);

// What libusb may still touch after a stop that could not take all transfers back: kept for
// the life of the process, reachable, never destroyed.
std::vector<std::shared_ptr<void>>& kept_for_libusb()
{
    static auto* kept = new std::vector<std::shared_ptr<void>>;
    return *kept;
}

class Rx888Radio final : public Radio {
public:
    Rx888Radio(Options const& options, Rx888Hooks hooks);
    ~Rx888Radio() override;

    void start(SampleQueue& queue) override;
    void stop() override;
    double sample_rate() const override;
    double tuning_offset() const override { return tuning_offset_; }
    double center_for(double frequency_hz) const override;
    std::shared_ptr<SpectrumRows> receive_engine(std::size_t frame_length, std::string& reason) override;
    void check_retune(double hz) override;
    void retune(double hz) override;
    std::string control(std::string const& request) override;
    void report_overload() override;

    void on_transfer(libusb_transfer* transfer) noexcept;

private:
    double utc() const { return hooks_.utc_now ? hooks_.utc_now() : system_utc(); }
    Rx888Settings settings() const;
    bool stop_asked() const { return stopped_.load() || stop_requested.load() != 0; }

    void usb_loop();
    bool cancel_and_drain();
    bool recover();
    bool wait_for_device(double limit_s, SteadyClock::time_point wait_start, std::string const& firmware,
                         StopCheck const& stop);
    void resubmit_all(char const* what);
    void start_time_recovery(std::exception const& error);
    void stream_fault(char const* text) noexcept;
    void fail_stream(char const* text) noexcept;

    void convert_loop();
    void process(RawAdcBlock& block);
    void detect_overload(std::vector<std::int16_t> const& words);
    void emit(IqSamples&& samples, double time);
    void mark_break(IqBlock& out);
    void give_back(std::vector<std::int16_t>&& buffer);
    void report_host_drops(bool force);

    // Set once at construction.
    Options options_;
    Rx888Hooks hooks_;
    std::unique_ptr<UsbLibrary> usb_;
    Rx888Device device_;
    double adc_clock_ = 0;
    double nominal_clock_ = 0;
    double tuning_offset_ = 0;
    std::uint64_t pool_limit_ = 0;

    // Guarded by device_mutex_.
    mutable std::mutex device_mutex_;
    double attenuation_db_ = 0;
    double vga_gain_db_ = 0;
    double requested_gain_db_ = 0;

    // Guarded by frontend_mutex_ (taken before queue_mutex_).
    mutable std::mutex frontend_mutex_;
    std::unique_ptr<Rx888Frontend> frontend_;
    double center_ = 0;
    std::uint64_t generation_ = 0;
    bool discontinuity_pending_ = true;
    bool gap_known_ = false;
    double gap_samples_ = 0;
    std::shared_ptr<RawSpectrum> engine_;
    double engine_bin_hz_ = 0;
    std::uint32_t engine_decimation_ = 0;

    // Guarded by queue_mutex_.
    std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<RawAdcBlock> raw_blocks_;
    std::vector<std::vector<std::int16_t>> pool_;
    std::uint64_t pool_allocated_ = 0;

    SampleQueue* queue_ = nullptr;
    IqLevelMeter meter_;
    std::atomic<std::uint64_t> overload_{0};
    std::uint64_t reported_events_ = 0;
    bool overload_active_ = false;
    SteadyClock::time_point last_report_time_{};

    std::atomic<bool> stopped_{true};
    std::atomic<bool> failed_{false};
    std::atomic<bool> recovering_{false};
    std::atomic<char const*> fault_text_{""};
    bool device_streaming_ = false;
    bool usb_wedged_ = false;

    std::thread usb_thread_;
    std::thread convert_thread_;
    std::vector<std::unique_ptr<TransferSlot>> transfers_;
    std::atomic<int> pending_transfers_{0};

    // The USB event thread's (or whoever handles events).
    std::uint64_t stream_samples_ = 0;
    double stream_time_base_ = 0;
    std::uint64_t dropped_samples_ = 0;
    bool reanchor_pending_ = false;
    std::uint64_t late_run_ = 0;     // consecutive good transfers that arrived too late
    double late_min_s_ = 0;          // the least lag among them
    std::uint64_t late_window_ = 1;  // a quarter second of transfers
    SteadyClock::time_point first_transfer_time_{};
    SteadyClock::time_point last_transfer_time_{};
    std::uint64_t transfers_done_ = 0;
    double longest_gap_ms_ = 0;
    std::uint64_t deepest_backlog_ = 0;

    // The conversion thread's.
    std::uint64_t host_dropped_ = 0;
    SteadyClock::time_point host_drop_report_time_{};
    std::uint64_t clean_samples_ = 0;
    bool clipping_ = false;
    bool clear_published_ = false;
    bool latched_ = false;
    std::uint64_t latched_generation_ = 0;
    double t0_ = 0;
    bool banner_printed_ = false;
    IqSamples batch_;
};

void LIBUSB_CALL transfer_callback(libusb_transfer* transfer)
{
    static_cast<TransferSlot*>(transfer->user_data)->owner->on_transfer(transfer);
}

Rx888Radio::Rx888Radio(Options const& options, Rx888Hooks hooks) : options_(options), hooks_(std::move(hooks))
{
    usb_ = UsbLibrary::load(options.rx888_library);
    device_ = Rx888Device(usb_.get());
    nominal_clock_ = options.rx888_rate == "half" ? 64e6 : 128e6;
    adc_clock_ = nominal_clock_ * (1 + options.ppm / 1e6);
    center_ = tuner_frequency(options);
    tuning_offset_ = options.frequency - center_;
    attenuation_db_ = options.rx888_attenuation;
    vga_gain_db_ = requested_gain_db_ = options.rx888_gain;
    unsigned const threads = hooks_.hardware_threads != 0 ? hooks_.hardware_threads : std::thread::hardware_concurrency();
    frontend_ = std::make_unique<Rx888Frontend>(adc_clock_, static_cast<double>(options.sample_rate), center_,
                                                 options.rx888_gpu, threads, hooks_.gpu_library);
    // The raw pool holds --buffer-seconds of the nominal clock, never fewer than 64 buffers.
    pool_limit_ = std::max<std::uint64_t>(initial_buffers,
                                          queue_capacity(2, nominal_clock_, options.buffer_seconds) / block_samples);
    late_window_ = static_cast<std::uint64_t>(std::ceil(reanchor_limit_s * adc_clock_ / block_samples));

    std::string const firmware = rx888_firmware_path(options);
    if (!firmware.empty())
        ensure_rx888_firmware(*usb_, firmware, [] { return stop_requested.load() != 0; });
    device_.open(options.serial);
    vga_gain_db_ = device_.configure(settings());

    Line banner;
    banner << "RX-888 MKII: model=" << 4 << " firmware=" << 2 << "." << 2 << ", ADC=" << nominal_clock_ / 1e6
           << " MS/s (" << options.rx888_rate << "), IQ=" << frontend_->rate_hz() / 1e6 << " MS/s, center=" << center_ / 1e6
           << " MHz, atten=" << attenuation_db_ << " dB, VGA=" << vga_gain_db_ << " dB";
    if (options.rx888_bias_t)
        banner << ", bias-tee ON";
    if (options.rx888_reference)
        banner << ", external reference";
    banner << "; no firmware changes by this driver";
    log_line(banner.str());
    if (options.rx888_rate == "half")
        log_line("RX-888 note: at the half rate 32-64 MHz folds onto HF, which the input filter does not prevent; if "
                 "the upper bands are noisy or decode poorly, use --rx888-rate full (about twice the front-end CPU).");
}

Rx888Radio::~Rx888Radio()
{
    stop();
    {
        std::scoped_lock lock(frontend_mutex_);
        engine_.reset();
    }
    if (usb_wedged_) {
        // Transfers still belong to libusb: the handle, the context and the library stay as
        // they are, so nothing it may still touch goes away.
        device_.abandon();
        kept_for_libusb().push_back(std::shared_ptr<UsbLibrary>(std::move(usb_)));
        return;
    }
    device_.close();
}

Rx888Settings Rx888Radio::settings() const
{
    return {options_.rx888_rate == "half", options_.rx888_bias_t, attenuation_db_, requested_gain_db_};
}

double Rx888Radio::sample_rate() const { return frontend_->rate_hz(); }

double Rx888Radio::center_for(double frequency_hz) const
{
    double const c = frequency_hz - tuning_offset_;
    std::scoped_lock lock(frontend_mutex_);
    if (engine_)
        return static_cast<double>(std::llround(c / engine_bin_hz_)) * engine_bin_hz_;
    return c;
}

std::shared_ptr<SpectrumRows> Rx888Radio::receive_engine(std::size_t frame_length, std::string& reason)
{
    if (options_.rx888_gpu == "off") {
        reason = "--rx888-gpu off";
        return {};
    }
    auto const d = static_cast<std::uint32_t>(std::llround(adc_clock_ / frontend_->rate_hz()));
    std::shared_ptr<RawSpectrum> engine;
    if (hooks_.make_engine) {
        engine = hooks_.make_engine(frame_length, d, adc_clock_, reason);
    } else {
        GpuLibrary const& gpu = hooks_.gpu_library != nullptr ? *hooks_.gpu_library : gpu_library();
        engine = GpuReceiver::create(gpu, frame_length, d, adc_clock_, reason);
    }
    if (!engine)
        return {};
    std::scoped_lock lock(frontend_mutex_);
    engine_ = engine;
    engine_bin_hz_ = adc_clock_ / (static_cast<double>(frame_length) * d);
    engine_decimation_ = d;
    return engine;
}

void Rx888Radio::check_retune(double hz) { rx888_converter_length(adc_clock_, hz, frontend_->rate_hz()); }

void Rx888Radio::retune(double hz)
{
    rx888_converter_length(adc_clock_, hz, frontend_->rate_hz());
    std::scoped_lock lock(frontend_mutex_);
    if (stopped_.load())
        throw std::runtime_error("RX-888 receiver is not streaming");
    frontend_->restart(hz);
    {
        // The USB thread stamps blocks with the generation under the queue lock alone.
        std::scoped_lock queue_lock(queue_mutex_);
        for (RawAdcBlock& block : raw_blocks_)
            pool_.push_back(std::move(block.samples));
        raw_blocks_.clear();
        ++generation_;
    }
    discontinuity_pending_ = true;
    gap_known_ = false;
    gap_samples_ = 0;
    center_ = hz;
    if (queue_ != nullptr)
        queue_->discard();
}

void Rx888Radio::start(SampleQueue& queue)
{
    if (!stopped_.exchange(false))
        throw std::runtime_error("RX-888 is already streaming");
    try {
        {
            std::scoped_lock lock(frontend_mutex_);
            queue_ = &queue;
            rx888_converter_length(adc_clock_, center_, frontend_->rate_hz());
            frontend_->restart(center_);
            discontinuity_pending_ = true;
            gap_known_ = false;
            gap_samples_ = 0;
            latched_ = false;
        }
        stream_samples_ = 0;
        failed_ = false;
        recovering_ = false;
        fault_text_ = "";
        transfers_done_ = 0;
        longest_gap_ms_ = 0;
        deepest_backlog_ = 0;
        dropped_samples_ = 0;
        reanchor_pending_ = false;
        late_run_ = 0;
        host_dropped_ = 0;
        {
            std::scoped_lock lock(queue_mutex_);
            pool_.clear();
            pool_.reserve(pool_limit_);
            for (std::uint64_t i = 0; i < initial_buffers; ++i)
                pool_.emplace_back(block_samples, std::int16_t{0});
            pool_allocated_ = initial_buffers;
        }
        for (int i = 0; i < transfer_count; ++i) {
            auto slot = std::make_unique<TransferSlot>();
            slot->owner = this;
            slot->buffer.assign(transfer_bytes, 0);
            slot->transfer = usb_->alloc_transfer(0);
            if (slot->transfer == nullptr)
                throw std::runtime_error("RX-888 cannot allocate USB transfers");
            libusb_fill_bulk_transfer(slot->transfer, nullptr, stream_endpoint, slot->buffer.data(),
                                      static_cast<int>(transfer_bytes), transfer_callback, slot.get(),
                                      transfer_timeout_ms);
            transfers_.push_back(std::move(slot));
        }
        try {
            resubmit_all("submit ADC transfer");
            std::scoped_lock lock(device_mutex_);
            device_.command(rx888_request::start_stream, 0);
        } catch (std::exception const& error) {
            start_time_recovery(error);
        }
        device_streaming_ = true;
        convert_thread_ = std::thread([this] { convert_loop(); });
        usb_thread_ = std::thread([this] { usb_loop(); });
    } catch (...) {
        stop();
        throw;
    }
}

void Rx888Radio::resubmit_all(char const* what)
{
    for (auto& slot : transfers_) {
        if (slot->in_flight.load())
            continue;
        slot->transfer->dev_handle = device_.handle();
        check_usb(*usb_, usb_->submit_transfer(slot->transfer), what);
        slot->in_flight = true;
        ++pending_transfers_;
    }
}

void Rx888Radio::start_time_recovery(std::exception const& error)
{
    std::string const text = error.what();
    bool alive = false;
    {
        std::scoped_lock lock(device_mutex_);
        alive = device_.answers_probe();
    }
    double const limit = options_.rx888_recovery;
    if (alive || limit <= 0)
        throw std::runtime_error(text);
    log_line("RX-888: " + text + " while starting");
    recovering_ = true;
    bool const drained = cancel_and_drain();
    recovering_ = false;
    if (!drained)
        throw std::runtime_error(text);
    auto const wait_start = SteadyClock::now();
    {
        std::scoped_lock lock(device_mutex_);
        device_.close();
    }
    log_line((Line() << "RX-888 is not answering; waiting up to " << limit << " s for it to reset or be replugged").str());
    std::string const firmware = rx888_firmware_path(options_);
    if (!wait_for_device(limit, wait_start, firmware, [this] { return stop_asked(); }))
        throw std::runtime_error(text);
    {
        std::scoped_lock lock(device_mutex_);
        vga_gain_db_ = device_.configure(settings());
    }
    resubmit_all("submit ADC transfer");
    {
        std::scoped_lock lock(device_mutex_);
        device_.command(rx888_request::start_stream, 0);
    }
    log_line("RX-888: reception started after it came back");
}

bool Rx888Radio::wait_for_device(double limit_s, SteadyClock::time_point wait_start, std::string const& firmware,
                                 StopCheck const& stop)
{
    for (;;) {
        if (stop())
            return false;
        if (seconds_since(wait_start) >= limit_s) {
            log_line((Line() << "RX-888 did not come back within " << limit_s << " s; unplug it and plug it back in").str());
            return false;
        }
        if (!sleep_unless_stopped(500, stop))
            return false;
        if (!firmware.empty()) {
            try {
                ensure_rx888_firmware(*usb_, firmware, stop);
            } catch (std::exception const&) {
                continue;
            }
            if (stop())
                return false;
        }
        std::scoped_lock lock(device_mutex_);
        try {
            device_.open(options_.serial);
            return true;
        } catch (std::exception const&) {
            device_.close();
        }
    }
}

void Rx888Radio::stop()
{
    stopped_ = true;
    queue_cv_.notify_all();
    if (usb_thread_.joinable()) {
        usb_thread_.join();
    } else if (pending_transfers_.load() > 0) {
        usb_loop();
    }
    if (convert_thread_.joinable())
        convert_thread_.join();
    report_host_drops(true);
    if (device_streaming_) {
        std::scoped_lock lock(device_mutex_);
        if (device_.is_open()) {
            try {
                device_.command(rx888_request::stop_stream, 0);
            } catch (std::exception const&) {
                if (failed_.load())
                    log_line("RX-888 is no longer answering commands; unplug it and plug it back in before the next "
                             "start");
            }
        }
        device_streaming_ = false;
    }
    std::size_t stuck = 0;
    for (auto& slot : transfers_) {
        if (slot->in_flight.load()) {
            // libusb still owns it: freeing it would let a late completion write into freed memory.
            usb_wedged_ = true;
            kept_for_libusb().push_back(std::shared_ptr<TransferSlot>(std::move(slot)));
            ++stuck;
            continue;
        }
        usb_->free_transfer(slot->transfer);
    }
    if (stuck > 0)
        log_line((Line() << "RX-888: " << stuck
                         << " USB transfers did not finish after they were cancelled; they are left to libusb")
                     .str());
    transfers_.clear();
    {
        std::scoped_lock lock(queue_mutex_);
        raw_blocks_.clear();
        pool_.clear();
        pool_allocated_ = 0;
    }
    if (queue_ != nullptr) {
        queue_->close();
        queue_ = nullptr;
    }
}

void Rx888Radio::fail_stream(char const* text) noexcept
{
    failed_ = true;
    stopped_ = true;
    if (queue_ != nullptr)
        queue_->fail(text);
    queue_cv_.notify_all();
}

void Rx888Radio::stream_fault(char const* text) noexcept { fail_stream(text); }

void Rx888Radio::on_transfer(libusb_transfer* transfer) noexcept
{
    auto* slot = static_cast<TransferSlot*>(transfer->user_data);
    slot->in_flight = false;
    --pending_transfers_;
    if (stopped_.load() || recovering_.load())
        return;
    auto const now = SteadyClock::now();
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED || transfer->actual_length != transfer->length) {
        double const since_first = transfers_done_ == 0 ? 0.0 : std::chrono::duration<double>(now - first_transfer_time_).count();
        double const since_last =
            transfers_done_ == 0 ? 0.0 : std::chrono::duration<double, std::milli>(now - last_transfer_time_).count();
        log_line((Line() << "RX-888 stream fault: status=" << static_cast<int>(transfer->status) << ", received="
                         << transfer->actual_length << "/" << transfer->length << " bytes, after " << since_first
                         << " s and " << transfers_done_ << " transfers; " << since_last
                         << " ms since the last good transfer, longest earlier gap " << longest_gap_ms_
                         << " ms, deepest host backlog " << deepest_backlog_ << "/" << pool_limit_ << " blocks")
                     .str());
        fault_text_ = status_fault_text(transfer->status);
        recovering_ = true;
        return;
    }
    try {
        if (transfers_done_++ != 0)
            longest_gap_ms_ =
                std::max(longest_gap_ms_, std::chrono::duration<double, std::milli>(now - last_transfer_time_).count());
        else
            first_transfer_time_ = now;
        last_transfer_time_ = now;

        std::vector<std::int16_t> buffer;
        bool have = false;
        {
            std::scoped_lock lock(queue_mutex_);
            if (!pool_.empty()) {
                buffer = std::move(pool_.back());
                pool_.pop_back();
                have = true;
            } else if (pool_allocated_ < pool_limit_) {
                ++pool_allocated_;
                have = true;
            }
        }
        double const block_s = static_cast<double>(block_samples) / adc_clock_;
        double const utc_now = utc();
        if (stream_samples_ == 0)
            stream_time_base_ = utc_now - block_s;
        double block_time = static_cast<double>(stream_samples_) / adc_clock_ + stream_time_base_;
        // The ADC clock is not the system clock: an error of 20 ppm is 1.7 s a day. When the
        // end of this block, just captured, reads that far from the system clock, block times
        // start again from the system clock and the next block marks the jump. A block cannot
        // end after its arrival, so a lead is acted on at once; a lag could be a host that
        // handled events late, so it must last a quarter second of transfers, and the least
        // lag of those is taken.
        double drift = block_time + block_s - utc_now;
        if (drift < -reanchor_limit_s) {
            late_min_s_ = late_run_ == 0 ? -drift : std::min(late_min_s_, -drift);
            if (++late_run_ >= late_window_)
                drift = -late_min_s_;
            else
                drift = 0;
        } else {
            late_run_ = 0;
        }
        if (std::fabs(drift) > reanchor_limit_s) {
            late_run_ = 0;
            stream_time_base_ -= drift;
            block_time -= drift;
            reanchor_pending_ = true;
            log_line((Line() << "RX-888: sample times drifted " << drift
                             << " s from the system clock; re-anchored (reception continues after a discontinuity)")
                         .str());
        }
        if (!have) {
            dropped_samples_ += block_samples;
        } else {
            buffer.resize(block_samples);
            std::memcpy(buffer.data(), transfer->buffer, transfer_bytes);
            RawAdcBlock block{std::move(buffer), block_time, 0, dropped_samples_, reanchor_pending_};
            dropped_samples_ = 0;
            reanchor_pending_ = false;
            {
                std::scoped_lock lock(queue_mutex_);
                block.generation = generation_;
                raw_blocks_.push_back(std::move(block));
                deepest_backlog_ = std::max<std::uint64_t>(deepest_backlog_, raw_blocks_.size());
            }
            queue_cv_.notify_one();
        }
        stream_samples_ += block_samples;
    } catch (...) {
        stream_fault("RX-888 USB callback failed");
        return;
    }
    int const resubmitted = usb_->submit_transfer(transfer);
    if (resubmitted == 0) {
        slot->in_flight = true;
        ++pending_transfers_;
        return;
    }
    // A receiver pulled out between two transfers refuses the next one: that is a fault to
    // recover from like any bad transfer, not the end of reception.
    log_line(usb_error_text(*usb_, resubmitted, "resubmit ADC transfer"));
    fault_text_ = resubmitted == LIBUSB_ERROR_NO_DEVICE ? "RX-888 disconnected" : "RX-888 USB resubmission failed";
    recovering_ = true;
}

bool Rx888Radio::cancel_and_drain()
{
    for (auto& slot : transfers_)
        if (slot->in_flight.load())
            usb_->cancel_transfer(slot->transfer);
    auto const deadline = SteadyClock::now() + drain_limit;
    while (pending_transfers_.load() > 0) {
        if (SteadyClock::now() >= deadline)
            return false;
        timeval tv{0, 20000};
        usb_->handle_events_timeout_completed(usb_->context, &tv, nullptr);
    }
    return true;
}

void Rx888Radio::usb_loop()
{
    for (;;) {
        while (!stopped_.load() && !recovering_.load()) {
            timeval tv{0, 20000};
            int const result = usb_->handle_events_timeout_completed(usb_->context, &tv, nullptr);
            if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED)
                fail_stream("RX-888 USB event handling failed");
        }
        bool const drained = cancel_and_drain();
        if (stopped_.load() || !recovering_.load())
            return;
        if (drained && recover())
            continue;
        // Give up: whatever is still in flight is drained (or left to libusb), then the run
        // learns why reception ended.
        if (drained)
            cancel_and_drain();
        if (stopped_.load())
            return;
        fail_stream(fault_text_.load());
        return;
    }
}

bool Rx888Radio::recover()
{
    double const limit = options_.rx888_recovery;
    if (limit <= 0)
        return false;
    auto const t0 = SteadyClock::now();
    log_line(std::string(fault_text_.load()) + "; trying to resume");
    try {
        bool alive = false;
        {
            std::scoped_lock lock(device_mutex_);
            alive = device_.answers_probe();
        }
        if (!alive) {
            auto const wait_start = SteadyClock::now();
            {
                std::scoped_lock lock(device_mutex_);
                device_.close();
            }
            log_line(
                (Line() << "RX-888 is not answering; waiting up to " << limit << " s for it to reset or be replugged").str());
            std::string const firmware = rx888_firmware_path(options_);
            if (!wait_for_device(limit, wait_start, firmware, [this] { return stopped_.load(); }))
                return false;
        }
        {
            std::scoped_lock lock(device_mutex_);
            vga_gain_db_ = device_.configure(settings());
        }
        {
            std::scoped_lock lock(frontend_mutex_);
            rx888_converter_length(adc_clock_, center_, frontend_->rate_hz());
            frontend_->restart(center_);
            std::scoped_lock queue_lock(queue_mutex_);
            ++generation_;
            discontinuity_pending_ = true;
            gap_known_ = false;
            gap_samples_ = 0;
        }
        stream_samples_ = 0;
        dropped_samples_ = 0;
        reanchor_pending_ = false;
        late_run_ = 0;
        transfers_done_ = 0;
        longest_gap_ms_ = 0;
        resubmit_all("resubmit ADC transfer");
        {
            std::scoped_lock lock(device_mutex_);
            device_.command(rx888_request::start_stream, 0);
        }
        log_line((Line() << "RX-888: reception resumed after " << seconds_since(t0) << " s").str());
        recovering_ = false;
        return true;
    } catch (std::exception const& error) {
        log_line(std::string("RX-888 could not be resumed: ") + error.what());
        return false;
    }
}

void Rx888Radio::give_back(std::vector<std::int16_t>&& buffer)
{
    std::scoped_lock lock(queue_mutex_);
    pool_.push_back(std::move(buffer));
}

void Rx888Radio::report_host_drops(bool force)
{
    if (host_dropped_ == 0)
        return;
    auto const now = SteadyClock::now();
    if (!force && now - host_drop_report_time_ < std::chrono::seconds(1))
        return;
    log_line((Line() << "RX-888: the host fell behind; dropped " << static_cast<double>(host_dropped_) / adc_clock_ * 1000
                     << " ms of samples (reception continues)")
                 .str());
    host_dropped_ = 0;
    host_drop_report_time_ = now;
}

void Rx888Radio::convert_loop()
{
    for (;;) {
        RawAdcBlock block;
        {
            std::unique_lock lock(queue_mutex_);
            queue_cv_.wait(lock, [&] { return stopped_.load() || !raw_blocks_.empty(); });
            if (stopped_.load())
                return;
            block = std::move(raw_blocks_.front());
            raw_blocks_.pop_front();
        }
        try {
            if (hooks_.before_conversion)
                hooks_.before_conversion();
            process(block);
        } catch (...) {
            stream_fault("RX-888 downconversion failed");
            return;
        }
    }
}

void Rx888Radio::detect_overload(std::vector<std::int16_t> const& words)
{
    auto const [low, high] = std::minmax_element(words.begin(), words.end());
    bool const clipped = !words.empty() && (*high == 32767 || *low < -32766);
    if (clipped) {
        clean_samples_ = 0;
        if (!clipping_) {
            clipping_ = true;
            std::uint64_t word = overload_.load();
            std::uint64_t next = 0;
            do {
                std::uint64_t const events = (word >> 2) + ((word & 3) == 2 ? 0 : 1);
                next = events << 2 | 2;
            } while (!overload_.compare_exchange_weak(word, next));
        }
        return;
    }
    clean_samples_ += words.size();
    if (clean_samples_ >= static_cast<std::uint64_t>(0.5 * adc_clock_) && (clipping_ || !clear_published_)) {
        clipping_ = false;
        clear_published_ = true;
        std::uint64_t word = overload_.load();
        while (!overload_.compare_exchange_weak(word, (word & ~std::uint64_t{3}) | 1)) {
        }
    }
}

void Rx888Radio::emit(IqSamples&& samples, double time)
{
    IqBlock out;
    out.samples = std::move(samples);
    out.utc = time;
    out.raw_per_sample = 1;
    mark_break(out);
    if (!out.samples.empty())
        meter_.update(out.samples, utc());
    queue_->push(std::move(out));
}

// A pending break goes out on the next block: as dropped samples when their count is known,
// otherwise as a reset of the source.
void Rx888Radio::mark_break(IqBlock& out)
{
    if (discontinuity_pending_) {
        out.discontinuity = true;
        if (gap_known_) {
            out.gap_flags = GAP_DROPPED;
            out.gap_samples = static_cast<std::uint64_t>(std::llround(gap_samples_));
        } else {
            out.gap_flags = GAP_SOURCE_RESET;
        }
    }
    discontinuity_pending_ = false;
    gap_known_ = false;
    gap_samples_ = 0;
}

void Rx888Radio::process(RawAdcBlock& block)
{
    std::scoped_lock lock(frontend_mutex_);
    if (block.generation != generation_) {
        give_back(std::move(block.samples));
        return;
    }
    bool restarted = false;
    if (block.gap != 0) {
        frontend_->restart(center_);
        restarted = true;
        if (!discontinuity_pending_) {
            discontinuity_pending_ = true;
            gap_known_ = true;
        }
        host_dropped_ += block.gap;
        gap_samples_ += static_cast<double>(block.gap) / frontend_->decimation();
        report_host_drops(false);
    }
    detect_overload(block.samples);

    if (engine_) {
        // The receive engine computes from the raw words themselves.
        double peak = 0;
        double sum = 0;
        for (std::int16_t const word : block.samples) {
            double const v = word;
            peak = std::max(peak, std::fabs(v));
            sum += v * v;
        }
        meter_.add_levels(peak / 32768.0, sum / (32768.0 * 32768.0), block.samples.size() / 2, utc());
        IqBlock out;
        out.raw = std::move(block.samples);
        out.raw_per_sample = engine_decimation_;
        out.utc = block.time;
        if (block.reanchored)
            discontinuity_pending_ = true;
        mark_break(out);
        queue_->push(std::move(out));
        {
            std::scoped_lock queue_lock(queue_mutex_);
            --pool_allocated_;
        }
        latched_ = false;
        return;
    }

    if (!latched_ || latched_generation_ != generation_ || restarted) {
        t0_ = block.time;
    } else if (block.reanchored) {
        // Same samples, new clock: word n of the stream now reads the block's time minus its
        // distance from this block's first word.
        t0_ = block.time - static_cast<double>(frontend_->next_word_index()) / adc_clock_;
        if (!discontinuity_pending_) {
            discontinuity_pending_ = true;
            gap_known_ = false;
        }
    }
    frontend_->start();
    if (!banner_printed_) {
        banner_printed_ = true;
        log_line("RX-888 front end: " + frontend_->description());
    }
    batch_.clear();
    double offset = 0;
    std::size_t const blocks = frontend_->convert(block.samples.data(), block.samples.size(), batch_, offset);
    if (blocks > 0) {
        IqSamples samples;
        samples.swap(batch_);
        emit(std::move(samples), t0_ + offset);
    }
    give_back(std::move(block.samples));
    latched_ = true;
    latched_generation_ = generation_;
}

void Rx888Radio::report_overload()
{
    std::uint64_t const word = overload_.load();
    OverloadStatus const status = decode_overload_state(word);
    auto const now = SteadyClock::now();
    if (reported_events_ < status.events &&
        (reported_events_ == 0 || now - last_report_time_ >= std::chrono::seconds(5))) {
        if (status.state == "detected") {
            log_line((Line() << "RF overload detected (events=" << status.events
                             << "); the RX-888 ADC is clipping: raise the attenuator or lower the VGA gain")
                         .str());
            overload_active_ = true;
        } else {
            log_line((Line() << "RF overload: the RX-888 ADC clipped briefly (events=" << status.events
                             << "); raise the attenuator or lower the VGA gain if it recurs")
                         .str());
        }
        last_report_time_ = now;
        reported_events_ = status.events;
    }
    if (status.state == "clear" && overload_active_) {
        log_line((Line() << "RF overload cleared (events=" << status.events << ")").str());
        overload_active_ = false;
    }
}

std::string Rx888Radio::control(std::string const& request)
{
    if (request == "RADIO METER") {
        RadioMeter meter;
        meter.levels = meter_.snapshot(false, true, utc());
        meter.overload = decode_overload_state(overload_.load());
        meter.if_gain.state = "unavailable";
        return format_meter_reply(meter);
    }
    if (request == "RADIO OVERLOAD")
        return format_overload_reply(decode_overload_state(overload_.load()));
    if (request == "RADIO LEVELS" || request == "RADIO LEVELS RESET")
        return format_levels_reply(meter_.snapshot(request == "RADIO LEVELS RESET", false, utc()));
    if (request == "RADIO STATUS") {
        std::scoped_lock lock(device_mutex_);
        char text[160];
        std::snprintf(text, sizeof text, "OK RADIO rx888-rate=%s,rx888-attenuation=%f,rx888-gain=%f",
                      adc_clock_ > 9.6e7 ? "full" : "half", attenuation_db_, vga_gain_db_);
        return text;
    }
    std::string const prefix = "RADIO SET ";
    if (request.rfind(prefix, 0) != 0)
        return Radio::control(request);

    LiveSdrSettings const wanted = parse_live_sdr_settings(request.substr(prefix.size()), true);
    std::scoped_lock lock(device_mutex_);
    if (stopped_.load())
        throw std::runtime_error("RX-888 receiver is not streaming");
    if (recovering_.load() || !device_.is_open())
        throw std::runtime_error("RX-888 is recovering its stream; try again when reception resumes");
    double const a0 = attenuation_db_;
    bool attenuation_changed = false;
    if (auto const found = wanted.find("rx888-attenuation"); found != wanted.end()) {
        // The parse refused values off the attenuator's 0.5 dB steps: what is stored is what
        // the attenuator applies.
        double const v = parse_live_sdr_value(found->second, false, 0, 31.5);
        if (v != attenuation_db_) {
            device_.set_arg(rx888_attenuator_argument, static_cast<std::uint16_t>(std::llround(2 * v)));
            attenuation_db_ = v;
            attenuation_changed = true;
        }
    }
    if (auto const found = wanted.find("rx888-gain"); found != wanted.end()) {
        double const g = parse_live_sdr_value(found->second, false, -8, 32);
        std::uint8_t const code = rx888_vga_code(g);
        try {
            device_.set_arg(rx888_vga_argument, code);
        } catch (std::exception const& gain_error) {
            if (!attenuation_changed)
                throw;
            try {
                device_.set_arg(rx888_attenuator_argument, static_cast<std::uint16_t>(std::llround(2 * a0)));
            } catch (std::exception const&) {
                throw std::runtime_error((Line() << gain_error.what() << "; the attenuator stayed at " << attenuation_db_
                                                 << " dB")
                                             .str());
            }
            attenuation_db_ = a0;
            throw;
        }
        requested_gain_db_ = g;
        vga_gain_db_ = rx888_vga_gain_db(code);
    }
    log_line((Line() << "RX-888: atten=" << attenuation_db_ << " dB, VGA=" << vga_gain_db_ << " dB").str());
    return "OK RADIO " + format_live_sdr_settings(wanted);
}

}  // namespace

std::unique_ptr<Radio> make_rx888_radio(Options const& options, Rx888Hooks hooks)
{
    return std::make_unique<Rx888Radio>(options, std::move(hooks));
}
