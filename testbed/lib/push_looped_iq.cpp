#include "testbed/lib/push_looped_iq.hpp"

#include <algorithm>

namespace testbed {

void push_looped_iq(Channelizer::Impl& channelizer, std::vector<std::complex<float>> const& iq, std::size_t count,
                    std::size_t chunk, std::size_t& at, Channelizer::Impl::Rows& rows)
{
    for (std::size_t done = 0; done < count;) {
        std::size_t const n = std::min({chunk, count - done, iq.size() - at});
        channelizer.push_iq(iq.data() + at, n, rows);
        at = (at + n) % iq.size();
        done += n;
    }
}

}  // namespace testbed
