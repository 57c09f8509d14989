// A stand-in rtl_tcp server on 127.0.0.1 for trying live reception by hand and for
// whole-program tests: it serves one client a recording (or quiet) at the pace of the wall
// clock, and can misbehave on demand. Run with --help for the usage.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"

namespace {

constexpr char const* kUsage = R"(Usage: rtl_tcp_serve --rate HZ [--iq FILE [--loop]] [--align S] [--commands FILE]
                     [--bad-header | --short-header | --stall | --close-mid-pair]
                     [--after-commands N]

Listens on a free port of 127.0.0.1, prints "PORT <number>" on standard output, serves one
client and runs until SIGINT or SIGTERM (or until the client disconnects).

  --rate HZ           I,Q pairs per second of the wall clock (the rate the client asks for)
  --iq FILE           little-endian PCM16 I,Q pairs (the daemon's IQ file format), sent once
                      as unsigned 8-bit pairs; quiet bytes before and after it
  --loop              send the --iq recording again and again instead of once
  --align S           start the recording at the next UTC multiple of S seconds (15 for FT8)
  --commands FILE     on exit, write every 5-byte command received, one "NUMBER VALUE" a line
  --bad-header        send the magic "RTL1" instead of "RTL0"
  --short-header      send 11 bytes of the header and close
  --stall             after the header, send nothing and hold the connection open
  --close-mid-pair    after the header, send 1001 bytes (half a pair at the end) and close
  --after-commands N  start sending after the header only once N commands arrived (default 0)
)";

volatile std::sig_atomic_t stop = 0;

void request_stop(int) { stop = 1; }

[[noreturn]] void usage_error(std::string const& message)
{
    std::fprintf(stderr, "rtl_tcp_serve: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

std::vector<std::uint8_t> read_pcm16_as_u8(std::string const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::vector<char> const raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (raw.size() % 4 != 0)
        throw std::runtime_error(path + " is not whole PCM16 I,Q pairs");
    std::vector<std::uint8_t> bytes(raw.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto const low = static_cast<std::uint8_t>(raw[2 * i]);
        auto const high = static_cast<std::uint8_t>(raw[2 * i + 1]);
        auto const value = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
        // The top eight bits with the sign flipped: the 8-bit offset binary of the same level.
        bytes[i] = static_cast<std::uint8_t>((value >> 8) + 128);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> const args(argv + 1, argv + argc);
    testbed::PacedIqStream stream;
    testbed::RtlTcpServerScript script;
    std::string commands_path;
    std::string iq_path;
    std::string behaviour;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string const& arg = args[i];
        auto const value = [&]() -> std::string const& {
            if (i + 1 >= args.size())
                usage_error("missing value for " + arg);
            return args[++i];
        };
        try {
            if (arg == "--help") {
                std::fputs(kUsage, stdout);
                return 0;
            } else if (arg == "--rate") {
                stream.rate_hz = std::stoi(value());
            } else if (arg == "--iq") {
                iq_path = value();
            } else if (arg == "--loop") {
                stream.loop = true;
            } else if (arg == "--align") {
                stream.align_s = std::stod(value());
            } else if (arg == "--commands") {
                commands_path = value();
            } else if (arg == "--after-commands") {
                script.stream_after_commands = std::stoul(value());
            } else if (arg == "--bad-header" || arg == "--short-header" || arg == "--stall" ||
                       arg == "--close-mid-pair") {
                if (!behaviour.empty())
                    usage_error(behaviour + " and " + arg + " exclude each other");
                behaviour = arg;
            } else {
                usage_error("unknown option " + arg);
            }
        } catch (std::logic_error const&) {
            usage_error("invalid value for " + arg);
        }
    }

    try {
        if (behaviour == "--bad-header") {
            script.header = testbed::rtl_tcp_header(5, 29, "RTL1");
        } else if (behaviour == "--short-header") {
            script.header.resize(11);
            script.close_at_end = true;
        } else if (behaviour == "--close-mid-pair") {
            script.chunks.push_back({std::vector<std::uint8_t>(1001, 128), false});
            script.close_at_end = true;
        } else if (behaviour != "--stall") {
            if (stream.rate_hz <= 0)
                usage_error("--rate is required to stream");
            if (!iq_path.empty())
                stream.recording = read_pcm16_as_u8(iq_path);
            script.generator = testbed::paced_iq_generator(std::move(stream));
        }

        std::signal(SIGINT, request_stop);
        std::signal(SIGTERM, request_stop);
        testbed::RtlTcpServer server(std::move(script));
        std::cout << "PORT " << server.port() << '\n' << std::flush;
        while (stop == 0 && !server.wait_for_client_close(std::chrono::milliseconds(100))) {
        }

        if (!commands_path.empty()) {
            std::ofstream out(commands_path);
            for (testbed::RtlTcpCommand const& command : server.commands())
                out << static_cast<int>(command.command) << ' ' << command.value << '\n';
            if (!out.flush())
                throw std::runtime_error("cannot write " + commands_path);
        }
    } catch (std::exception const& error) {
        std::fprintf(stderr, "rtl_tcp_serve: %s\n", error.what());
        return 1;
    }
    return 0;
}
