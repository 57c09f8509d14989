// The paced rtl_tcp stream: a recording once between quiet bytes, or again and again.
#include "testbed/lib/paced_iq_stream.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// The first `pairs` I,Q pairs the generator hands out.
std::vector<std::uint8_t> first_pairs(testbed::PacedIqStream stream, std::size_t pairs)
{
    auto generate = testbed::paced_iq_generator(std::move(stream));
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> chunk;
    while (bytes.size() < 2 * pairs) {
        generate(chunk);
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    }
    bytes.resize(2 * pairs);
    return bytes;
}

TEST(PacedIqStream, SendsTheRecordingOnceOrInALoop)
{
    std::vector<std::uint8_t> const recording {1, 2, 3, 4, 5, 6};  // three pairs
    for (bool const loop : {false, true}) {
        testbed::PacedIqStream stream;
        stream.recording = recording;
        stream.rate_hz = 4000;  // 40 pairs per 10 ms step
        stream.loop = loop;
        std::vector<std::uint8_t> const bytes = first_pairs(stream, 8);
        std::vector<std::uint8_t> const expected =
            loop ? std::vector<std::uint8_t> {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6, 1, 2, 3, 4}
                 : std::vector<std::uint8_t> {1, 2, 3, 4, 5, 6, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128};
        EXPECT_EQ(bytes, expected) << (loop ? "loop" : "once");
    }
}

}  // namespace
