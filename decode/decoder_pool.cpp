#include "decode/decoder_pool.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iomanip>
#include <locale>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "core/options.hpp"
#include "core/errno_error.hpp"
#include "core/log_line.hpp"
#include "core/unique_fd.hpp"
#include "decode/all_txt_append.hpp"
#include "decode/all_txt_line.hpp"
#include "decode/decoder_programs.hpp"
#include "decode/wspr_rejections.hpp"
#include "radio/audio_output.hpp"
#include "report/history_writer.hpp"
#include "report/make_psk_spot.hpp"
#include "report/psk_reporter.hpp"
#include "report/wspr_reporter.hpp"

namespace fs = std::filesystem;

namespace {

std::string fixed_text(double value, int decimals)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

// Two output lines for the same transmission: a decoder may report one signal from two
// neighbouring frequency bins, or twice from two decoding passes.
bool same_decode(DecodedSpot const& a, DecodedSpot const& b)
{
    return a.message == b.message && a.frame == b.frame && a.flags == b.flags &&
           std::abs(static_cast<std::int64_t>(a.audio_hz) - static_cast<std::int64_t>(b.audio_hz)) <= 10;
}

// The pool's private temporary directory, removed with everything in it when the pool goes.
class Workspace {
public:
    Workspace() = default;
    Workspace(Workspace const&) = delete;
    Workspace& operator=(Workspace const&) = delete;
    ~Workspace() { remove_directory_tree(path_); }

    void create(fs::path const& base)
    {
        std::string pattern = (base / "norvane-decode-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw errno_error("Create decoder workspace");
        path_ = pattern;
    }
    fs::path const& path() const { return path_; }

private:
    fs::path path_;
};

// The interval's WAV file exists only while its decoder runs: removed on the way out of the
// job whatever happens; remove() reports an error, the destructor (unwinding) cannot.
class WavFile {
public:
    explicit WavFile(fs::path path) : path_(std::move(path)) {}
    WavFile(WavFile const&) = delete;
    WavFile& operator=(WavFile const&) = delete;
    ~WavFile()
    {
        if (!removed_) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    // Creates the file (or empties the one of that name) for writing. The decoders run in the
    // same directory and could leave anything under the next interval's name: nothing but a
    // regular file is written to, no link is followed, and the open never blocks (a FIFO there
    // must not freeze the worker, nor with it the stop).
    UniqueFd create() const
    {
        UniqueFd file(::open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (file.get() < 0)
            throw errno_error("Cannot open WAV output: " + path_.string());
        struct stat status {};
        if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
            throw std::runtime_error("WAV output must be a regular file: " + path_.string());
        if (::ftruncate(file.get(), 0) != 0)
            throw errno_error("Cannot open WAV output: " + path_.string());
        return file;
    }
    void remove()
    {
        removed_ = true;
        std::error_code error;
        fs::remove(path_, error);
        if (error)
            throw fs::filesystem_error("Remove decoder WAV file", path_, error);
    }
    fs::path const& path() const { return path_; }

private:
    fs::path path_;
    bool removed_ = false;
};

struct ModeCounters {
    std::uint64_t submitted = 0;
    std::uint64_t completed = 0;
    std::uint64_t spots = 0;
    std::uint64_t failures = 0;
    std::uint64_t backlog_drops = 0;
};

}  // namespace

class DecoderPool::Impl {
public:
    Impl(Options const& options, std::atomic<int> const* stop, std::shared_ptr<PskReporter> psk);
    ~Impl();
    Impl(Impl const&) = delete;
    Impl& operator=(Impl const&) = delete;

    void submit(DecodeJob job);
    void close(bool drain, std::atomic<int> const* stop);
    void rethrow_failure();
    std::uint64_t failures();
    std::string status_line();
    void prepare_channels(std::vector<DecoderChannel> const& channels);

    // The thread body of one worker: takes jobs until the pool is closed and empty.
    void worker(fs::path const& directory);

private:
    void run_job(fs::path const& directory, DecodeJob const& job, std::string const& program);
    void record_failure(std::string text);
    std::string& program_slot(DigitalMode mode);
    std::string const& program_name(DigitalMode mode) const;
    static bool stop_set(std::atomic<int> const* stop) { return stop != nullptr && stop->load() != 0; }

    // Released in reverse order: the workers are gone (close) before anything they use.
    Options options_;
    std::unique_ptr<HistoryWriter> history_;
    std::atomic<int> const* stop_ = nullptr;
    std::string jt9_path_;
    std::string js8_path_;
    std::string wsprd_path_;
    Workspace workspace_;
    UniqueFd all_txt_;
    std::shared_ptr<PskReporter> psk_;
    std::unique_ptr<WsprReporter> wspr_;
    WsprRejections wspr_rejections_;
    std::mutex queue_mutex_;
    std::mutex all_txt_mutex_;
    std::condition_variable wake_;
    std::deque<DecodeJob> queue_;
    std::vector<std::thread> threads_;
    std::atomic<bool> cancel_{false};
    std::atomic<std::uint32_t> active_{0};
    bool closed_ = false;
    bool shut_down_ = false;
    std::string failure_;
    std::uint64_t submitted_ = 0;
    std::uint64_t completed_ = 0;
    std::uint64_t spots_ = 0;
    std::uint64_t backlog_drops_ = 0;
    std::uint64_t failures_ = 0;
    std::uint64_t capacity_ = 2;
    std::array<ModeCounters, digital_mode_count> per_mode_{};
};

DecoderPool::Impl::Impl(Options const& options, std::atomic<int> const* stop, std::shared_ptr<PskReporter> psk)
    : options_(options)
{
    if (!options_.history_db.empty())
        history_ = std::make_unique<HistoryWriter>(options_.history_db, static_cast<int>(options_.history_days));
    stop_ = stop;
    capacity_ = std::max<std::uint64_t>(2, 2 * static_cast<std::uint64_t>(options_.decoders));

    if (options_.decoder_channels.empty()) {
        jt9_path_ = find_decoder_executable(options_.decoder, DigitalMode::FT8);
    } else {
        for (auto const& channel : options_.decoder_channels) {
            std::string& slot = program_slot(channel.mode);
            if (slot.empty())
                slot = find_decoder_executable(program_name(channel.mode), channel.mode);
        }
    }

    workspace_.create(options_.work_dir.empty() ? fs::temp_directory_path() : fs::absolute(options_.work_dir));

    // Non-blocking, so that a FIFO without a reader cannot hang the start; it is refused below.
    int const fd = ::open(options_.all_txt.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        throw errno_error("Open ALL.TXT");
    all_txt_.reset(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        throw std::runtime_error("ALL.TXT output must be a regular file");

    if (options_.pskreporter) {
        // The run builds the one client that the pool, the analysis sinks and the survey share.
        if (!psk)
            throw std::logic_error("Decoder pool needs the run's PSK Reporter client");
        psk_ = std::move(psk);
        log_line("PSK Reporter enabled: receiver=" + options_.callsign + ", grid=" + options_.grid +
                 "; batched live decoder reports");
    }
    if (options_.wsprnet) {
        wspr_ = std::make_unique<WsprReporter>(options_.callsign, options_.grid, WsprReporter::Upload{});
        log_line("WSPRnet enabled: receiver=" + options_.callsign + ", grid=" + options_.grid + "; live WSPR uploads");
    }

    threads_.reserve(options_.workers);
    for (std::uint32_t i = 1; i <= options_.workers; ++i) {
        bool counted = false;
        try {
            fs::path const directory = workspace_.path() / ("worker-" + std::to_string(i));
            fs::create_directory(directory);
            active_.fetch_add(1);
            counted = true;
            threads_.emplace_back([this, directory] {
                worker(directory);
                active_.fetch_sub(1);
            });
        } catch (...) {
            if (counted)
                active_.fetch_sub(1);
            close(false, nullptr);
            throw;
        }
    }
}

DecoderPool::Impl::~Impl() { close(false, nullptr); }

std::string& DecoderPool::Impl::program_slot(DigitalMode mode)
{
    if (mode == DigitalMode::WSPR)
        return wsprd_path_;
    if (is_js8_mode(mode))
        return js8_path_;
    return jt9_path_;
}

std::string const& DecoderPool::Impl::program_name(DigitalMode mode) const
{
    if (mode == DigitalMode::WSPR)
        return options_.wspr_decoder;
    if (is_js8_mode(mode))
        return options_.js8_decoder;
    return options_.decoder;
}

void DecoderPool::Impl::submit(DecodeJob job)
{
    std::unique_lock lock(queue_mutex_);
    if (!options_.iq_file.empty() && !closed_) {
        // Replay runs faster than real time; waiting for room keeps it lossless.
        while (queue_.size() >= capacity_ && !stop_set(stop_)) {
            wake_.wait_for(lock, std::chrono::milliseconds(50));
            if (closed_)
                break;
        }
    }
    if (!failure_.empty())
        throw std::runtime_error(failure_);
    if (stop_set(stop_)) {
        cancel_.exchange(true);
        closed_ = true;
        queue_.clear();
        wake_.notify_all();
        return;
    }
    if (closed_)
        throw std::runtime_error("Decoder pool is closed");
    if (queue_.size() >= capacity_) {
        // Live reception never waits for the decoders: the oldest interval is the least useful.
        auto const dropped_mode = static_cast<std::size_t>(queue_.front().mode);
        queue_.pop_front();
        if (dropped_mode < digital_mode_count)
            ++per_mode_[dropped_mode].backlog_drops;
        ++backlog_drops_;
        log_line("Decoder backlog: discarded oldest queued channel interval");
    }
    auto const mode = static_cast<std::size_t>(job.mode);
    if (mode < digital_mode_count)
        ++per_mode_[mode].submitted;
    ++submitted_;
    queue_.push_back(std::move(job));
    wake_.notify_one();
}

void DecoderPool::Impl::close(bool drain, std::atomic<int> const* stop)
{
    {
        std::scoped_lock lock(queue_mutex_);
        if (shut_down_)
            return;
        closed_ = true;
        if (!drain) {
            cancel_.exchange(true);
            queue_.clear();
        }
        wake_.notify_all();
    }
    while (active_.load() != 0) {
        if (stop_set(stop)) {
            std::scoped_lock lock(queue_mutex_);
            cancel_.exchange(true);
            queue_.clear();
            wake_.notify_all();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
    if (psk_)
        psk_->stop();
    if (wspr_)
        wspr_->stop();
    std::string const rejected = wspr_rejections_.summary();
    if (!rejected.empty())
        log_line(rejected);
    std::scoped_lock lock(queue_mutex_);
    shut_down_ = true;
}

void DecoderPool::Impl::rethrow_failure()
{
    std::scoped_lock lock(queue_mutex_);
    if (!failure_.empty())
        throw std::runtime_error(failure_);
}

std::uint64_t DecoderPool::Impl::failures()
{
    std::scoped_lock lock(queue_mutex_);
    return failures_;
}

void DecoderPool::Impl::record_failure(std::string text)
{
    if (text.empty())
        text = "Decoder worker failed";
    std::scoped_lock lock(queue_mutex_);
    if (failure_.empty())
        failure_ = std::move(text);
    closed_ = true;
    cancel_.exchange(true);
    queue_.clear();
    wake_.notify_all();
}

void DecoderPool::Impl::prepare_channels(std::vector<DecoderChannel> const& channels)
{
    std::scoped_lock lock(queue_mutex_);
    capacity_ = std::max<std::uint64_t>(capacity_, 2 * static_cast<std::uint64_t>(channels.size()));
    for (auto const& channel : channels) {
        std::string& slot = program_slot(channel.mode);
        if (slot.empty())
            slot = find_decoder_executable(program_name(channel.mode), channel.mode);
    }
}

std::string DecoderPool::Impl::status_line()
{
    std::scoped_lock lock(queue_mutex_);
    std::string text = "Decoder jobs: submitted=" + std::to_string(submitted_) +
                       ", completed=" + std::to_string(completed_) + ", queued=" + std::to_string(queue_.size()) +
                       ", spots=" + std::to_string(spots_) + ", backlog drops=" + std::to_string(backlog_drops_) +
                       ", failures=" + std::to_string(failures_);
    for (DigitalMode mode : all_digital_modes) {
        ModeCounters const& counts = per_mode_[static_cast<std::size_t>(mode)];
        if (counts.submitted == 0)
            continue;
        text += "; " + std::string(digital_mode_name(mode)) + " submitted=" + std::to_string(counts.submitted) +
                ", completed=" + std::to_string(counts.completed) + ", spots=" + std::to_string(counts.spots) +
                ", backlog drops=" + std::to_string(counts.backlog_drops) +
                ", failures=" + std::to_string(counts.failures);
    }
    std::string wspr_segment;
    if (wspr_) {
        WsprReporterStats const stats = wspr_->stats();
        wspr_segment = "WSPRnet: queued=" + std::to_string(stats.queued) +
                       ", accepted=" + std::to_string(stats.accepted) + ", sent=" + std::to_string(stats.sent) +
                       ", failed=" + std::to_string(stats.failed) +
                       ", duplicates=" + std::to_string(stats.duplicates) +
                       ", dropped=" + std::to_string(stats.dropped);
    }
    if (psk_) {
        PskReporterStats const stats = psk_->stats();
        text += "; PSK Reporter: queued=" + std::to_string(stats.queued) + ", sent=" + std::to_string(stats.sent) +
                ", duplicates=" + std::to_string(stats.duplicates) + ", dropped=" + std::to_string(stats.dropped) +
                ", failures=" + std::to_string(stats.failures) + ", invalid=" + std::to_string(stats.invalid) +
                ", stale=" + std::to_string(stats.stale);
    }
    if (!wspr_segment.empty())
        text += "; " + wspr_segment;
    return text;
}

void DecoderPool::Impl::worker(fs::path const& directory)
{
    for (;;) {
        DecodeJob job;
        std::string program;
        {
            std::unique_lock lock(queue_mutex_);
            wake_.wait(lock, [this] { return closed_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
            wake_.notify_all();
            program = program_slot(job.mode);
        }
        try {
            run_job(directory, job, program);
        } catch (std::exception const& error) {
            record_failure(error.what());
            return;
        } catch (...) {
            record_failure("");
            return;
        }
    }
}

void DecoderPool::Impl::run_job(fs::path const& directory, DecodeJob const& job, std::string const& program)
{
    std::string const mode(digital_mode_name_or_unknown(job.mode));
    bool const wspr = job.mode == DigitalMode::WSPR;
    std::time_t const start = utc_whole_seconds(job.start_utc);
    std::string const wav_name = format_utc(start, wspr ? "%y%m%d_%H%M" : "%y%m%d_%H%M%S") + ".wav";
    WavFile wav(directory / wav_name);
    {
        AudioOutput output(wav.create(), 12000);
        output.write(job.audio);
        output.finish();
    }

    double const high = job.mode == DigitalMode::FT8 ? std::max(4000.0, options_.bandwidth) : options_.bandwidth;
    DecoderRun run;
    std::string runaway;
    try {
        run = run_decoder_process(program, directory, wav_name, job.mode, options_.decode_depth,
                                  static_cast<int>(high), cancel_, job.start_utc, job.dial_hz,
                                  wspr ? options_.wspr_timeout : options_.decoder_timeout);
    } catch (DecoderOutputTooLong const& error) {
        // A decoder gone wild spoils its own interval, not the station: a failed job.
        runaway = error.what();
    }
    wav.remove();
    if (run.stopped)
        return;

    std::size_t const mode_index = static_cast<std::size_t>(job.mode);
    bool const counted_mode = mode_index < digital_mode_count;
    std::string const interval = format_utc(start, "%y%m%d_%H%M%S");
    bool const exited_cleanly = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    if (!runaway.empty() || run.timed_out || !exited_cleanly) {
        {
            std::scoped_lock lock(queue_mutex_);
            ++failures_;
            if (counted_mode)
                ++per_mode_[mode_index].failures;
        }
        std::string line = mode + " decoder failed: " + interval + " " + fixed_text(job.dial_hz, 6) + " Hz";
        if (run.timed_out)
            line += " (timeout)";
        else
            line += " (process error): " + (runaway.empty() ? run.output.substr(0, 300) : runaway);
        // The decoder's text goes out as it came, so its own final newline is not the line's end.
        log_line(line + '\n');
        return;
    }

    std::vector<DecodedSpot> kept;
    std::size_t begin = 0;
    while (begin < run.output.size()) {
        std::size_t end = run.output.find('\n', begin);
        if (end == std::string::npos)
            end = run.output.size();
        auto spot = parse_decoder_line(run.output.substr(begin, end - begin), job.mode, job.start_utc, job.dial_hz);
        begin = end + 1;
        if (!spot)
            continue;
        auto const same = std::find_if(kept.begin(), kept.end(),
                                       [&](DecodedSpot const& earlier) { return same_decode(*spot, earlier); });
        if (same == kept.end())
            kept.push_back(std::move(*spot));
        else if (spot->snr > same->snr)
            *same = std::move(*spot);
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](DecodedSpot const& a, DecodedSpot const& b) { return a.audio_hz < b.audio_hz; });

    if (!kept.empty()) {
        std::string text;
        for (auto const& spot : kept)
            text += format_all_txt_line(spot, job.mode, job.start_utc, job.dial_hz);
        bool written = false;
        {
            std::scoped_lock lock(all_txt_mutex_);
            written = append_all_txt(all_txt_.get(), text, [this] { return cancel_.load() || stop_set(stop_); });
        }
        // A program that keeps ALL.TXT locked must not hold the stop up; what it cost is said.
        if (!written)
            log_line("ALL.TXT still locked by another program at stop: " + std::to_string(kept.size()) +
                     " lines of " + mode + " " + interval + " " +
                     fixed_text(job.dial_hz / 1000000.0, 6) + " MHz not written");
    }

    std::set<std::string> calls;
    for (auto const& spot : kept) {
        auto const report = make_psk_spot(spot, job.mode, job.dial_hz, job.start_utc);
        if (!report)
            continue;
        calls.insert(report->sender_call);
        if (psk_)
            psk_->submit(*report);
        if (wspr_ && wspr)
            wspr_rejections_.guard([&] { wspr_->submit(job.start_utc, job.dial_hz, spot); });
    }

    {
        std::scoped_lock lock(queue_mutex_);
        ++completed_;
        spots_ += kept.size();
        if (counted_mode) {
            ++per_mode_[mode_index].completed;
            per_mode_[mode_index].spots += kept.size();
        }
    }

    if (history_)
        history_->record(HistoryObservation{options_.serial, mode, job.dial_hz, job.start_utc, kept.size()});

    std::string line = mode + " " + interval + " " + fixed_text(job.dial_hz / 1000000.0, 6) +
                       " MHz: " + std::to_string(kept.size()) + " spots; callsigns=";
    bool first = true;
    for (auto const& call : calls) {
        if (!first)
            line += ",";
        line += call;
        first = false;
    }
    log_line(line);
}

DecoderPool::DecoderPool(Options const& options, std::atomic<int> const* stop, std::shared_ptr<PskReporter> psk)
    : impl_(std::make_unique<Impl>(options, stop, std::move(psk)))
{
}

DecoderPool::~DecoderPool() = default;

void DecoderPool::submit(DecodeJob job) { impl_->submit(std::move(job)); }

void DecoderPool::close(bool drain, std::atomic<int> const* stop) { impl_->close(drain, stop); }

void DecoderPool::rethrow_failure() const { impl_->rethrow_failure(); }

std::uint64_t DecoderPool::failures() const { return impl_->failures(); }

std::string DecoderPool::status_line() const { return impl_->status_line(); }

void DecoderPool::prepare_channels(std::vector<DecoderChannel> const& channels)
{
    impl_->prepare_channels(channels);
}
