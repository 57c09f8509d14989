#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/psk_spot.hpp"

// The PSK Reporter collector takes one UDP datagram of at most this many bytes.
inline constexpr std::size_t ipfix_datagram_budget = 1200;

// Bytes one spot occupies in a datagram's spot set: three one-byte string lengths, four bytes
// of frequency, one of SNR, one of information source, four of time, and the strings.
std::size_t ipfix_record_size(PskSpot const& spot);

// One self-contained IPFIX message for the collector: header, both templates, the receiver
// record and one record per spot, in order. Throws "PSK Reporter string exceeds 254 bytes" and
// "PSK Reporter packet exceeds 1200-byte datagram budget".
std::vector<unsigned char> build_ipfix_packet(std::string const& receiver_call, std::string const& receiver_grid,
                                              std::vector<PskSpot> const& spots, std::uint32_t export_time,
                                              std::uint32_t sequence, std::uint32_t observation_domain);

void put_u16_be(std::vector<unsigned char>& out, std::uint16_t value);
// Length byte (0..254) and the bytes; longer strings throw.
void put_ipfix_string(std::vector<unsigned char>& out, std::string const& text);
// Pads content in place to a multiple of 4 bytes, then appends the set header and content.
void put_ipfix_set(std::vector<unsigned char>& out, std::uint16_t set_id, std::vector<unsigned char>& content);
