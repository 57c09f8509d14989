#include "sig/survey/ham_band.hpp"

const std::vector<HamBand>& ham_bands()
{
    // Built on first use, so a caller that runs before the start-up initialiser still sees the
    // whole table.
    static const std::vector<HamBand> table = {
        {1800000, 2000000, "160m"},
        {3500000, 4000000, "80m"},
        {5330600, 5333400, "60m"},
        {5346600, 5349400, "60m"},
        {5357100, 5359900, "60m"},
        {5371600, 5374400, "60m"},
        {5403600, 5406400, "60m"},
        {7000000, 7300000, "40m"},
        {10100000, 10150000, "30m"},
        {14000000, 14350000, "20m"},
        {18068000, 18168000, "17m"},
        {21000000, 21450000, "15m"},
        {24890000, 24990000, "12m"},
        {28000000, 29700000, "10m"},
        {50000000, 54000000, "6m"},
        {144000000, 148000000, "2m"},
        {420000000, 450000000, "70cm"},
    };
    return table;
}

void init_ham_band_table() { (void)ham_bands(); }

bool in_ham_band(double rf_hz)
{
    for (const HamBand& band : ham_bands()) {
        if (band.low_hz <= rf_hz && rf_hz <= band.high_hz)
            return true;
    }
    return false;
}
