// A stand-in for libusb-1.0 with RX-888 MKII receivers behind it, for tests and demonstrations
// without hardware. It exports the twenty entry points the RX-888 backend loads (types and
// constants from the real libusb header) and emulates:
// - devices with vendor/product IDs, serials, bus and port paths and speeds;
// - the FX3 bootloader (04b4:00f3): memory writes with request 0xA0, and after the entry jump
//   the re-enumeration as the RX-888 application device (04b4:00f1);
// - the application firmware's vendor requests (identity, clock, GPIO, attenuator, VGA, start
//   and stop), each one recorded in the call log;
// - bulk IN transfers on endpoint 0x81 carrying signed 16-bit ADC words at the commanded clock
//   (tones, a 12 kHz recording placed at an RF frequency, noise), paced by the wall clock;
// - scripted faults at chosen transfers, and transfers that time out when nothing is sent.
// Callbacks run only inside libusb_handle_events_timeout_completed, as with the real library.
// Misuse that the real library would punish with memory corruption (freeing a transfer still
// in flight, exiting with transfers in flight) is reported on standard error and aborts.
//
// Read at the first libusb_init:
//   NORVANE_RX888_DEVICES   device records, ';' separated: KIND:SERIAL:BUS:PORTS[:OPTION...]
//                           KIND app (04b4:00f1), boot (04b4:00f3), pid=XXXX (04b4:XXXX),
//                           vid=XXXX.XXXX; PORTS dot separated ("1.4"), empty for none;
//                           OPTIONs speed=N (libusb speed code, default 4), open=fail,
//                           claim=busy, identity=M.A.B (default 4.2.2), serial=unreadable,
//                           app-serial=S (serial after a firmware upload), reenumerate=MS
//                           (after the entry jump, default 200; -1 never)
//                           default: "app:RX888SN1:2:1.4"
//   NORVANE_RX888_LOG       call log file: one line per call of interest, and "delivered N" at
//                           every hundredth transfer
//   NORVANE_RX888_MEMORY    file that receives a bootloader's memory at its entry jump:
//                           "entry 0xADDRESS", then "0xADDRESS HEX" per contiguous region
//   NORVANE_RX888_TONES     tones "HZ@AMPLITUDE", ',' separated (amplitude: fraction of full scale)
//   NORVANE_RX888_SIGNAL    "PATH@DIAL_HZ@AMPLITUDE@ALIGN_S": PATH holds complex float32
//                           baseband at 12000 Hz (the analytic signal of some audio), sent as
//                           upper sideband on DIAL_HZ; it begins at the next multiple of ALIGN_S
//                           seconds of UTC (0: when the stream first starts)
//   NORVANE_RX888_NOISE     RMS of added noise, fraction of full scale
//   NORVANE_RX888_PPM       the ADC clock's error in ppm (the stream runs that much fast)
//   NORVANE_RX888_SLOW      slow motion: the stream is paced this many times slower than real
//   NORVANE_RX888_PACE      "realtime" (default) or "fast" (every transfer at once)
//   NORVANE_RX888_SCRIPT    events at delivered transfer numbers (from 0, across restarts),
//                           "K:EVENT[:ARG]" ',' separated: short, error, timeout, stall,
//                           overflow (that transfer's status); hang (the device stops sending
//                           until it is started again); dead:MS (it answers nothing until it
//                           resets and re-enumerates after MS, -1 never); unplug:MS and
//                           unplug-boot:MS (gone, back after MS as the application device or
//                           the bootloader, -1 never); clip:N (N transfers clipped);
//                           wedge (transfers never complete again, not even when cancelled)
//   NORVANE_RX888_FAIL      calls that fail, "NAME@N" ',' separated (the Nth call, from 1):
//                           init, list, submit, events, start (the 0xAA request), identity
//                           (the 0xAC request), setarg (the 0xB6 request)

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

using Steady = std::chrono::steady_clock;

namespace {

double utc_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void violation(std::string const& what)
{
    std::fprintf(stderr, "rx888 stand-in: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<std::string> split(std::string const& text, char separator)
{
    std::vector<std::string> parts;
    if (text.empty())
        return parts;
    std::size_t begin = 0;
    for (;;) {
        std::size_t const end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos)
            return parts;
        begin = end + 1;
    }
}

std::string environment(char const* name, char const* fallback = "")
{
    char const* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string(fallback);
}

// One device slot: what is plugged into one USB port.
struct Record {
    std::uint16_t vendor = 0x04B4;
    std::uint16_t product = 0x00F1;
    std::string serial;
    std::string app_serial;
    std::uint8_t bus = 2;
    std::vector<std::uint8_t> ports;
    int speed = LIBUSB_SPEED_SUPER;
    bool open_fails = false;
    bool claim_busy = false;
    bool serial_unreadable = false;
    unsigned char identity[4] = {4, 2, 2, 0};
    int reenumerate_ms = 200;

    // Live state.
    bool present = true;
    std::uint64_t generation = 0;
    bool claimed = false;
    bool streaming = false;
    bool hung = false;
    bool dead = false;
    bool wedged = false;
    std::uint32_t clock_hz = 0;
    Steady::time_point return_at{};
    bool returning = false;
    std::uint16_t return_product = 0x00F1;
    std::map<std::uint32_t, std::uint8_t> memory;  // bootloader RAM written so far
};

}  // namespace

struct libusb_context {
    int id = 0;
};

struct libusb_device {
    Record* record = nullptr;
    std::uint64_t generation = 0;
    std::uint16_t product = 0;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    bool claimed = false;
};

namespace {

struct ScriptEvent {
    std::string name;
    long long argument = 0;
};

struct Tone {
    double hz = 0;
    double amplitude = 0;
};

// The signal that every application device streams.
class Generator {
public:
    std::vector<Tone> tones;
    std::vector<std::complex<float>> baseband;  // 12000 Hz
    double dial_hz = 0;
    double signal_amplitude = 0;
    double align_s = 0;
    double noise_rms = 0;
    double ppm = 0;
    double slow = 1;

    // The stream (re)starts: sample numbers follow the virtual time since the first start, so
    // the signal keeps its place in time across stops.
    void start(double nominal_clock_hz, Steady::time_point now_steady, double now_utc)
    {
        double const clock = nominal_clock_hz * (1 + ppm * 1e-6);
        if (!started_) {
            started_ = true;
            epoch_steady_ = now_steady;
            epoch_utc_ = now_utc;
            if (!baseband.empty())
                signal_start_utc_ = align_s > 0 ? std::ceil(now_utc / align_s) * align_s : now_utc;
        }
        if (clock != clock_) {
            clock_ = clock;
            tables_.clear();
        }
        double const virtual_s = std::chrono::duration<double>(now_steady - epoch_steady_).count() / slow;
        next_sample_ = static_cast<std::uint64_t>(std::llround(virtual_s * clock_));
    }

    // When the samples up to `end_sample` have all been taken by the ADC.
    Steady::time_point due(std::uint64_t end_sample) const
    {
        double const seconds = static_cast<double>(end_sample) / clock_ * slow;
        return epoch_steady_ + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
    }

    std::uint64_t next_sample() const { return next_sample_; }

    void fill(std::int16_t* out, std::size_t count, bool clip)
    {
        std::uint64_t const n0 = next_sample_;
        next_sample_ += count;
        sum_.assign(count, 0.0f);
        ensure_tables(count);
        for (std::size_t t = 0; t < tones.size(); ++t)
            add_segment(tones[t].hz, tones[t].amplitude, n0, 0, count, tables_[t], {1.0f, 0.0f}, {0.0f, 0.0f});
        if (!baseband.empty())
            add_signal(n0, count);
        if (noise_rms > 0) {
            // A stretch of a long table of uniform noise from a random place for every
            // transfer: as white as drawing each sample, at the cost of one addition.
            if (noise_.empty()) {
                noise_.resize(noise_size);
                float const scale = static_cast<float>(noise_rms * std::sqrt(3.0) / 2147483648.0);
                for (float& v : noise_)
                    v = static_cast<float>(static_cast<std::int32_t>(next_random())) * scale;
            }
            std::size_t const start = next_random() % (noise_size - count);
            float const* noise = noise_.data() + start;
            float* sum = sum_.data();
            for (std::size_t k = 0; k < count; ++k)
                sum[k] += noise[k];
        }
        for (std::size_t k = 0; k < count; ++k) {
            // Rounded to the nearest word, half away from zero, held at full scale.
            float const v = std::clamp(sum_[k] * 32767.0f, -32768.0f, 32767.0f);
            out[k] = static_cast<std::int16_t>(static_cast<int>(v + (v >= 0.0f ? 0.5f : -0.5f)));
        }
        if (clip && count > 2) {
            out[count / 2] = 32767;
            out[count / 2 + 1] = -32768;
        }
    }

private:
    struct Table {
        std::vector<float> re;
        std::vector<float> im;
    };

    void ensure_tables(std::size_t count)
    {
        std::size_t const wanted = tones.size() + (baseband.empty() ? 0 : 1);
        if (tables_.size() == wanted && (wanted == 0 || tables_[0].re.size() >= count))
            return;
        tables_.assign(wanted, {});
        for (std::size_t t = 0; t < wanted; ++t) {
            double const hz = t < tones.size() ? tones[t].hz : dial_hz;
            double const w = 2 * std::numbers::pi * hz / clock_;
            tables_[t].re.resize(count);
            tables_[t].im.resize(count);
            for (std::size_t k = 0; k < count; ++k) {
                tables_[t].re[k] = static_cast<float>(std::cos(w * static_cast<double>(k)));
                tables_[t].im[k] = static_cast<float>(std::sin(w * static_cast<double>(k)));
            }
        }
    }

    // Phasor of hz at sample n, exact for any n.
    std::complex<double> phasor_at(double hz, std::uint64_t n) const
    {
        long double const cycles = static_cast<long double>(hz) * static_cast<long double>(n) / static_cast<long double>(clock_);
        double const fraction = static_cast<double>(cycles - std::floor(cycles));
        return std::polar(1.0, 2 * std::numbers::pi * fraction);
    }

    // sum[k] += amplitude * Re((a + b k) * phasor(n0) * table[k]) over [from, to).
    void add_segment(double hz, double amplitude, std::uint64_t n0, std::size_t from, std::size_t to, Table const& table,
                     std::complex<float> a, std::complex<float> b)
    {
        std::complex<double> const start = phasor_at(hz, n0) * amplitude;
        auto const cr = static_cast<float>(start.real());
        auto const ci = static_cast<float>(start.imag());
        float const* tr = table.re.data();
        float const* ti = table.im.data();
        float* out = sum_.data();
        for (std::size_t k = from; k < to; ++k) {
            float const kk = static_cast<float>(k);
            float const vr = a.real() + b.real() * kk;
            float const vi = a.imag() + b.imag() * kk;
            float const pr = cr * tr[k] - ci * ti[k];
            float const pi = cr * ti[k] + ci * tr[k];
            out[k] += vr * pr - vi * pi;
        }
    }

    // The baseband recording, linearly interpolated to the ADC clock, on its dial frequency.
    void add_signal(std::uint64_t n0, std::size_t count)
    {
        double const t0 = epoch_utc_ + static_cast<double>(n0) / clock_ - signal_start_utc_;
        double const step = 12000.0 / clock_;
        double const p0 = t0 * 12000.0;
        double const last = static_cast<double>(baseband.size() - 1);
        if (p0 + step * static_cast<double>(count) < 0 || p0 >= last)
            return;
        Table const& table = tables_.back();
        std::size_t k = 0;
        while (k < count) {
            double const p = p0 + step * static_cast<double>(k);
            if (p < 0) {
                k = std::max(k + 1, static_cast<std::size_t>(std::ceil(-p0 / step)));
                continue;
            }
            if (p >= last)
                break;
            auto const i = static_cast<std::size_t>(p);
            // The samples of this block between baseband samples i and i + 1.
            double const next = (static_cast<double>(i + 1) - p0) / step;
            std::size_t const end = std::min(count, std::max(k + 1, static_cast<std::size_t>(std::ceil(next))));
            std::complex<float> const d = baseband[i + 1] - baseband[i];
            // value(k') = baseband[i] + (p0 + step k' - i) d = a + b k'
            std::complex<float> const a = baseband[i] + static_cast<float>(p0 - static_cast<double>(i)) * d;
            std::complex<float> const b = static_cast<float>(step) * d;
            add_segment(dial_hz, signal_amplitude, n0, k, end, table, a, b);
            k = end;
        }
    }

    bool started_ = false;
    Steady::time_point epoch_steady_{};
    double epoch_utc_ = 0;
    double signal_start_utc_ = 0;
    double clock_ = 0;
    std::uint64_t next_sample_ = 0;
    std::vector<Table> tables_;
    std::uint32_t next_random()
    {
        noise_state_ ^= noise_state_ << 13;
        noise_state_ ^= noise_state_ >> 17;
        noise_state_ ^= noise_state_ << 5;
        return noise_state_;
    }

    static constexpr std::size_t noise_size = std::size_t{1} << 22;
    std::vector<float> sum_;
    std::vector<float> noise_;
    std::uint32_t noise_state_ = 0x12345678u;
};

struct TransferState {
    enum class Phase { idle, in_flight, filling, done } phase = Phase::idle;
    bool cancel = false;
    Steady::time_point deadline{};
    libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
    int actual_length = 0;
};

class World {
public:
    World() { configure(); }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Record>> records;
    std::vector<std::unique_ptr<libusb_device>> devices;  // every device object ever listed
    std::map<libusb_transfer*, TransferState> transfers;
    std::deque<libusb_transfer*> order;  // in flight, oldest first
    std::deque<libusb_transfer*> completed;
    std::multimap<std::uint64_t, ScriptEvent> script;
    std::map<std::string, std::set<long long>> failures;
    std::map<std::string, long long> calls;
    Generator generator;
    std::mutex generator_mutex;  // taken after `mutex` when both are held
    bool fast = false;
    std::uint64_t delivered = 0;
    int clipping_left = 0;
    int contexts = 0;
    bool quit = false;
    std::thread producer;
    std::string log_path;
    std::string memory_path;

    void log(std::string const& line)
    {
        if (log_path.empty())
            return;
        std::ofstream out(log_path, std::ios::app);
        out << line << '\n';
    }

    // True when this call (counted by name from 1) was told to fail.
    bool fails(std::string const& name)
    {
        long long const number = ++calls[name];
        auto const found = failures.find(name);
        return found != failures.end() && found->second.count(number) != 0;
    }

    std::string describe(Record const& record) const
    {
        std::string path = "usb-" + std::to_string(record.bus);
        for (std::uint8_t port : record.ports)
            path += "-" + std::to_string(port);
        return path;
    }

    // Brings back devices whose time has come.
    void apply_due(Steady::time_point now)
    {
        for (auto& record : records) {
            if (record->returning && now >= record->return_at) {
                record->returning = false;
                record->present = true;
                record->dead = false;
                record->hung = false;
                record->wedged = false;
                record->streaming = false;
                record->claimed = false;
                record->product = record->return_product;
                if (record->product == 0x00F1 && !record->app_serial.empty())
                    record->serial = record->app_serial;
                ++record->generation;
                record->memory.clear();
                log(std::string("plug ") + describe(*record) + (record->product == 0x00F3 ? " bootloader" : " application"));
            }
        }
    }

    libusb_device* device_object(Record* record)
    {
        for (auto& device : devices)
            if (device->record == record && device->generation == record->generation && device->product == record->product)
                return device.get();
        devices.push_back(std::make_unique<libusb_device>(libusb_device{record, record->generation, record->product}));
        return devices.back().get();
    }

    // The handle's device is still the one that was opened, and plugged in.
    static bool alive(libusb_device_handle const* handle)
    {
        Record const* record = handle->device->record;
        return record->present && record->generation == handle->device->generation;
    }

    // Takes the device off the bus: its transfers end with "no device".
    void vanish(Record& record, int back_after_ms, std::uint16_t back_as)
    {
        record.present = false;
        record.streaming = false;
        record.claimed = false;
        record.returning = back_after_ms >= 0;
        record.return_at = Steady::now() + std::chrono::milliseconds(std::max(0, back_after_ms));
        record.return_product = back_as;
        for (libusb_transfer* transfer : order) {
            TransferState& state = transfers[transfer];
            if (transfer->dev_handle->device->record == &record &&
                (state.phase == TransferState::Phase::in_flight || state.phase == TransferState::Phase::filling)) {
                finish(transfer, LIBUSB_TRANSFER_NO_DEVICE, 0);
            }
        }
        log("unplug " + describe(record));
        changed.notify_all();
    }

    void finish(libusb_transfer* transfer, libusb_transfer_status status, int length)
    {
        TransferState& state = transfers[transfer];
        state.phase = TransferState::Phase::done;
        state.status = status;
        state.actual_length = length;
        order.erase(std::remove(order.begin(), order.end(), transfer), order.end());
        completed.push_back(transfer);
        changed.notify_all();
    }

    void start_producer()
    {
        quit = false;
        producer = std::thread([this] { produce(); });
    }

    void stop_producer(std::unique_lock<std::mutex>& lock)
    {
        quit = true;
        changed.notify_all();
        lock.unlock();
        if (producer.joinable())
            producer.join();
        lock.lock();
    }

private:
    void configure()
    {
        std::string const devices_text = environment("NORVANE_RX888_DEVICES", "app:RX888SN1:2:1.4");
        for (std::string const& entry : split(devices_text, ';')) {
            std::vector<std::string> const fields = split(entry, ':');
            if (fields.size() < 4)
                violation("bad device record " + entry);
            auto record = std::make_unique<Record>();
            std::string const& kind = fields[0];
            if (kind == "app") {
                record->product = 0x00F1;
            } else if (kind == "boot") {
                record->product = 0x00F3;
            } else if (kind.rfind("pid=", 0) == 0) {
                record->product = static_cast<std::uint16_t>(std::stoul(kind.substr(4), nullptr, 16));
            } else if (kind.rfind("vid=", 0) == 0) {
                record->vendor = static_cast<std::uint16_t>(std::stoul(kind.substr(4, 4), nullptr, 16));
                record->product = static_cast<std::uint16_t>(std::stoul(kind.substr(9, 4), nullptr, 16));
            } else {
                violation("bad device kind " + kind);
            }
            record->serial = fields[1];
            record->app_serial = fields[1];
            record->bus = static_cast<std::uint8_t>(std::stoi(fields[2]));
            for (std::string const& port : split(fields[3], '.'))
                record->ports.push_back(static_cast<std::uint8_t>(std::stoi(port)));
            for (std::size_t i = 4; i < fields.size(); ++i) {
                std::string const& option = fields[i];
                std::string const value = option.substr(option.find('=') + 1);
                if (option.rfind("speed=", 0) == 0)
                    record->speed = std::stoi(value);
                else if (option == "open=fail")
                    record->open_fails = true;
                else if (option == "claim=busy")
                    record->claim_busy = true;
                else if (option == "serial=unreadable")
                    record->serial_unreadable = true;
                else if (option.rfind("app-serial=", 0) == 0)
                    record->app_serial = value;
                else if (option.rfind("reenumerate=", 0) == 0)
                    record->reenumerate_ms = std::stoi(value);
                else if (option.rfind("identity=", 0) == 0) {
                    std::vector<std::string> const parts = split(value, '.');
                    for (std::size_t b = 0; b < 3 && b < parts.size(); ++b)
                        record->identity[b] = static_cast<unsigned char>(std::stoi(parts[b]));
                } else {
                    violation("bad device option " + option);
                }
            }
            records.push_back(std::move(record));
        }
        log_path = environment("NORVANE_RX888_LOG");
        memory_path = environment("NORVANE_RX888_MEMORY");
        for (std::string const& tone : split(environment("NORVANE_RX888_TONES"), ',')) {
            std::vector<std::string> const parts = split(tone, '@');
            generator.tones.push_back({std::stod(parts.at(0)), std::stod(parts.at(1))});
        }
        std::string const signal = environment("NORVANE_RX888_SIGNAL");
        if (!signal.empty()) {
            std::vector<std::string> const parts = split(signal, '@');
            std::ifstream in(parts.at(0), std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            generator.baseband.resize(bytes.size() / sizeof(std::complex<float>));
            std::memcpy(generator.baseband.data(), bytes.data(), generator.baseband.size() * sizeof(std::complex<float>));
            generator.dial_hz = std::stod(parts.at(1));
            generator.signal_amplitude = std::stod(parts.at(2));
            generator.align_s = std::stod(parts.at(3));
            if (generator.baseband.size() < 2)
                violation("signal file " + parts.at(0) + " holds no samples");
        }
        if (std::string const noise = environment("NORVANE_RX888_NOISE"); !noise.empty())
            generator.noise_rms = std::stod(noise);
        if (std::string const ppm = environment("NORVANE_RX888_PPM"); !ppm.empty())
            generator.ppm = std::stod(ppm);
        if (std::string const slow = environment("NORVANE_RX888_SLOW"); !slow.empty())
            generator.slow = std::max(1.0, std::stod(slow));
        fast = environment("NORVANE_RX888_PACE") == "fast";
        for (std::string const& event : split(environment("NORVANE_RX888_SCRIPT"), ',')) {
            std::vector<std::string> const parts = split(event, ':');
            ScriptEvent parsed{parts.at(1), parts.size() > 2 ? std::stoll(parts[2]) : 0};
            script.emplace(std::stoull(parts.at(0)), parsed);
        }
        for (std::string const& failure : split(environment("NORVANE_RX888_FAIL"), ',')) {
            std::vector<std::string> const parts = split(failure, '@');
            failures[parts.at(0)].insert(std::stoll(parts.at(1)));
        }
    }

    // The next transfer the ADC can fill: the oldest one in flight on a streaming device.
    libusb_transfer* next_to_fill()
    {
        for (libusb_transfer* transfer : order) {
            TransferState const& state = transfers[transfer];
            if (state.phase != TransferState::Phase::in_flight || state.cancel)
                continue;
            Record const& record = *transfer->dev_handle->device->record;
            if (!alive(transfer->dev_handle) || !record.streaming || record.hung || record.dead || record.wedged)
                continue;
            return transfer;
        }
        return nullptr;
    }

    // Applies the events scripted for transfer number `number`; returns the status it gets.
    libusb_transfer_status run_script(std::uint64_t number, Record& record, int& length)
    {
        libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
        auto const [first, last] = script.equal_range(number);
        for (auto it = first; it != last; ++it) {
            ScriptEvent const& event = it->second;
            log("event " + std::to_string(number) + " " + event.name);
            if (event.name == "short") {
                length -= 1;
            } else if (event.name == "error") {
                status = LIBUSB_TRANSFER_ERROR;
            } else if (event.name == "timeout") {
                status = LIBUSB_TRANSFER_TIMED_OUT;
            } else if (event.name == "stall") {
                status = LIBUSB_TRANSFER_STALL;
            } else if (event.name == "overflow") {
                status = LIBUSB_TRANSFER_OVERFLOW;
            } else if (event.name == "hang") {
                record.hung = true;
            } else if (event.name == "dead") {
                record.dead = true;
                record.returning = event.argument >= 0;
                record.return_at = Steady::now() + std::chrono::milliseconds(std::max(0LL, event.argument));
                record.return_product = 0x00F1;
            } else if (event.name == "unplug") {
                vanish(record, static_cast<int>(event.argument), 0x00F1);
                status = LIBUSB_TRANSFER_NO_DEVICE;
            } else if (event.name == "unplug-boot") {
                vanish(record, static_cast<int>(event.argument), 0x00F3);
                status = LIBUSB_TRANSFER_NO_DEVICE;
            } else if (event.name == "clip") {
                clipping_left = static_cast<int>(event.argument);
            } else if (event.name == "wedge") {
                record.wedged = true;
            } else {
                violation("bad script event " + event.name);
            }
        }
        return status;
    }

    void produce()
    {
        std::unique_lock lock(mutex);
        while (!quit) {
            apply_due(Steady::now());
            libusb_transfer* transfer = next_to_fill();
            if (transfer == nullptr) {
                changed.wait_for(lock, std::chrono::milliseconds(5));
                continue;
            }
            Record& record = *transfer->dev_handle->device->record;
            TransferState& state = transfers[transfer];
            if (!record.streaming)
                continue;
            std::size_t const count = static_cast<std::size_t>(transfer->length) / 2;
            std::uint64_t const end = generator.next_sample() + count;
            if (!fast) {
                auto const due = generator.due(end);
                if (Steady::now() < due) {
                    changed.wait_until(lock, due);
                    continue;  // the world may have changed meanwhile
                }
            }
            state.phase = TransferState::Phase::filling;
            bool const clip = clipping_left > 0;
            if (clip)
                --clipping_left;
            std::uint64_t const number = delivered++;
            if (number > 0 && number % 100 == 0)
                log("delivered " + std::to_string(number));
            int length = transfer->length;
            libusb_transfer_status const status = run_script(number, record, length);
            if (state.phase != TransferState::Phase::filling)
                continue;  // the device went away with it
            if (status == LIBUSB_TRANSFER_COMPLETED) {
                // The buffer is libusb's while in flight: fill it without holding the world,
                // but not while a start moves the generator on.
                std::unique_lock filling(generator_mutex);
                lock.unlock();
                generator.fill(reinterpret_cast<std::int16_t*>(transfer->buffer), count, clip);
                filling.unlock();
                lock.lock();
            }
            if (record.wedged) {
                state.phase = TransferState::Phase::in_flight;  // never completes
                continue;
            }
            if (state.phase != TransferState::Phase::filling)
                continue;
            if (state.cancel)
                finish(transfer, LIBUSB_TRANSFER_CANCELLED, 0);
            else
                finish(transfer, status, status == LIBUSB_TRANSFER_COMPLETED ? length : 0);
        }
    }
};

std::mutex world_mutex;  // guards `world` itself (creation and destruction)
World* world = nullptr;

World& the_world()
{
    if (world == nullptr)
        violation("libusb called without libusb_init");
    return *world;
}

char const* name_of(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}

std::string hex(unsigned char const* data, std::size_t length)
{
    static char const digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

void write_memory(World& w, Record const& record, std::uint32_t entry)
{
    if (w.memory_path.empty())
        return;
    std::ofstream out(w.memory_path, std::ios::app);
    out << "device " << w.describe(record) << '\n';
    char line[32];
    std::snprintf(line, sizeof line, "entry 0x%08x", entry);
    out << line << '\n';
    auto it = record.memory.begin();
    while (it != record.memory.end()) {
        std::uint32_t const start = it->first;
        std::vector<unsigned char> bytes;
        std::uint32_t expected = start;
        while (it != record.memory.end() && it->first == expected) {
            bytes.push_back(it->second);
            ++expected;
            ++it;
        }
        std::snprintf(line, sizeof line, "0x%08x ", start);
        out << line << hex(bytes.data(), bytes.size()) << '\n';
    }
}

int bootloader_control(World& w, Record& record, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                       std::uint16_t index, unsigned char* data, std::uint16_t length)
{
    if (type != 0x40 || request != 0xA0)
        return LIBUSB_ERROR_PIPE;
    std::uint32_t const address = static_cast<std::uint32_t>(index) << 16 | value;
    if (length == 0) {
        write_memory(w, record, address);
        w.log("jump " + w.describe(record));
        record.app_serial = record.app_serial.empty() ? record.serial : record.app_serial;
        w.vanish(record, record.reenumerate_ms, 0x00F1);
        return 0;
    }
    for (std::uint16_t i = 0; i < length; ++i)
        record.memory[address + i] = data[i];
    return length;
}

int application_control(World& w, Record& record, std::uint8_t type, std::uint8_t request, std::uint16_t index,
                        unsigned char* data, std::uint16_t length)
{
    if (type == 0xC0 && request == 0xAC) {
        if (w.fails("identity"))
            return LIBUSB_ERROR_TIMEOUT;
        std::uint16_t const n = std::min<std::uint16_t>(length, 4);
        std::memcpy(data, record.identity, n);
        return n;
    }
    if (type != 0x40)
        return LIBUSB_ERROR_PIPE;
    auto argument = [&] {
        return length >= 4 ? static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                                        static_cast<std::uint32_t>(data[3]) << 24)
                           : 0u;
    };
    switch (request) {
    case 0xAA:
        if (w.fails("start"))
            return LIBUSB_ERROR_IO;
        if (record.clock_hz == 0)
            return LIBUSB_ERROR_PIPE;  // the firmware streams only with a clock set
        record.streaming = true;
        record.hung = false;
        {
            std::scoped_lock filling(w.generator_mutex);
            w.generator.start(record.clock_hz, Steady::now(), utc_now());
        }
        w.changed.notify_all();
        return length;
    case 0xAB: record.streaming = false; return length;
    case 0xB2: record.clock_hz = argument(); return length;
    case 0xAD:
    case 0xB8: return length;
    case 0xB6:
        if (w.fails("setarg"))
            return LIBUSB_ERROR_PIPE;
        return (index == 10 || index == 11) ? static_cast<int>(length) : static_cast<int>(LIBUSB_ERROR_PIPE);
    default: return LIBUSB_ERROR_PIPE;
    }
}

}  // namespace

STANDIN_EXPORT int libusb_init(libusb_context** context)
{
    std::scoped_lock guard(world_mutex);
    // Counted for the life of the process: the world goes with the last context.
    static long long init_calls = 0;
    ++init_calls;
    for (std::string const& failure : split(environment("NORVANE_RX888_FAIL"), ','))
        if (failure == "init@" + std::to_string(init_calls))
            return LIBUSB_ERROR_ACCESS;
    if (world == nullptr)
        world = new World;
    World& w = *world;
    std::unique_lock lock(w.mutex);
    if (w.contexts++ == 0)
        w.start_producer();
    static std::atomic<int> next_id{1};
    *context = new libusb_context{next_id++};
    w.log("init");
    return 0;
}

STANDIN_EXPORT void libusb_exit(libusb_context* context)
{
    std::scoped_lock guard(world_mutex);
    World& w = the_world();
    std::unique_lock lock(w.mutex);
    w.log("exit");
    delete context;
    if (--w.contexts > 0)
        return;
    for (auto const& [transfer, state] : w.transfers) {
        if (state.phase != TransferState::Phase::idle)
            violation("libusb_exit with a transfer still in flight");
    }
    w.stop_producer(lock);
    lock.unlock();
    delete world;
    world = nullptr;
}

STANDIN_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    w.apply_due(Steady::now());
    if (w.fails("list"))
        return LIBUSB_ERROR_IO;
    std::vector<libusb_device*> present;
    for (auto& record : w.records)
        if (record->present)
            present.push_back(w.device_object(record.get()));
    auto** array = static_cast<libusb_device**>(std::calloc(present.size() + 1, sizeof(libusb_device*)));
    std::copy(present.begin(), present.end(), array);
    *list = array;
    return static_cast<ssize_t>(present.size());
}

STANDIN_EXPORT void libusb_free_device_list(libusb_device** list, int) { std::free(list); }

STANDIN_EXPORT int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    Record const& record = *device->record;
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0300;
    descriptor->bMaxPacketSize0 = 9;
    descriptor->idVendor = record.vendor;
    descriptor->idProduct = device->product;
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = record.serial.empty() ? 0 : 3;
    descriptor->bNumConfigurations = 1;
    return 0;
}

STANDIN_EXPORT uint8_t libusb_get_bus_number(libusb_device* device)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    return device->record->bus;
}

STANDIN_EXPORT int libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    std::vector<std::uint8_t> const& own = device->record->ports;
    if (static_cast<int>(own.size()) > length)
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(own.begin(), own.end(), ports);
    return static_cast<int>(own.size());
}

STANDIN_EXPORT int libusb_get_device_speed(libusb_device* device)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    return device->record->speed;
}

STANDIN_EXPORT int libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    Record const& record = *device->record;
    if (!record.present || record.generation != device->generation)
        return LIBUSB_ERROR_NO_DEVICE;
    if (record.open_fails)
        return LIBUSB_ERROR_ACCESS;
    *handle = new libusb_device_handle{device, false};
    w.log("open " + w.describe(record));
    return 0;
}

STANDIN_EXPORT void libusb_close(libusb_device_handle* handle)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    for (auto const& [transfer, state] : w.transfers) {
        if (transfer->dev_handle == handle && state.phase != TransferState::Phase::idle)
            violation("libusb_close with a transfer still in flight");
    }
    if (handle->claimed && World::alive(handle))
        handle->device->record->claimed = false;
    w.log("close " + w.describe(*handle->device->record));
    delete handle;
}

STANDIN_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                      int length)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    if (!World::alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    Record const& record = *handle->device->record;
    if (index != 3 || record.serial.empty() || record.serial_unreadable)
        return LIBUSB_ERROR_PIPE;
    int const n = std::min<int>(length - 1, static_cast<int>(record.serial.size()));
    std::memcpy(data, record.serial.data(), static_cast<std::size_t>(n));
    data[n] = 0;
    return n;
}

STANDIN_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interface_number)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    if (!World::alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    Record& record = *handle->device->record;
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (record.claim_busy || (record.claimed && !handle->claimed))
        return LIBUSB_ERROR_BUSY;
    record.claimed = true;
    handle->claimed = true;
    w.log("claim " + w.describe(record));
    return 0;
}

STANDIN_EXPORT int libusb_release_interface(libusb_device_handle* handle, int)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    if (!handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed = false;
    if (!World::alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    handle->device->record->claimed = false;
    w.log("release " + w.describe(*handle->device->record));
    return 0;
}

STANDIN_EXPORT int libusb_control_transfer(libusb_device_handle* handle, uint8_t type, uint8_t request, uint16_t value,
                                           uint16_t index, unsigned char* data, uint16_t length, unsigned int timeout)
{
    World& w = the_world();
    std::unique_lock lock(w.mutex);
    w.apply_due(Steady::now());
    char head[64];
    std::snprintf(head, sizeof head, "control %02x %02x %04x %04x %u", type, request, value, index, length);
    std::string line = head;
    if ((type & 0x80) == 0 && length > 0 && length <= 16)
        line += " " + hex(data, length);
    if (!World::alive(handle)) {
        w.log(line + " -> no device");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    Record& record = *handle->device->record;
    if (record.dead) {
        w.log(line + " -> timeout");
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout, 500u)));
        return LIBUSB_ERROR_TIMEOUT;
    }
    int const result = handle->device->product == 0x00F3
                           ? bootloader_control(w, record, type, request, value, index, data, length)
                           : application_control(w, record, type, request, index, data, length);
    if (result < 0)
        line += std::string(" -> ") + name_of(result);
    w.log(line);
    return result;
}

STANDIN_EXPORT libusb_transfer* libusb_alloc_transfer(int iso_packets)
{
    World& w = the_world();
    std::size_t const size =
        sizeof(libusb_transfer) + static_cast<std::size_t>(std::max(0, iso_packets)) * sizeof(libusb_iso_packet_descriptor);
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(1, size));
    if (transfer == nullptr)
        return nullptr;
    std::scoped_lock lock(w.mutex);
    w.transfers[transfer] = TransferState{};
    return transfer;
}

STANDIN_EXPORT void libusb_free_transfer(libusb_transfer* transfer)
{
    if (transfer == nullptr)
        return;
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    auto const found = w.transfers.find(transfer);
    if (found == w.transfers.end())
        violation("libusb_free_transfer of an unknown transfer");
    if (found->second.phase != TransferState::Phase::idle)
        violation("libusb_free_transfer of a transfer still in flight");
    w.transfers.erase(found);
    std::free(transfer);
}

STANDIN_EXPORT int libusb_submit_transfer(libusb_transfer* transfer)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    w.apply_due(Steady::now());
    TransferState& state = w.transfers.at(transfer);
    if (state.phase != TransferState::Phase::idle)
        return LIBUSB_ERROR_BUSY;
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK || transfer->endpoint != 0x81 || transfer->length <= 0 ||
        transfer->buffer == nullptr || transfer->dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (w.fails("submit"))
        return LIBUSB_ERROR_IO;
    if (!World::alive(transfer->dev_handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (!transfer->dev_handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    state = TransferState{};
    state.phase = TransferState::Phase::in_flight;
    state.deadline = Steady::now() + std::chrono::milliseconds(transfer->timeout);
    w.order.push_back(transfer);
    w.changed.notify_all();
    return 0;
}

STANDIN_EXPORT int libusb_cancel_transfer(libusb_transfer* transfer)
{
    World& w = the_world();
    std::scoped_lock lock(w.mutex);
    TransferState& state = w.transfers.at(transfer);
    if (state.phase != TransferState::Phase::in_flight && state.phase != TransferState::Phase::filling)
        return LIBUSB_ERROR_NOT_FOUND;
    if (state.cancel)
        return LIBUSB_ERROR_NOT_FOUND;
    state.cancel = true;
    w.changed.notify_all();
    return 0;
}

STANDIN_EXPORT int libusb_handle_events_timeout_completed(libusb_context*, timeval* tv, int*)
{
    World& w = the_world();
    std::unique_lock lock(w.mutex);
    if (w.fails("events"))
        return LIBUSB_ERROR_IO;
    auto const deadline = Steady::now() + std::chrono::seconds(tv != nullptr ? tv->tv_sec : 0) +
                          std::chrono::microseconds(tv != nullptr ? tv->tv_usec : 0);
    for (;;) {
        auto const now = Steady::now();
        w.apply_due(now);
        // Cancelled and timed-out transfers end here, as libusb ends them in its event loop.
        std::vector<libusb_transfer*> ending;
        for (libusb_transfer* transfer : w.order) {
            TransferState const& state = w.transfers[transfer];
            if (state.phase != TransferState::Phase::in_flight)
                continue;
            if (transfer->dev_handle->device->record->wedged)
                continue;
            if (state.cancel || (transfer->timeout != 0 && now >= state.deadline))
                ending.push_back(transfer);
        }
        for (libusb_transfer* transfer : ending)
            w.finish(transfer, w.transfers[transfer].cancel ? LIBUSB_TRANSFER_CANCELLED : LIBUSB_TRANSFER_TIMED_OUT, 0);
        if (!w.completed.empty())
            break;
        if (now >= deadline)
            return 0;
        w.changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)));
    }
    std::deque<libusb_transfer*> done;
    done.swap(w.completed);
    for (libusb_transfer* transfer : done) {
        TransferState& state = w.transfers[transfer];
        transfer->status = state.status;
        transfer->actual_length = state.actual_length;
        state.phase = TransferState::Phase::idle;
        state.cancel = false;
    }
    lock.unlock();
    for (libusb_transfer* transfer : done)
        transfer->callback(transfer);
    return 0;
}

#ifndef STANDIN_WITHOUT_ERROR_NAME
STANDIN_EXPORT char const* libusb_error_name(int code) { return name_of(code); }
#endif
