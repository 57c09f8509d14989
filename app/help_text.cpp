#include "app/help_text.hpp"

#include <sstream>
#include <string_view>
#include <vector>

#include "app/version.hpp"

namespace {

// Descriptions start at this column; they wrap before the line width.
constexpr std::size_t description_column = 30;
constexpr std::size_t line_width = 100;

// An entry without an option is a free note of its section.
struct Entry {
  std::string_view option;
  std::string_view text;
};

struct Section {
  std::string_view heading;
  std::vector<Entry> entries;
};

const std::vector<Section>& sections() {
  static const std::vector<Section> table = {
      {"General:",
       {
           {"-h, --help", "Print this help and exit."},
           {"--version", "Print the version and exit."},
           {"--list-frequencies",
            "Print the common dial frequencies of each band for the --modes (default FT8) and "
            "exit."},
           {"--mode MODE",
            "audio, decoder, hybrid or receivers (default audio). decoder and hybrid decode "
            "FT8/FT4/JS8/WSPR channels and may add live audio and analysis channels; receivers "
            "runs live audio and analysis channels only."},
           {"--config PATH",
            "Read defaults from a key=value file (keys are the long option names, plus audio.* "
            "and analysis.*; # or ; starts a comment); the command line overrides it. Once only."},
           {"--duration SECONDS", "Stop after this time, 0..86400 (default 0 = unlimited)."},
           {"--stats, --no-stats", "Print a statistics line every second (default off)."},
       }},
      {"Device selection:",
       {
           {"--backend NAME", "sdrplay, rtl-sdr or rx888 (default sdrplay)."},
           {"--serial SERIAL", "SDRplay receiver serial number (default: the first available)."},
           {"--api-library PATH", "SDRplay API library to load (default: the installed one)."},
           {"--list-devices", "List the receivers of the selected backend and exit."},
           {"--rx888-library PATH", "libusb-1.0 library for the RX-888 (default: the system's)."},
           {"--rx888-firmware PATH", "FX3 firmware image for the RX-888 (default: none)."},
           {"--rx888-rate full|half",
            "ADC clock: full 128 MS/s (0-64 MHz) or half 64 MS/s (0-32 MHz) (default full)."},
           {"--rx888-coverage bands|all",
            "bands: a window sized to the selection; all: 0 Hz to 90% of Nyquist (default bands)."},
           {"--rx888-gpu auto|off",
            "auto: an NVIDIA GPU when one answers; off: the CPU (default auto)."},
           {"--rx888-recovery SECONDS",
            "Wait this long for a stalled RX-888 stream to come back, 0..600 (default 130)."},
           {"--rx888-attenuation DB", "HF attenuator, 0..31.5 dB in 0.5 dB steps (default 10)."},
           {"--rx888-gain DB",
            "HF VGA gain, -8..32 dB; applied hardware steps are approximate (default 0)."},
           {"--rx888-bias-t on|off", "Antenna-port bias tee (default off)."},
           {"--rx888-reference on|off", "Expect an external clock reference (default off)."},
           {{}, "RX-888 settings need live --backend rx888; the RX-888 uses manual gain (no --agc on)."},
       }},
      {"RTL-SDR server:",
       {
           {{}, "The rtl-sdr backend is a client of an external rtl_tcp server; start it with"},
           {{}, "  rtl_tcp -a HOST -p PORT -d INDEX_OR_SERIAL"},
           {"--rtl-host HOST", "rtl_tcp server host (default 127.0.0.1)."},
           {"--rtl-port PORT", "rtl_tcp server port, 1..65535 (default 1234)."},
           {"--rtl-device",
            "Not accepted: select RTL hardware on the server with rtl_tcp -d INDEX_OR_SERIAL."},
       }},
      {"Live independent audio (wideband decoder/hybrid/receivers modes):",
       {
           {"--audio-channel SPEC",
            "Add a live audio channel, or replace the one with the same id. SPEC is one comma "
            "list of key=value fields without blanks: id=ID and frequency=HZ (both required), "
            "modulation=USB|LSB|AM|FM (default USB), bandwidth=HZ (default 3000, AM 6000, FM "
            "10000; 200..20000, FM up to 250000), low-cut=HZ (default 0), audio-rate=HZ "
            "(8000..192000, default 48000), audio-gain=GAIN (0..10000, default 10), agc=on|off "
            "(default on), enabled=true|false (default true), and the outputs sink=NAME and/or "
            "wav=PATH, or socket=/ABSOLUTE/PATH alone. ID: 1..32 letters, digits, _ or -."},
           {"--remove-audio-channel ID", "Remove the audio channel with this id."},
           {"--clear-audio-channels", "Remove every audio channel given before it."},
           {"--audio-control PATH", "Serve the private control socket at PATH (default: none)."},
           {"--audio-command TEXT",
            "Send TEXT (1..4096 bytes) to the control socket of --audio-control, print the reply "
            "and exit: status 0 when it begins OK."},
           {{}, "At most 16 audio and analysis channels per SDR, each inside the capture."},
       }},
      {"Real-time signal analysis (decoder/hybrid/receivers modes):",
       {
           {"--analysis-channel SPEC",
            "Add an analysis channel, or replace the one with the same id. SPEC is one comma "
            "list of key=value fields without blanks: id=ID and frequency=HZ (both required), "
            "modulation=usb|lsb (default usb), bandwidth=HZ (200..20000, default 3000), "
            "modes=auto or names joined by + (default auto), rtty=auto|45.45/170|50/170|75/850, "
            "wefax=auto|120/576|60/288|90/576|240/576 (both default auto), olivia=TONES/BW@AUDIO_HZ "
            "joined by + (at most 8), report=on|off (default on), enabled=true|false (default "
            "true). Modes: psk31, qpsk31, psk63, rtty, olivia, cw, wefax, sstv, jtty."},
           {"--remove-analysis-channel ID", "Remove the analysis channel with this id."},
           {"--clear-analysis-channels", "Remove every analysis channel given before it."},
           {"--signal-journal PATH|off",
            "JSONL journal of signal events (default signal-events.jsonl; off: none)."},
           {"--wefax-images DIR", "Directory for finished WEFAX pictures (default wefax)."},
           {"--known-channels",
            "Watch the built-in known channels (PSK, CW, RTTY and JTTY calling frequencies, "
            "beacons, bulletins, weather fax) that fit the capture."},
           {"--no-known-channels", "Do not watch them (the default)."},
           {"--known-channels-report",
            "Report call signs read on known channels to PSK Reporter (JTTY-only channels "
            "always report)."},
           {"--no-known-channels-report", "Do not report them (the default)."},
       }},
      {"Wideband signal survey (decoder/hybrid/receivers modes):",
       {
           {"--survey, --no-survey",
            "Find, classify and decode every emitter in the capture (default off)."},
           {"--survey-bandwidth HZ", "Target survey rate, 48k..64M (default 1.5M)."},
           {"--survey-max-decoders N", "Concurrent survey decoders, 1..255 (default 16)."},
           {"--survey-min-snr DB",
            "Detection threshold over the local noise floor, 0..60 dB (default 6)."},
           {"--survey-journal PATH|off",
            "JSONL journal of survey events (default signal-events.jsonl; off: none)."},
       }},
      {"Graph history:",
       {
           {"--history-db PATH|off", "sqlite database of per-minute decode counts (default off)."},
           {"--history-days N", "Days of history kept, 1..365 (default 7)."},
       }},
      {"Legacy audio mode:",
       {
           {"-f, --frequency HZ",
            "USB/LSB dial or AM carrier, 1k..2000M Hz (required, except when replaying an IQ "
            "file)."},
           {"-m, --modulation MOD", "USB, LSB or AM, any letter case (default USB)."},
           {"-b, --bandwidth HZ",
            "Receive bandwidth, 200..20000 Hz and below half the audio rate (AM: half of it) "
            "(default 3000; AM 6000). In decoder modes: the channel width, 1000..5000 Hz "
            "(default 4000)."},
           {"--audio-gain GAIN", "Fixed audio multiplier, above 0 up to 10000 (default 10)."},
           {"--audio-rate HZ", "Audio output rate, 8000..192000 Hz (default 48000)."},
           {"--sink NAME",
            "Play into this existing PulseAudio sink instead of creating one (default "
            "norvane_rx)."},
           {"--wav PATH", "Write 16-bit mono audio to this WAV file instead of PulseAudio."},
           {{}, "Without --sink or --wav the program creates the PulseAudio null sink norvane_rx"},
           {{}, "and the source norvane_rx_input on its monitor: select norvane_rx_input as the"},
           {{}, "audio input of the decoding program."},
       }},
      {"FT8/FT4/JS8/WSPR decoder mode:",
       {
           {"--modes LIST",
            "Comma list of FT8, FT4, JS8, JS8-FAST, JS8-TURBO, JS8-SLOW, WSPR, any letter case, "
            "no repeats (default FT8)."},
           {"--bands LIST",
            "Comma list of 160,80,60,40,30,20,17,15,12,10,6,2 (optional m suffix) or 70cm: one "
            "channel per band and selected mode (see --list-frequencies)."},
           {"--frequencies LIST",
            "Comma list of USB dial frequencies, each MODE:HZ or HZ (FT8:14.074M,FT4:14.080M); "
            "the prefix is required with several --modes. Not together with --bands."},
           {"--center-frequency HZ", "Receiver centre (default: computed from the channels)."},
           {"--decoders N",
            "Number of decoder channels, 1..96; must match the selection (default: its count)."},
           {"--workers N",
            "Concurrent decoder jobs, 1..32 (default: channels, at most half the hardware threads; "
            "1 in receivers mode)."},
           {"--decode-depth N", "FT8/FT4 decode depth, 1..3 (default 3)."},
           {"--decoder-timeout SECONDS", "Per-job time limit, above 0 up to 60 (default 12)."},
           {"--wspr-timeout SECONDS", "WSPR job time limit, above 0 up to 110 (default 60)."},
           {"--decoder PATH", "FT8/FT4 decoder executable (default jt9)."},
           {"--js8-decoder PATH", "JS8 decoder executable (default quillon)."},
           {"--wspr-decoder PATH", "WSPR decoder executable (default wsprd)."},
           {"--all-txt PATH", "Spot file, one line appended per decode (default ALL.TXT)."},
           {"--work-dir DIR",
            "Existing parent directory of the decoder workspaces (default: the system's temporary "
            "directory)."},
           {{}, "Between 1 and 96 channels; each band/mode pair counts."},
       }},
      {"PSK Reporter (decoder mode):",
       {
           {"--pskreporter",
            "Publish spots to PSK Reporter; needs --callsign, --grid and live reception."},
           {"--no-pskreporter", "Do not publish them (the default)."},
           {"--wsprnet, --no-wsprnet",
            "Upload WSPR spots to WSPRnet; needs --callsign, --grid and live reception (default "
            "off)."},
           {"--callsign CALL", "Your receiving station's call sign."},
           {"--grid LOCATOR", "Your Maidenhead locator, 4, 6 or 8 characters."},
       }},
      {"Capture and levels (both modes):",
       {
           {"--sample-rate HZ",
            "Hardware IQ rate. SDRplay 2M..10M (default 2.048M; 10M in decoder modes); RTL-SDR "
            "225001..300000 or 900001..3200000 (default 1.024M; 2.4M in decoder modes); RX-888 "
            "the ADC clock divided by a power of two, up to 32M, 64M with --rx888-coverage all "
            "(default 8M)."},
           {"--ppm PPM", "Frequency correction, -1000..1000; whole numbers for RTL-SDR (default 0)."},
           {"--agc on|off", "Automatic RF gain (default on; always off for the RX-888)."},
           {"--buffer-seconds SECONDS",
            "How far reception may fall behind before IQ blocks are dropped, 0.5..30 (default 8)."},
       }},
      {"SDRplay settings:",
       {
           {"--gain-reduction DB", "IF gain reduction, 20..59 dB (default 50)."},
           {"--lna-state N", "RF gain state, 0..255 within the device's table (default 0)."},
           {"--antenna PORT", "Antenna port A, B, C or HiZ (default: the device's choice)."},
           {"--usb-mode MODE",
            "USB transfers bulk or isochronous (default isochronous; bulk in decoder modes)."},
           {"--rf-notch on|off", "Hardware MW/FM broadcast notch (default off)."},
           {"--mw-notch on|off", "Separate Hi-Z MW notch (default off)."},
       }},
      {"RTL-SDR settings:",
       {
           {"--rtl-gain DB", "Requested tuner gain, -10..60 dB (default 25)."},
           {"--direct-sampling off|i|q", "Direct sampling: off, I branch or Q branch (default off)."},
       }},
      {"Daemon control:",
       {
           {"--daemon, --no-daemon",
            "Detach, log to --log-file and hold a locked --pid-file; the command returns once "
            "reception has started (default off)."},
           {"--kill, -kill",
            "Stop the daemon holding --pid-file (SIGTERM, then up to ten seconds) and exit."},
           {"--pid-file PATH", "PID and lock file (default norvane.pid)."},
           {"--log-file PATH", "Daemon log (default norvane.log)."},
       }},
      {"IQ file replay:",
       {
           {"--iq-file PATH",
            "Replay little-endian PCM16 I,Q pairs from this regular file instead of a receiver "
            "(audio mode reads them at 64000 Hz)."},
           {"--iq-rate HZ", "Sample rate of a decoder-mode replay, 64000..10M (default 64000)."},
           {"--start-utc YYYYMMDD_HHMMSS",
            "UTC time of the first sample of a decoder-mode replay (required there)."},
       }},
      {"Examples:",
       {
           {{}, "norvane -f 14.074M"},
           {{}, "norvane -f 3.65M -m LSB --wav evening.wav --duration 600"},
           {{}, "norvane --mode decoder --modes FT8,FT4 --bands 40,30,20"},
           {{}, "norvane --mode decoder --frequencies FT8:14.074M,WSPR:14.0956M \\"},
           {{}, "    --callsign K1ABC --grid FN31 --pskreporter"},
           {{}, "norvane --mode hybrid --bands 20 --audio-channel id=ssb,frequency=14.2M \\"},
           {{}, "    --audio-control /tmp/norvane.sock"},
           {{}, "norvane --audio-control /tmp/norvane.sock --audio-command STATUS"},
           {{}, "norvane --backend rtl-sdr --rtl-host 127.0.0.1 -f 7.074M"},
           {{}, "norvane --mode decoder --bands 20 --iq-file capture.iq --iq-rate 96000 \\"},
           {{}, "    --start-utc 20250101_120000"},
           {{}, "norvane --config station.conf --daemon"},
           {{}, "norvane --kill"},
       }},
  };
  return table;
}

// Appends `text` word by word, starting at column `column`, wrapping onto lines indented by
// `indent`.
void append_wrapped(std::string& out, std::string_view text, std::size_t column, std::size_t indent) {
  std::size_t at = column;
  bool first_word = true;
  while (!text.empty()) {
    std::size_t end = text.find(' ');
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (word.empty()) continue;
    if (!first_word && at + 1 + word.size() > line_width) {
      out += '\n';
      out.append(indent, ' ');
      at = indent;
    } else if (!first_word) {
      out += ' ';
      ++at;
    }
    out += word;
    at += word.size();
    first_word = false;
  }
  out += '\n';
}

std::string build_help_text() {
  std::string out =
      "SDRplay receiver and FT8/FT4/JS8/WSPR decoder\n"
      "\n"
      "Usage:\n"
      "  norvane [-f HZ] [audio options] [receiver options]\n"
      "  norvane --mode decoder --bands LIST [options]\n"
      "  norvane --mode decoder --frequencies LIST [options]\n"
      "  norvane --config PATH [overrides]\n"
      "  norvane --kill [--pid-file PATH]\n"
      "  norvane --list-frequencies | --list-devices | --help | --version\n"
      "Frequencies and rates accept k/M suffixes: 3k, 14.074M, 10M.\n";
  for (const Section& section : sections()) {
    out += '\n';
    out += section.heading;
    out += '\n';
    for (const Entry& entry : section.entries) {
      if (entry.option.empty()) {
        // A note keeps its own leading blanks (a command under a sentence, a continued example).
        std::size_t lead = entry.text.find_first_not_of(' ');
        if (lead == std::string_view::npos) lead = 0;
        out.append(2 + lead, ' ');
        append_wrapped(out, entry.text.substr(lead), 2 + lead, 4);
        continue;
      }
      out += "  ";
      out += entry.option;
      std::size_t column = 2 + entry.option.size();
      std::size_t pad = column < description_column ? description_column - column : 1;
      out.append(pad, ' ');
      append_wrapped(out, entry.text, column + pad, description_column);
    }
  }
  out += "\nDocumentation: man norvane (FILES lists installed paths).\n";
  return out;
}

}  // namespace

const std::string& help_text() {
  static const std::string text = build_help_text();
  return text;
}

std::string version_banner() {
  return std::string("norvane ") + NORVANE_VERSION +
         " (receive-only amateur radio monitoring; publish spots only under your own call "
         "sign)\n";
}
