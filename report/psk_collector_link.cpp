#include "report/psk_collector_link.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <signal.h>
#include <stdexcept>
#include <utility>

#include "core/errno_error.hpp"

namespace {

constexpr auto lookup_limit = std::chrono::seconds(2);
constexpr auto lookup_poll = std::chrono::milliseconds(25);

// One asynchronous lookup. The resolver's completion thread holds its own reference, so a lookup
// that we gave up on (timed out, cancelled too late) can still complete safely.
struct DnsRequest {
    DnsRequest(std::string host_name, std::string service_name)
        : host(std::move(host_name)), service(std::move(service_name))
    {
        hints.ai_flags = AI_ADDRCONFIG;
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        block.ar_name = host.c_str();
        block.ar_service = service.c_str();
        block.ar_request = &hints;
        block.ar_result = nullptr;
    }
    ~DnsRequest()
    {
        if (block.ar_result != nullptr)
            freeaddrinfo(block.ar_result);
    }
    DnsRequest(DnsRequest const&) = delete;
    DnsRequest& operator=(DnsRequest const&) = delete;

    std::string host;
    std::string service;
    gaicb block{};
    addrinfo hints{};
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

// Runs on a resolver thread; touches only the shared request.
void on_dns_complete(sigval value)
{
    auto* holder = static_cast<std::shared_ptr<DnsRequest>*>(value.sival_ptr);
    std::shared_ptr<DnsRequest> request = *holder;
    delete holder;
    {
        std::scoped_lock lock(request->mutex);
        request->done = true;
    }
    request->cv.notify_all();
}

}  // namespace

PskCollectorLink::PskCollectorLink(std::string host, std::string service)
    : host_(std::move(host)), service_(std::move(service))
{
}

PskCollectorLink::~PskCollectorLink() { close(); }

void PskCollectorLink::close()
{
    fd_.reset();
}

void PskCollectorLink::connect(std::atomic<bool> const* stop)
{
    auto request = std::make_shared<DnsRequest>(host_, service_);
    auto* holder = new std::shared_ptr<DnsRequest>(request);
    sigevent notify{};
    notify.sigev_notify = SIGEV_THREAD;
    notify.sigev_value.sival_ptr = holder;
    notify.sigev_notify_function = on_dns_complete;
    gaicb* list[1] = {&request->block};
    int const started = getaddrinfo_a(GAI_NOWAIT, list, 1, &notify);
    if (started != 0) {
        delete holder;
        throw std::runtime_error(std::string("PSK Reporter DNS: ") + gai_strerror(started));
    }

    // During the final flush (already stopping when the wait begins) only the time limit applies.
    bool const stop_ends_wait = stop != nullptr && !stop->load();
    auto const give_up = std::chrono::steady_clock::now() + lookup_limit;
    bool done = false;
    {
        std::unique_lock lock(request->mutex);
        while (!request->done && std::chrono::steady_clock::now() < give_up && !(stop_ends_wait && stop->load())) {
            request->cv.wait_for(lock, lookup_poll);
        }
        done = request->done;
    }
    if (!done) {
        // Cancelled before it ran, the resolver never notifies: the holder is ours to free.
        if (gai_cancel(&request->block) == EAI_CANCELED)
            delete holder;
        throw std::runtime_error("PSK Reporter DNS lookup timed out or shutdown was requested");
    }
    int const result = gai_error(&request->block);
    if (result != 0)
        throw std::runtime_error(std::string("PSK Reporter DNS: ") + gai_strerror(result));

    for (addrinfo const* address = request->block.ar_result; address != nullptr; address = address->ai_next) {
        UniqueFd candidate(::socket(address->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (candidate.get() < 0)
            continue;
        if (::connect(candidate.get(), address->ai_addr, address->ai_addrlen) == 0) {
            fd_ = std::move(candidate);
            return;
        }
    }
    throw std::runtime_error("Cannot open PSK Reporter UDP socket");
}

void PskCollectorLink::send(std::vector<unsigned char> const& datagram, std::atomic<bool> const* stop)
{
    if (fd_.get() < 0)
        connect(stop);
    ssize_t const written = ::send(fd_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (written != static_cast<ssize_t>(datagram.size())) {
        std::runtime_error const error = errno_error("PSK Reporter UDP");
        close();
        throw error;
    }
}
