#include "decode/wspr_rejections.hpp"

#include <cstdio>

#include "report/wspr_reporter.hpp"

void WsprRejections::guard(std::function<void()> const& submit, std::mutex& log_mutex)
{
    try {
        submit();
    } catch (InvalidWsprSpot const& error) {
        if (count_.fetch_add(1) == 0) {
            std::string const line =
                std::string("WSPRnet spot rejected: ") + error.what() + "; reception continues\n";
            std::scoped_lock lock(log_mutex);
            std::fwrite(line.data(), 1, line.size(), stderr);
        }
    }
}

std::string WsprRejections::summary() const
{
    std::uint64_t const rejected = count();
    if (rejected == 0)
        return {};
    return "WSPRnet rejected " + std::to_string(rejected) + " invalid spots";
}
