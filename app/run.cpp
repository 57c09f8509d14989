#include "app/run.hpp"

#include <malloc.h>

#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/audio_mode_run.hpp"
#include "app/band_presets.hpp"
#include "app/control_client.hpp"
#include "app/daemonize.hpp"
#include "app/help_text.hpp"
#include "app/parse_options.hpp"
#include "app/run_file_checks.hpp"
#include "app/standard_output.hpp"
#include "app/stop_signals.hpp"
#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/run_file.hpp"
#include "decode/run/decode_receiver.hpp"
#include "radio/list_devices.hpp"
#include "radio/radio.hpp"
#include "radio/rtl_tcp_radio.hpp"
#include "radio/sample_queue.hpp"
#include "radio/sdr_radio.hpp"
#include "rx888/rx888_listing.hpp"
#include "rx888/rx888_radio.hpp"

namespace {

// Large IQ buffers come and go with every block: keep them in the heap rather than mapping and
// unmapping each one, and let the heap keep a generous margin before giving memory back.
void tune_allocator() {
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
  mallopt(M_TOP_PAD, 8 * 1024 * 1024);
}

// Everything after the Daemon exists. The Options live in this frame, so they are gone before
// main reports an error that escapes from here.
int run_with_options(int argc, char** argv, Daemon& daemon) {
  const Options options = parse_options(argc, argv);

  if (!options.audio_command.empty()) {
    std::ostringstream reply;
    const int status = run_control_client(options, reply);
    write_standard_output(reply.str());
    return status;
  }

  if (options.help) {
    write_standard_output(help_text());
    return 0;
  }
  if (options.version) {
    write_standard_output(version_banner());
    return 0;
  }
  if (options.list_frequencies) {
    write_standard_output(format_frequency_list(options.modes));
    return 0;
  }
  if (options.kill) {
    write_standard_output(kill_daemon(options));
    return 0;
  }
  if (options.list_devices) {
    std::ostringstream listed;
    std::ostringstream warnings;
    try {
      list_devices(options, listed, warnings, list_rx888_devices, rx888_diagnostics);
    } catch (const std::exception&) {
      // What was listed before the failure still goes out.
      write_standard_output(listed.str());
      throw;
    }
    write_standard_output(listed.str());
    if (!warnings.str().empty()) log_line(warnings.str());
    return 0;
  }

  install_stop_signals();
  check_run_files(options);

  // Before any thread exists; from here on a detached run writes to its log file.
  daemonize(daemon, options);

  log_line(version_banner());

  SampleQueue queue;
  if (!options.iq_file.empty()) {
    if (options.wideband)
      decode_receiver(options, nullptr, queue, daemon);
    else
      run_audio_mode(options, nullptr, queue, daemon);
    return 0;
  }
  // Declared after the queue: the radio's stream thread pushes into it until the radio goes.
  const std::unique_ptr<Radio> radio = options.backend == "rx888"     ? make_rx888_radio(options)
                                       : options.backend == "rtl-sdr" ? make_rtl_tcp_radio(options)
                                                                      : std::unique_ptr<Radio>(new SdrRadio(options));
  if (options.wideband)
    decode_receiver(options, radio.get(), queue, daemon);
  else
    run_audio_mode(options, radio.get(), queue, daemon);
  return 0;
}

}  // namespace

int run_main(int argc, char** argv) {
  // Before anything is opened: a file opened later could take a standard stream's closed
  // descriptor, and a daemon points them at its log later on.
  take_standard_streams();
  tune_allocator();
  ignore_broken_pipes();
  // The Daemon (start-up pipe and PID file) is constructed here, before option parsing, so that
  // every later failure reaches a waiting parent; it is destroyed last on every way out.
  Daemon daemon;
  std::string message;
  try {
    if (argc == 1) {
      write_standard_output(help_text());
      return 0;
    }
    return run_with_options(argc, argv, daemon);
  } catch (const std::exception& error) {
    message = error.what();
  }
  // The line goes to the log before a waiting daemon parent hears of the failure: once the
  // parent has reported, the log already holds the whole message.
  log_line("Error: " + message);
  // The waiting parent gets "E" and at most 2047 bytes through the start-up pipe.
  if (daemon.startup_pipe >= 0) {
    const std::string status = "E" + message.substr(0, 2047);
    daemon.fail(status.data(), status.size());
  }
  return 1;
}
