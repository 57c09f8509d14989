#include "report/ipfix_datagram.hpp"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::uint16_t ipfix_version = 10;
constexpr std::uint32_t enterprise_number = 30351;
constexpr std::uint16_t options_template_set = 3;
constexpr std::uint16_t template_set = 2;
constexpr std::uint16_t receiver_template = 0xB201;
constexpr std::uint16_t spot_template = 0xB202;
constexpr std::uint16_t variable_length = 65535;
constexpr char software_identifier[] = "norvane 0.55.0";

void put_u32_be(std::vector<unsigned char>& out, std::uint32_t value)
{
    put_u16_be(out, static_cast<std::uint16_t>(value >> 16));
    put_u16_be(out, static_cast<std::uint16_t>(value & 0xFFFF));
}

// Elements with the top bit set belong to the PSK Reporter enterprise and carry its number.
void put_field(std::vector<unsigned char>& out, std::uint16_t element, std::uint16_t length)
{
    put_u16_be(out, element);
    put_u16_be(out, length);
    if (element & 0x8000)
        put_u32_be(out, enterprise_number);
}

std::vector<unsigned char> options_template()
{
    std::vector<unsigned char> content;
    put_u16_be(content, receiver_template);
    put_u16_be(content, 3);  // fields
    put_u16_be(content, 1);  // scope fields: the receiver call sign
    put_field(content, 0x8002, variable_length);
    put_field(content, 0x8004, variable_length);
    put_field(content, 0x8008, variable_length);
    return content;
}

std::vector<unsigned char> spot_template_content()
{
    std::vector<unsigned char> content;
    put_u16_be(content, spot_template);
    put_u16_be(content, 7);
    put_field(content, 0x8001, variable_length);  // sender call
    put_field(content, 0x8005, 4);                // frequency
    put_field(content, 0x8006, 1);                // SNR
    put_field(content, 0x800A, variable_length);  // mode
    put_field(content, 0x800B, 1);                // information source
    put_field(content, 0x8003, variable_length);  // sender locator
    put_field(content, 150, 4);                   // flowStartSeconds
    return content;
}

}  // namespace

std::size_t ipfix_record_size(PskSpot const& spot)
{
    return 13 + spot.sender_call.size() + spot.sender_grid.size() + spot.mode.size();
}

void put_u16_be(std::vector<unsigned char>& out, std::uint16_t value)
{
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value & 0xFF));
}

void put_ipfix_string(std::vector<unsigned char>& out, std::string const& text)
{
    // Length byte 255 would announce the three-byte long form, which the collector is not sent.
    if (text.size() > 254)
        throw std::runtime_error("PSK Reporter string exceeds 254 bytes");
    out.push_back(static_cast<unsigned char>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

void put_ipfix_set(std::vector<unsigned char>& out, std::uint16_t set_id, std::vector<unsigned char>& content)
{
    while (content.size() % 4 != 0)
        content.push_back(0);
    put_u16_be(out, set_id);
    put_u16_be(out, static_cast<std::uint16_t>((content.size() + 4) & 0xFFFF));
    out.insert(out.end(), content.begin(), content.end());
}

std::vector<unsigned char> build_ipfix_packet(std::string const& receiver_call, std::string const& receiver_grid,
                                              std::vector<PskSpot> const& spots, std::uint32_t export_time,
                                              std::uint32_t sequence, std::uint32_t observation_domain)
{
    std::vector<unsigned char> out;
    put_u16_be(out, ipfix_version);
    put_u16_be(out, 0);  // length, written once known
    put_u32_be(out, export_time);
    put_u32_be(out, sequence);
    put_u32_be(out, observation_domain);

    std::vector<unsigned char> content = options_template();
    put_ipfix_set(out, options_template_set, content);
    content = spot_template_content();
    put_ipfix_set(out, template_set, content);

    content.clear();
    put_ipfix_string(content, receiver_call);
    put_ipfix_string(content, receiver_grid);
    put_ipfix_string(content, software_identifier);
    put_ipfix_set(out, receiver_template, content);

    content.clear();
    for (PskSpot const& spot : spots) {
        put_ipfix_string(content, spot.sender_call);
        put_u32_be(content, spot.frequency_hz);
        content.push_back(static_cast<unsigned char>(static_cast<std::int8_t>(std::clamp(spot.snr, -128, 127))));
        put_ipfix_string(content, spot.mode);
        content.push_back(1);  // information source: automatically extracted
        put_ipfix_string(content, spot.sender_grid);
        put_u32_be(content, spot.time);
    }
    put_ipfix_set(out, spot_template, content);

    if (out.size() > ipfix_datagram_budget)
        throw std::runtime_error("PSK Reporter packet exceeds 1200-byte datagram budget");
    out[2] = static_cast<unsigned char>(out.size() >> 8);
    out[3] = static_cast<unsigned char>(out.size() & 0xFF);
    return out;
}
