#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/psk_spot.hpp"

// Reads a PSK Reporter IPFIX message back the way a collector would: header, sets, the receiver
// record and the spot records. Independent of the builder; throws std::runtime_error on any
// framing error (lengths that overrun, records that do not fit their set).
struct IpfixSet {
    std::uint16_t id = 0;
    std::uint16_t length = 0;
    std::vector<unsigned char> content;  // what follows the 4-byte set header
};

struct IpfixMessage {
    std::uint16_t version = 0;
    std::uint16_t length = 0;
    std::uint32_t export_time = 0;
    std::uint32_t sequence = 0;
    std::uint32_t observation_domain = 0;
    std::vector<IpfixSet> sets;
    std::string receiver_call;
    std::string receiver_grid;
    std::string software;
    std::vector<PskSpot> spots;
    std::size_t spot_padding = 0;  // zero bytes after the last spot record
};

IpfixMessage read_ipfix_message(std::vector<unsigned char> const& bytes);
