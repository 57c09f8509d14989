#include "tests/support/ipfix_reader.hpp"

#include <stdexcept>

namespace {

class Cursor {
public:
    Cursor(std::vector<unsigned char> const& bytes, std::size_t begin, std::size_t end)
        : bytes_(bytes), at_(begin), end_(end)
    {
    }
    std::size_t left() const { return end_ - at_; }
    std::uint8_t u8()
    {
        need(1);
        return bytes_[at_++];
    }
    std::uint16_t u16()
    {
        std::uint16_t const high = u8();
        return static_cast<std::uint16_t>(high << 8 | u8());
    }
    std::uint32_t u32()
    {
        std::uint32_t const high = u16();
        return high << 16 | u16();
    }
    std::string text()
    {
        std::size_t const length = u8();
        if (length == 255)
            throw std::runtime_error("long-form string");
        need(length);
        std::string out(bytes_.begin() + static_cast<long>(at_), bytes_.begin() + static_cast<long>(at_ + length));
        at_ += length;
        return out;
    }

private:
    void need(std::size_t count) const
    {
        if (left() < count)
            throw std::runtime_error("truncated IPFIX field");
    }

    std::vector<unsigned char> const& bytes_;
    std::size_t at_;
    std::size_t end_;
};

}  // namespace

IpfixMessage read_ipfix_message(std::vector<unsigned char> const& bytes)
{
    IpfixMessage message;
    Cursor header(bytes, 0, bytes.size());
    message.version = header.u16();
    message.length = header.u16();
    message.export_time = header.u32();
    message.sequence = header.u32();
    message.observation_domain = header.u32();
    if (message.length != bytes.size())
        throw std::runtime_error("message length differs from datagram size");
    std::size_t at = 16;
    while (at < bytes.size()) {
        Cursor set_header(bytes, at, bytes.size());
        IpfixSet set;
        set.id = set_header.u16();
        set.length = set_header.u16();
        if (set.length < 4 || at + set.length > bytes.size())
            throw std::runtime_error("set overruns the message");
        set.content.assign(bytes.begin() + static_cast<long>(at + 4), bytes.begin() + static_cast<long>(at + set.length));
        if (set.id == 0xB201) {
            Cursor record(bytes, at + 4, at + set.length);
            message.receiver_call = record.text();
            message.receiver_grid = record.text();
            message.software = record.text();
        } else if (set.id == 0xB202) {
            Cursor record(bytes, at + 4, at + set.length);
            // A record is at least 13 bytes; anything shorter at the end is padding.
            while (record.left() >= 13) {
                PskSpot spot;
                spot.sender_call = record.text();
                spot.frequency_hz = record.u32();
                spot.snr = static_cast<std::int8_t>(record.u8());
                spot.mode = record.text();
                if (record.u8() != 1)
                    throw std::runtime_error("information source is not 1");
                spot.sender_grid = record.text();
                spot.time = record.u32();
                message.spots.push_back(spot);
            }
            message.spot_padding = record.left();
            while (record.left() > 0) {
                if (record.u8() != 0)
                    throw std::runtime_error("non-zero padding");
            }
        }
        message.sets.push_back(std::move(set));
        at += message.sets.back().length;
    }
    return message;
}
