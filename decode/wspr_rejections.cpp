#include "decode/wspr_rejections.hpp"

#include "core/log_line.hpp"
#include "report/wspr_reporter.hpp"

void WsprRejections::guard(std::function<void()> const& submit)
{
    try {
        submit();
    } catch (InvalidWsprSpot const& error) {
        if (count_.fetch_add(1) == 0)
            log_line(std::string("WSPRnet spot rejected: ") + error.what() + "; reception continues");
    }
}

std::string WsprRejections::summary() const
{
    std::uint64_t const rejected = count();
    if (rejected == 0)
        return {};
    return "WSPRnet rejected " + std::to_string(rejected) + " invalid spots";
}
