#pragma once

// The boundary to the external decoders (jt9 for FT8/FT4, wsprd for WSPR, the JS8 decoder):
// finding them, their exact command lines, running one under a time limit, and reading their
// output lines back as spots.

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/decoded_spot.hpp"
#include "core/digital_mode.hpp"
#include "core/format_utc.hpp"

// What one decoder process did.
struct DecoderRun {
    int status = 0;          // wait status word of the process
    std::string output;      // standard output and standard error interleaved, at most 1 MiB
    bool timed_out = false;  // killed at the time limit
    bool stopped = false;    // killed because the stop flag was set
};

// Thrown by run_decoder_process when a decoder writes more than 1 MiB. It marks a failed job,
// not a broken station: the caller counts it and goes on with the next interval. The process
// group has been killed and reaped by the time it is thrown.
class DecoderOutputTooLong : public std::runtime_error {
public:
    DecoderOutputTooLong() : std::runtime_error("Decoder output exceeds 1 MiB") {}
};

inline constexpr std::size_t decoder_output_limit_bytes = 1048576;

// The absolute path of the decoder program for a name: a name with "/" is taken as it is,
// any other is searched along PATH (an empty entry is the current directory). Throws
// "Cannot find decoder executable: " + name + a hint for the mode.
std::string find_decoder_executable(std::string const& name, DigitalMode mode);

// The four JS8 speeds share one decoder program and one output format.
bool is_js8_mode(DigitalMode mode);

// An interval start in UTC seconds, truncated to whole seconds for formatting; throws
// "Invalid UTC timestamp" for a value no calendar shows (not finite, negative, past year 9999).
std::time_t utc_whole_seconds(double start_utc);

// Reads "YYYYMMDD_HHMMSS" as UTC seconds.
std::time_t parse_utc_timestamp(std::string const& text);

// Removes a workspace tree, ignoring every error; an empty path does nothing.
void remove_directory_tree(std::filesystem::path const& path);

// The full argument vector (the program path first) for one decoder run.
std::vector<std::string> decoder_command_line(std::string const& decoder_path, std::string const& wav_name,
                                              DigitalMode mode, int decode_depth, int high_hz, double start_utc,
                                              double dial_hz);

// How a read of a decoder's output pipe ended.
enum class DecoderOutputRead { end_of_file, empty, deadline };

// Appends what the non-blocking pipe fd holds now to output: until it is empty, at its end, or
// once the deadline has passed (after at least one read), whichever comes first. A writer that
// never pauses (a helper the decoder left behind, beyond the reach of the kill) cannot keep the
// caller reading past its time limit. Throws DecoderOutputTooLong when output would pass 1 MiB
// and "Read decoder output" with the system's text on a read error.
DecoderOutputRead read_decoder_output(int fd, std::string& output, std::chrono::steady_clock::time_point deadline);

// Runs one decoder in work_dir in a process group of its own at nice 10, collecting its output,
// until it exits, the time limit passes or stop is set; the whole group is killed and the child
// reaped on every way out, so nothing it started outlives the call.
DecoderRun run_decoder_process(std::string const& decoder_path, std::filesystem::path const& work_dir,
                               std::string const& wav_name, DigitalMode mode, int decode_depth, int high_hz,
                               std::atomic<bool> const& stop, double start_utc, double dial_hz,
                               double time_limit_s);

// One output line of the decoder for the mode as a spot, or nothing for a line that is not a
// decode of this interval (headers, status lines, malformed or out-of-range values).
std::optional<DecodedSpot> parse_decoder_line(std::string const& line, DigitalMode mode, double start_utc,
                                              double dial_hz);
