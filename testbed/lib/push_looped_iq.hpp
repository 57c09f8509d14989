#pragma once

#include <complex>
#include <cstddef>
#include <vector>

#include "decode/channelizer.hpp"

namespace testbed {

// Feeds count samples of a capture that repeats without end to the channelizer, at most chunk at
// a time as a receiver hands them over, from index at; at is left where the next call goes on.
void push_looped_iq(Channelizer::Impl& channelizer, std::vector<std::complex<float>> const& iq, std::size_t count,
                    std::size_t chunk, std::size_t& at, Channelizer::Impl::Rows& rows);

}  // namespace testbed
