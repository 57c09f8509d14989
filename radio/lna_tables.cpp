#include "radio/lna_tables.hpp"

#include <cmath>
#include <initializer_list>

namespace {

// The lists follow LNA state order, not gain order: some models are not monotonic.
constexpr int rsp1_below_420[] = {0, 24, 19, 43};
constexpr int rsp1_420_1000[] = {0, 7, 19, 26};
constexpr int rsp1_above_1000[] = {0, 5, 19, 24};

constexpr int rsp1a_low[] = {0, 6, 12, 18, 37, 42, 61};
constexpr int rsp1a_vhf[] = {0, 6, 12, 18, 20, 26, 32, 38, 57, 62};
constexpr int rsp1a_420_1000[] = {0, 7, 13, 19, 20, 27, 33, 39, 45, 64};
constexpr int rsp1a_above_1000[] = {0, 6, 12, 20, 26, 32, 38, 43, 62};

constexpr int rsp2_below_420[] = {0, 10, 15, 21, 24, 34, 39, 45, 64};
constexpr int rsp2_420_1000[] = {0, 7, 10, 17, 22, 41};
constexpr int rsp2_above_1000[] = {0, 5, 21, 15, 15, 34};

constexpr int hiz_below_60[] = {0, 6, 12, 18, 37};

constexpr int dx_2_12[] = {0, 3, 6, 9, 12, 15, 24, 27, 30, 33, 36, 39, 42, 45, 48, 51, 54, 57, 60};
constexpr int dx_12_50[] = {0, 3, 6, 9, 12, 15, 18, 24, 27, 30, 33, 36, 39, 42, 45, 48, 51, 54, 57, 60};
constexpr int dx_50_60[] = {0,  3,  6,  9,  12, 20, 23, 26, 29, 32, 35, 38, 44,
                            47, 50, 53, 56, 59, 62, 65, 68, 71, 74, 77, 80};
constexpr int dx_60_250[] = {0,  3,  6,  9,  12, 15, 24, 27, 30, 33, 36, 39, 42, 45,
                             48, 51, 54, 57, 60, 63, 66, 69, 72, 75, 78, 81, 84};
constexpr int dx_250_420[] = {0,  3,  6,  9,  12, 15, 18, 24, 27, 30, 33, 36, 39, 42,
                              45, 48, 51, 54, 57, 60, 63, 66, 69, 72, 75, 78, 81, 84};
constexpr int dx_420_1000[] = {0, 7, 10, 13, 16, 19, 22, 25, 31, 34, 37, 40, 43, 46, 49, 52, 55, 58, 61, 64, 67};
constexpr int dx_above_1000[] = {0, 5, 8, 11, 14, 17, 20, 32, 35, 38, 41, 44, 47, 50, 53, 56, 59, 62, 65};

using List = std::optional<std::span<int const>>;

// One band: from its lower edge (inclusive) up to the next band's edge; `list` empty for a
// band without a table. The last band of a model runs to 2000 MHz inclusive, which the range
// check before the lookup already guarantees.
struct Band {
    double from_mhz;
    List list;
};

List pick(double mhz, std::initializer_list<Band> bands)
{
    List found;
    for (Band const& band : bands)
        if (mhz >= band.from_mhz)
            found = band.list;
    return found;
}

}  // namespace

std::optional<std::span<int const>> sdrplay_lna_reductions(std::string_view model, std::string_view antenna_word,
                                                           double hz)
{
    if (!std::isfinite(hz) || hz < 1000 || hz > 2e9)
        return std::nullopt;
    double const mhz = hz / 1e6;
    bool const hiz = antenna_word == "HiZ";
    if (model == "RSP1")
        return pick(mhz, {{0, rsp1_below_420}, {420, rsp1_420_1000}, {1000, rsp1_above_1000}});
    // The RSP1B shares the RSP1A's front end and its band edges, 60 MHz included.
    if (model == "RSP1A" || model == "RSP1B" || (model == "RSPduo" && !hiz))
        return pick(mhz, {{0, rsp1a_low}, {60, rsp1a_vhf}, {420, rsp1a_420_1000}, {1000, rsp1a_above_1000}});
    if (model == "RSP2" && !hiz)
        return pick(mhz, {{0, rsp2_below_420}, {420, rsp2_420_1000}, {1000, rsp2_above_1000}});
    if (model == "RSP2" || model == "RSPduo")
        return pick(mhz, {{0, hiz_below_60}, {60, std::nullopt}});
    if (model == "RSPdx" || model == "RSPdxR2")
        return pick(mhz, {{0, std::nullopt},
                          {2, dx_2_12},
                          {12, dx_12_50},
                          {50, dx_50_60},
                          {60, dx_60_250},
                          {250, dx_250_420},
                          {420, dx_420_1000},
                          {1000, dx_above_1000}});
    return std::nullopt;
}
