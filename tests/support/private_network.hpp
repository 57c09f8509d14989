#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.hpp"

// Tests that must be sure nothing leaves the machine, or that must redirect host names, run in
// namespaces of their own. Everything here needs root; each function returns why it could not do
// its part, empty once done, so that a test can skip with the reason.

// Moves this process, and every program it starts from then on, into a network namespace in
// which only loopback exists (brought up here), and into a mount namespace whose mounts no
// longer propagate, so that files bound over system ones stay private to it.
std::string enter_private_network();

// The words of the last "hosts:" line of /etc/nsswitch.conf (sources and bracketed actions, in
// order); nullopt when there is no such line.
std::optional<std::vector<std::string>> host_lookup_sources();

// Writes content to dir / name and binds it over the file target, inside the private mount
// namespace.
std::string bind_private_file(TempDir const& dir, std::string const& name, std::string const& content,
                              char const* target);

// A private /etc/hosts that knows localhost and points each given host name at its address, for
// as long as the object lives; it checks that the names now resolve to those addresses.
class PrivateHosts {
public:
    // (host name, address) pairs.
    explicit PrivateHosts(std::vector<std::pair<std::string, std::string>> const& addresses);
    ~PrivateHosts();
    PrivateHosts(PrivateHosts const&) = delete;
    PrivateHosts& operator=(PrivateHosts const&) = delete;

    // Why the names are not redirected; empty when they are.
    std::string const& failure() const { return failure_; }

private:
    TempDir dir_;
    bool bound_ = false;
    std::string failure_;
};
