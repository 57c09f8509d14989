#include "report/ipfix_datagram.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/error_of.hpp"
#include "tests/support/ipfix_reader.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using Bytes = std::vector<unsigned char>;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

Bytes slice(Bytes const& bytes, std::size_t begin, std::size_t count)
{
    return Bytes(bytes.begin() + static_cast<long>(begin), bytes.begin() + static_cast<long>(begin + count));
}

Bytes text_bytes(std::string const& text) { return Bytes(text.begin(), text.end()); }

PskSpot spot(std::string call, std::string grid, std::uint32_t frequency_hz, std::uint32_t time, std::int32_t snr,
             std::string mode)
{
    return PskSpot{std::move(call), std::move(grid), frequency_hz, time, snr, std::move(mode)};
}

// "K1ABC", "FN42" and the software name make a 26-byte receiver record, padded to 28.
constexpr std::size_t fixed_size = 16 + 36 + 60 + 4 + 28 + 4;

TEST(IpfixDatagram, EmptyBatchIsHeaderTemplatesReceiverAndEmptySpotSet)
{
    Bytes const packet = build_ipfix_packet("K1ABC", "FN42", {}, 0x11223344, 0x55667788, 0x99AABBCC);
    ASSERT_EQ(packet.size(), fixed_size);

    EXPECT_THAT(slice(packet, 0, 16), ElementsAreArray(Bytes{0x00, 0x0A, 0x00, 0x94, 0x11, 0x22, 0x33, 0x44, 0x55,
                                                              0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}));
    EXPECT_THAT(slice(packet, 16, 36),
                ElementsAreArray(Bytes{0x00, 0x03, 0x00, 0x24, 0xB2, 0x01, 0x00, 0x03, 0x00, 0x01, 0x80, 0x02,
                                       0xFF, 0xFF, 0x00, 0x00, 0x76, 0x8F, 0x80, 0x04, 0xFF, 0xFF, 0x00, 0x00,
                                       0x76, 0x8F, 0x80, 0x08, 0xFF, 0xFF, 0x00, 0x00, 0x76, 0x8F, 0x00, 0x00}));
    EXPECT_THAT(slice(packet, 52, 60),
                ElementsAreArray(Bytes{0x00, 0x02, 0x00, 0x3C, 0xB2, 0x02, 0x00, 0x07,  //
                                       0x80, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x76, 0x8F,  // sender call
                                       0x80, 0x05, 0x00, 0x04, 0x00, 0x00, 0x76, 0x8F,  // frequency
                                       0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x76, 0x8F,  // SNR
                                       0x80, 0x0A, 0xFF, 0xFF, 0x00, 0x00, 0x76, 0x8F,  // mode
                                       0x80, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x76, 0x8F,  // information source
                                       0x80, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0x76, 0x8F,  // sender locator
                                       0x00, 0x96, 0x00, 0x04}));
    Bytes receiver{0xB2, 0x01, 0x00, 0x20, 5};
    for (Bytes const& part : {text_bytes("K1ABC"), Bytes{4}, text_bytes("FN42"), Bytes{14}, text_bytes("norvane 0.55.0"),
                              Bytes{0, 0}})
        receiver.insert(receiver.end(), part.begin(), part.end());
    EXPECT_THAT(slice(packet, 112, 32), ElementsAreArray(receiver));
    EXPECT_THAT(slice(packet, 144, 4), ElementsAreArray(Bytes{0xB2, 0x02, 0x00, 0x04}));
}

TEST(IpfixDatagram, SpotRecordsFollowInBatchOrder)
{
    std::vector<PskSpot> const spots{spot("W1AW", "FN31", 14075000, 1700000000, -10, "FT8"),
                                     spot("DL1XYZ", "", 7074000, 1700000015, 3, "FT4")};
    Bytes const packet = build_ipfix_packet("K1ABC", "FN42", spots, 1700000100, 7, 42);

    // 24 + 22 bytes of records, 2 of padding.
    ASSERT_EQ(packet.size(), fixed_size + 48);
    EXPECT_THAT(slice(packet, fixed_size - 4, 4), ElementsAreArray(Bytes{0xB2, 0x02, 0x00, 0x34}));
    Bytes expected{4, 'W', '1', 'A', 'W', 0x00, 0xD6, 0xC4, 0x78, 0xF6, 3, 'F', 'T', '8', 0x01,
                   4, 'F', 'N', '3', '1', 0x65, 0x53, 0xF1, 0x00,
                   6, 'D', 'L', '1', 'X', 'Y', 'Z', 0x00, 0x6B, 0xF0, 0xD0, 0x03, 3, 'F', 'T', '4', 0x01,
                   0,  // empty locator: only its length byte
                   0x65, 0x53, 0xF1, 0x0F, 0x00, 0x00};
    EXPECT_THAT(slice(packet, fixed_size, 48), ElementsAreArray(expected));

    IpfixMessage const message = read_ipfix_message(packet);
    EXPECT_EQ(message.version, 10);
    EXPECT_EQ(message.export_time, 1700000100u);
    EXPECT_EQ(message.sequence, 7u);
    EXPECT_EQ(message.observation_domain, 42u);
    EXPECT_EQ(message.receiver_call, "K1ABC");
    EXPECT_EQ(message.software, "norvane 0.55.0");
    ASSERT_EQ(message.spots.size(), 2u);
    EXPECT_EQ(message.spots[1].sender_call, "DL1XYZ");
    EXPECT_EQ(message.spots[1].frequency_hz, 7074000u);
    EXPECT_EQ(message.spot_padding, 2u);
}

TEST(IpfixDatagram, RecordsOfSixtyOneBytesGetThreeBytesOfPadding)
{
    std::vector<PskSpot> const spots{spot(std::string(45, 'A'), "", 14074000, 1, 0, "FT8")};
    EXPECT_EQ(ipfix_record_size(spots[0]), 61u);
    Bytes const packet = build_ipfix_packet("K1ABC", "FN42", spots, 0, 0, 0);
    ASSERT_EQ(packet.size(), fixed_size + 64);
    EXPECT_THAT(slice(packet, fixed_size - 4, 4), ElementsAreArray(Bytes{0xB2, 0x02, 0x00, 0x44}));
    EXPECT_THAT(slice(packet, packet.size() - 3, 3), ElementsAreArray(Bytes{0, 0, 0}));
}

struct SnrCase {
    std::int32_t snr;
    unsigned char byte;
};

class IpfixSnr : public ::testing::TestWithParam<SnrCase> {};

TEST_P(IpfixSnr, IsClampedToOneSignedByte)
{
    Bytes const packet = build_ipfix_packet("K1ABC", "FN42", {spot("W1AW", "", 14075000, 0, GetParam().snr, "FT8")}, 0,
                                            0, 0);
    // call (5 bytes) and frequency (4) come first in the record.
    EXPECT_EQ(packet[fixed_size + 9], GetParam().byte);
}

INSTANTIATE_TEST_SUITE_P(Table, IpfixSnr,
                         ::testing::Values(SnrCase{200, 0x7F}, SnrCase{127, 0x7F}, SnrCase{-300, 0x80},
                                           SnrCase{-128, 0x80}, SnrCase{-1, 0xFF}, SnrCase{0, 0x00}));

TEST(IpfixDatagram, StringsLongerThan254BytesAreRefused)
{
    Bytes out;
    put_ipfix_string(out, std::string(254, 'X'));
    EXPECT_EQ(out.size(), 255u);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(error_of([] {
                  Bytes more;
                  put_ipfix_string(more, std::string(255, 'X'));
              }),
              "PSK Reporter string exceeds 254 bytes");
    EXPECT_EQ(error_of([] { build_ipfix_packet("K1ABC", "FN42", {spot(std::string(255, 'W'), "", 1, 0, 0, "FT8")}, 0, 0, 0); }),
              "PSK Reporter string exceeds 254 bytes");
}

TEST(IpfixDatagram, ExactlyTheBudgetIsAcceptedOneRecordByteMoreIsNot)
{
    // Four records of 263 bytes fill the 1052 bytes left after the fixed part.
    std::vector<PskSpot> spots(4, spot(std::string(247, 'K'), "", 14074000, 0, 0, "FT8"));
    EXPECT_EQ(build_ipfix_packet("K1ABC", "FN42", spots, 0, 0, 0).size(), 1200u);
    spots[3].sender_call += 'K';
    EXPECT_EQ(error_of([&] { build_ipfix_packet("K1ABC", "FN42", spots, 0, 0, 0); }),
              "PSK Reporter packet exceeds 1200-byte datagram budget");
}

TEST(IpfixDatagram, SetsArePaddedInPlace)
{
    Bytes out{0xAA};
    Bytes content{1, 2, 3, 4, 5};
    put_ipfix_set(out, 0xB202, content);
    EXPECT_THAT(content, ElementsAreArray(Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_THAT(out, ElementsAreArray(Bytes{0xAA, 0xB2, 0x02, 0x00, 0x0C, 1, 2, 3, 4, 5, 0, 0, 0}));
    Bytes word;
    put_u16_be(word, 0x1234);
    EXPECT_THAT(word, ElementsAreArray(Bytes{0x12, 0x34}));
}

// A pcap file of IPv4/UDP packets to the collector port, for an independent dissector.
void write_pcap(std::filesystem::path const& path, std::vector<Bytes> const& datagrams)
{
    auto le32 = [](Bytes& out, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    auto le16 = [](Bytes& out, std::uint16_t v) {
        out.push_back(static_cast<unsigned char>(v & 0xFF));
        out.push_back(static_cast<unsigned char>(v >> 8));
    };
    Bytes file;
    le32(file, 0xA1B2C3D4);
    le16(file, 2);
    le16(file, 4);
    le32(file, 0);
    le32(file, 0);
    le32(file, 65535);
    le32(file, 228);  // raw IPv4
    for (Bytes const& payload : datagrams) {
        Bytes packet{0x45, 0, 0, 0, 0, 0, 0x40, 0, 64, 17, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1};
        std::uint16_t const total = static_cast<std::uint16_t>(20 + 8 + payload.size());
        packet[2] = static_cast<unsigned char>(total >> 8);
        packet[3] = static_cast<unsigned char>(total & 0xFF);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < 20; i += 2)
            sum += static_cast<std::uint32_t>(packet[i] << 8 | packet[i + 1]);
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        packet[10] = static_cast<unsigned char>((~sum >> 8) & 0xFF);
        packet[11] = static_cast<unsigned char>(~sum & 0xFF);
        std::uint16_t const udp_length = static_cast<std::uint16_t>(8 + payload.size());
        for (std::uint16_t v : {std::uint16_t{40000}, std::uint16_t{4739}, udp_length, std::uint16_t{0}}) {
            packet.push_back(static_cast<unsigned char>(v >> 8));
            packet.push_back(static_cast<unsigned char>(v & 0xFF));
        }
        packet.insert(packet.end(), payload.begin(), payload.end());
        le32(file, 1700000000);
        le32(file, 0);
        le32(file, static_cast<std::uint32_t>(packet.size()));
        le32(file, static_cast<std::uint32_t>(packet.size()));
        file.insert(file.end(), packet.begin(), packet.end());
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<char const*>(file.data()), static_cast<long>(file.size()));
}

bool have_tshark()
{
    return run_process({"sh", "-c", "command -v tshark"}).exit_status == 0;
}

TEST(IpfixDatagram, WiresharkDissectsTheMessagesAsIpfix)
{
    if (!have_tshark())
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
    TempDir dir;
    std::vector<PskSpot> const spots{spot("W1AW", "FN31", 14075000, 1700000000, -10, "FT8"),
                                     spot("DL1XYZ", "", 7074000, 1700000015, 3, "FT4"),
                                     spot("JA1ABC", "PM95", 21074000, 1700000030, 12, "JS8")};
    write_pcap(dir / "psk.pcap", {build_ipfix_packet("K1ABC", "FN42", {}, 1700000100, 0, 77),
                                  build_ipfix_packet("K1ABC", "FN42", spots, 1700000400, 0, 77)});
    ProcessResult const result = run_process(
        {"tshark", "-n", "-r", (dir / "psk.pcap").string(), "-2", "-d", "udp.port==4739,cflow", "-V"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::string const& out = result.out;
    for (char const* line : {"Version: 10", "ExportTime: 1700000100", "ExportTime: 1700000400", "FlowSequence: 0",
                             "Observation Domain Id: 77",
                             "Options Template (Id = 45569) (Scope Count = 1; Data Count = 2)",
                             "Template (Id = 45570, Count = 7)", "Set 4 [id=45570] (0 flows)",
                             "Set 4 [id=45570] (3 flows)"})
        EXPECT_THAT(out, HasSubstr(line));
    // The spot records, read through the template: calls, frequencies, SNR, mode, locators, times.
    std::string const flows = out.substr(out.find("(3 flows)"));
    EXPECT_THAT(flows, Not(HasSubstr("Malformed")));
    for (char const* value : {"Type 1: Value (hex bytes): 57 31 41 57", "Type 5: Value (hex bytes): 00 d6 c4 78",
                              "Type 6: Value (hex bytes): f6", "Type 10: Value (hex bytes): 4a 53 38",
                              "Type 3: Value (hex bytes): 50 4d 39 35", "StartTime: Nov 14, 2023 22:13:35"})
        EXPECT_THAT(flows, HasSubstr(value));
    // The empty locator of the second spot is a zero-length field: two locators shown for three spots.
    std::size_t locators = 0;
    for (std::size_t at = flows.find("Type 3: Value"); at != std::string::npos; at = flows.find("Type 3: Value", at + 1))
        ++locators;
    EXPECT_EQ(locators, 2u);
}

}  // namespace
