#include "decode/run/band_change.hpp"

#include <cmath>
#include <cstdio>
#include <locale>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/log_line.hpp"
#include "core/capture_usable_fraction.hpp"
#include "decode/decoder_capture.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/run/decode_pipeline.hpp"
#include "decode/run/retune_mailbox.hpp"
#include "live/live_audio.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"

namespace {

constexpr double lowest_hz = 1000.0;
constexpr double highest_hz = 2000000000.0;
constexpr std::size_t max_channels = 96;

bool in_tuning_range(double hz) { return std::isfinite(hz) && hz >= lowest_hz && hz <= highest_hz; }

bool parse_mode(std::string const& name, DigitalMode& mode)
{
    for (DigitalMode const candidate : all_digital_modes) {
        if (name == digital_mode_name(candidate)) {
            mode = candidate;
            return true;
        }
    }
    return false;
}

std::string format_fixed(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

}  // namespace

RetuneRequest parse_retune_request(std::string const& text, Options const& options)
{
    std::istringstream words(text);
    words.imbue(std::locale::classic());
    std::string radio;
    std::string retune;
    std::string action;
    RetuneRequest request;
    if (!(words >> radio >> retune >> action >> request.centre) || radio != "RADIO" || retune != "RETUNE"
        || (action != "CHECK" && action != "APPLY") || !in_tuning_range(request.centre))
        throw std::runtime_error("Expected RADIO RETUNE CHECK/APPLY center [MODE:frequency ...]");
    request.check = action == "CHECK";

    double const half = capture_usable_fraction * options.if_bandwidth;
    std::set<std::pair<double, std::uint32_t>> listed;
    std::string word;
    while (words >> word) {
        std::size_t const colon = word.find(':');
        DigitalMode mode = DigitalMode::FT8;
        if (colon == std::string::npos || !parse_mode(word.substr(0, colon), mode))
            throw std::runtime_error("Invalid retune mode");
        std::string const number = word.substr(colon + 1);
        std::size_t used = 0;
        double const frequency = std::stod(number, &used);
        if (used != number.size() || !in_tuning_range(frequency))
            throw std::runtime_error("Invalid retune frequency");

        DecoderChannel const channel{frequency, mode};
        double const width = decoder_channel_width(options, channel);
        if (frequency < request.centre - half || frequency + width > request.centre + half)
            throw std::runtime_error("Retune channel is outside the running SDR capture bandwidth");
        if (!listed.insert({frequency, static_cast<std::uint32_t>(mode)}).second
            || request.channels.size() >= max_channels)
            throw std::runtime_error("Duplicate or too many retune channels");
        request.channels.push_back(channel);
    }
    return request;
}

std::string handle_retune_request(BandChangeRun const& run, std::string const& text)
{
    RetuneRequest request = parse_retune_request(text, run.options);
    run.radio.check_retune(request.centre);
    if (run.pool == nullptr && !request.channels.empty())
        throw std::runtime_error("Start in decoder or hybrid mode to enable live band changes");

    // CHECK is told from the parsed word, not from the spelling of the text: a CHECK written
    // with a tab or two blanks must never retune the receiver. It checks the capture centre
    // APPLY would use, so that CHECK never passes a change that APPLY then refuses.
    if (request.check) {
        if (run.live != nullptr)
            run.live->check_retune(run.capture_centre(request.centre));
        return "OK RETUNE validated";
    }

    if (run.pool != nullptr)
        run.pool->prepare_channels(request.channels);

    PreparedRetune prepared;
    prepared.options = run.options;
    prepared.options.frequency = request.centre;
    prepared.options.decoder_channels = request.channels;
    prepared.options.decoders = static_cast<decltype(prepared.options.decoders)>(request.channels.size());
    prepared.capture = run.build_pipeline(prepared.options);
    run.attach_capture(*prepared.capture);

    if (run.live != nullptr) {
        double const centre = run.capture_centre(request.centre);
        run.live->check_retune(centre);
        prepared.live_commit = run.live->prepare_retune(centre);
    }
    prepared.request = std::move(request);

    std::string const reply = run.mailbox.post([&run, &prepared] { return apply_retune(run, prepared); });

    // The decoder list STATUS shows follows the receiver, so a failed change keeps the old one.
    if (run.live != nullptr && reply.rfind("OK RETUNE", 0) == 0)
        run.live->set_decoder_frequencies(first_members(prepared.request.channels));
    return reply;
    // prepared goes here, on the control thread: after a swap it holds the old pipeline.
}

std::string apply_retune(BandChangeRun const& run, PreparedRetune& prepared)
{
    try {
        run.radio.retune(prepared.request.centre);
    } catch (...) {
        // The radio may have moved part way: the old pipeline's intervals can no longer be
        // trusted, so the run goes on from a clean timeline at the old band.
        std::unique_ptr<DecoderCapture> fresh = run.build_pipeline(run.options);
        run.attach_capture(*fresh);
        run.capture = std::move(fresh);
        if (run.live != nullptr)
            run.live->reset_audio();
        throw;
    }
    run.queue.discard();
    if (prepared.live_commit) {
        prepared.live_commit();
        run.live->reset_audio();
    }
    std::swap(run.capture, prepared.capture);
    run.options = std::move(prepared.options);
    if (run.follow_capture)
        run.follow_capture();

    std::ostringstream line;
    line << "Retuned receiver: center=" << run.options.frequency << " Hz, " << run.options.decoder_channels.size()
         << " decoder channels; discarded partial intervals";
    log_line(line.str());
    return "OK RETUNE center=" + format_fixed(run.options.frequency)
           + " channels=" + std::to_string(run.options.decoder_channels.size());
}
