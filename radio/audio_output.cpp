#include "radio/audio_output.hpp"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string>

#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/output_file.hpp"
#include "core/wav_header.hpp"

namespace {

void put_u16(unsigned char* at, std::uint16_t value)
{
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>(value >> 8);
}

// Full scale is +-32767, so the clipped extremes stay symmetric. NaN carries no level at all and
// becomes silence. Rounding is to the nearest level, halfway to even. The clamp and the rounding
// are written out: fmin, fmax and nearbyint are library calls per sample without -ffast-math,
// and the decoder workers convert every interval of every channel. Adding and taking away
// 1.5 x 2^52 leaves a double of at most 2^51 rounded to an integer in the default rounding mode,
// as nearbyint would.
std::int16_t to_pcm16(float sample)
{
    if (std::isnan(sample))
        return 0;
    double const level = static_cast<double>(sample);
    double const clamped = level < -1.0 ? -1.0 : (level > 1.0 ? 1.0 : level);
    constexpr double round_shift = 0x1.8p52;
    return static_cast<std::int16_t>((clamped * 32767.0 + round_shift) - round_shift);
}

// Writes all of data at offset, or as much as the file takes: the bytes that reached the file
// are in `done` either way. Positional writes keep the header and the data independent of
// wherever an earlier failure left the file offset.
bool write_at(int fd, unsigned char const* data, std::size_t size, off_t offset, std::size_t& done)
{
    done = 0;
    while (done < size) {
        ssize_t const count = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        return false;
    }
    return true;
}

constexpr char const* own_sink = "norvane_rx";
constexpr char const* own_source = "norvane_rx_input";
constexpr auto pulse_timeout = std::chrono::seconds(10);

// What the one-off device check needs: a private main loop and context, and what the
// introspection callbacks report back.
struct PulseSetup {
    pa_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    bool found = false;
    std::uint32_t module_index = PA_INVALID_INDEX;
};

[[noreturn]] void pulse_error(PulseSetup const& setup, char const* what)
{
    int const error = setup.context ? pa_context_errno(setup.context) : PA_ERR_UNKNOWN;
    throw std::runtime_error(std::string(what) + ": " + pa_strerror(error));
}

void release_pulse_context(PulseSetup& setup)
{
    if (setup.context) {
        pa_context_disconnect(setup.context);
        pa_context_unref(setup.context);
        setup.context = nullptr;
    }
    if (setup.mainloop) {
        pa_mainloop_free(setup.mainloop);
        setup.mainloop = nullptr;
    }
}

bool context_alive(pa_context_state_t state)
{
    return state == PA_CONTEXT_CONNECTING || state == PA_CONTEXT_AUTHORIZING || state == PA_CONTEXT_SETTING_NAME ||
           state == PA_CONTEXT_READY;
}

// The server answers through the main loop, which we turn by hand; between turns we rest
// briefly rather than block, so that the deadline is always kept.
void pause_between_iterations()
{
    timespec rest{0, 2000000};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

void iterate_mainloop(PulseSetup const& setup)
{
    if (pa_mainloop_iterate(setup.mainloop, 0, nullptr) < 0)
        pulse_error(setup, "PulseAudio mainloop");
    pause_between_iterations();
}

void wait_pulse_operation(PulseSetup& setup, pa_operation* operation)
{
    if (!operation)
        pulse_error(setup, "Start PulseAudio operation");
    auto const deadline = std::chrono::steady_clock::now() + pulse_timeout;
    try {
        while (true) {
            if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
                pa_operation_unref(operation);
                return;
            }
            if (!context_alive(pa_context_get_state(setup.context)))
                pulse_error(setup, "PulseAudio connection");
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("PulseAudio operation timed out");
            iterate_mainloop(setup);
        }
    } catch (...) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        throw;
    }
}

void on_output_sink_info(pa_context*, pa_sink_info const* info, int, void* userdata)
{
    if (info)
        static_cast<PulseSetup*>(userdata)->found = true;
}

void on_output_source_info(pa_context*, pa_source_info const* info, int, void* userdata)
{
    if (info)
        static_cast<PulseSetup*>(userdata)->found = true;
}

void on_output_module_loaded(pa_context*, std::uint32_t index, void* userdata)
{
    static_cast<PulseSetup*>(userdata)->module_index = index;
}

void connect_pulse_context(PulseSetup& setup)
{
    setup.mainloop = pa_mainloop_new();
    if (!setup.mainloop)
        throw std::runtime_error("Cannot allocate PulseAudio mainloop");
    setup.context = pa_context_new(pa_mainloop_get_api(setup.mainloop), "norvane setup");
    if (!setup.context || pa_context_connect(setup.context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0)
        throw std::runtime_error("Cannot connect to PulseAudio/PipeWire");
    auto const deadline = std::chrono::steady_clock::now() + pulse_timeout;
    while (true) {
        pa_context_state_t const state = pa_context_get_state(setup.context);
        if (state == PA_CONTEXT_READY)
            return;
        if (!context_alive(state))
            pulse_error(setup, "Connect");
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("PulseAudio operation timed out");
        iterate_mainloop(setup);
    }
}

std::uint32_t load_module(PulseSetup& setup, char const* name, std::string const& arguments)
{
    setup.module_index = PA_INVALID_INDEX;
    wait_pulse_operation(setup, pa_context_load_module(setup.context, name, arguments.c_str(),
                                                       on_output_module_loaded, &setup));
    if (setup.module_index == PA_INVALID_INDEX)
        pulse_error(setup, name);
    return setup.module_index;
}

// Makes sure the null sink and the remap source on its monitor exist. A sink created here is
// taken away again when its source cannot be made; one that was there before is left alone.
void ensure_virtual_devices(std::uint32_t rate_hz)
{
    PulseSetup setup;
    try {
        connect_pulse_context(setup);

        setup.found = false;
        wait_pulse_operation(setup,
                             pa_context_get_sink_info_by_name(setup.context, own_sink, on_output_sink_info, &setup));
        std::uint32_t created_sink = PA_INVALID_INDEX;
        if (!setup.found)
            created_sink = load_module(setup, "module-null-sink",
                                       "sink_name=norvane_rx rate=" + std::to_string(rate_hz) +
                                           " channels=1 channel_map=mono"
                                           " sink_properties=device.description=Norvane_Receiver_Output");

        try {
            setup.found = false;
            wait_pulse_operation(setup, pa_context_get_source_info_by_name(setup.context, own_source,
                                                                           on_output_source_info, &setup));
            if (!setup.found)
                load_module(setup, "module-remap-source",
                            "master=norvane_rx.monitor source_name=norvane_rx_input channels=1 channel_map=mono"
                            " master_channel_map=mono source_properties=device.description=Norvane_Receiver");
        } catch (...) {
            if (created_sink != PA_INVALID_INDEX) {
                try {
                    wait_pulse_operation(setup,
                                         pa_context_unload_module(setup.context, created_sink, nullptr, nullptr));
                } catch (...) {
                    // The first error is the one worth reporting.
                }
            }
            throw;
        }
        log_line("Decoder input: norvane_rx_input (Norvane_Receiver)");
    } catch (...) {
        release_pulse_context(setup);
        throw;
    }
    release_pulse_context(setup);
}

pa_simple* open_playback(std::string const& sink, std::uint32_t rate_hz)
{
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = rate_hz;
    spec.channels = 1;
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = rate_hz * 4 / 10;   // 100 ms of float32
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = rate_hz * 4 / 50;    // 20 ms
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "SDR receiver", PA_STREAM_PLAYBACK, sink.c_str(), "Demodulated audio",
                                      &spec, nullptr, &attributes, &error);
    if (!stream)
        throw std::runtime_error(std::string("Open audio sink: ") + pa_strerror(error));
    return stream;
}

}  // namespace

bool wav_samples_fit(std::uint32_t data_bytes, std::size_t samples)
{
    if (data_bytes > wav_max_data_bytes)
        return false;
    return static_cast<std::uint64_t>(samples) <= (wav_max_data_bytes - data_bytes) / 2;
}

AudioOutput::AudioOutput(Options const& options) : rate_hz_(static_cast<std::uint32_t>(options.audio_rate))
{
    if (options.wav.empty()) {
        if (options.create_sink)
            ensure_virtual_devices(rate_hz_);
        pulse_ = open_playback(options.sink, rate_hz_);
        return;
    }
    // A FIFO would block the open (and with it the stop signals), a link would redirect it: the
    // name is opened the way every output is.
    OutputFile file = open_output_file(options.wav, O_TRUNC, 0666);
    if (file.status == OutputFileStatus::not_regular)
        throw std::runtime_error("WAV output must be a regular file: " + options.wav);
    wav_ = std::move(file.fd);
    if (file.status != OutputFileStatus::open || wav_.get() < 0)
        throw std::runtime_error("Cannot open WAV output: " + options.wav);
    write_wav_header();
}

AudioOutput::AudioOutput(UniqueFd wav_file, std::uint32_t rate_hz) : wav_(std::move(wav_file)), rate_hz_(rate_hz)
{
    write_wav_header();
}

AudioOutput::~AudioOutput()
{
    if (wav_.get() >= 0 && !finished_) {
        try {
            write_wav_header();
        } catch (...) {
            // Destruction must not throw; a file that cannot take its header is lost either way.
        }
    }
    if (pulse_)
        pa_simple_free(pulse_);
}

void AudioOutput::write_wav_header()
{
    auto const header = pcm16_mono_wav_header(rate_hz_, data_bytes_);
    std::size_t done = 0;
    if (!write_at(wav_.get(), header.data(), header.size(), 0, done))
        throw std::runtime_error("Failed to write WAV header");
}

void AudioOutput::write(std::span<float const> samples)
{
    if (samples.empty())
        return;
    if (pulse_) {
        int error = 0;
        if (pa_simple_write(pulse_, samples.data(), samples.size_bytes(), &error) < 0)
            throw std::runtime_error(std::string("Write audio: ") + pa_strerror(error));
        return;
    }
    if (!wav_samples_fit(data_bytes_, samples.size()))
        throw std::runtime_error("WAV reached its 4 GiB size limit");
    std::size_t const bytes = samples.size() * 2;
    if (scratch_.size() < bytes)
        scratch_.resize(bytes);
    for (std::size_t i = 0; i < samples.size(); ++i)
        put_u16(scratch_.data() + 2 * i, static_cast<std::uint16_t>(to_pcm16(samples[i])));
    off_t const end = static_cast<off_t>(wav_header_bytes) + data_bytes_;
    std::size_t done = 0;
    bool const complete = write_at(wav_.get(), scratch_.data(), bytes, end, done);
    // Only whole samples count; the odd byte of one cut in half is taken off again, so that the
    // header written later describes exactly what the file holds.
    std::size_t const whole = done & ~std::size_t{1};
    data_bytes_ += static_cast<std::uint32_t>(whole);
    if (!complete) {
        if (whole != done)
            (void)::ftruncate(wav_.get(), end + static_cast<off_t>(whole));
        throw std::runtime_error("Failed writing WAV audio");
    }
}

void AudioOutput::finish()
{
    if (finished_)
        return;
    if (pulse_) {
        int error = 0;
        if (pa_simple_drain(pulse_, &error) < 0)
            throw std::runtime_error(std::string("Drain audio: ") + pa_strerror(error));
        finished_ = true;
        return;
    }
    write_wav_header();
    // The last chance to hear of a write the system could not complete after accepting it.
    if (::close(wav_.release()) != 0)
        throw std::runtime_error("Failed finalizing WAV audio");
    finished_ = true;
}
