#include "limit_server.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bench {
namespace {

using asio::awaitable;
using asio::ip::tcp;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
using ReusePort = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

}  // namespace

struct LimitServer::Impl {
    LimitAnswers answers;
    uint16_t port = 0;
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::vector<std::thread> threads;
    std::atomic<uint64_t> refused{0};
    int launchFd = -1;
    off_t launchSize = 0;

    ~Impl()
    {
        if (launchFd >= 0)
            close(launchFd);
    }

    // The whole launch file through sendfile, waiting for room in the socket's buffer.
    awaitable<bool> SendLaunchFile(tcp::socket &socket)
    {
        asio::error_code ec;
        socket.native_non_blocking(true, ec);
        off_t offset = 0;
        while (offset < launchSize) {
            ssize_t sent = sendfile(socket.native_handle(), launchFd, &offset, static_cast<size_t>(launchSize - offset));
            if (sent >= 0 || errno == EINTR)
                continue;
            if (errno != EAGAIN)
                co_return false;
            auto [waitError] = co_await socket.async_wait(tcp::socket::wait_write, kNoThrow);
            if (waitError)
                co_return false;
        }
        co_return true;
    }

    // Reads requests as they come (several may share one read) and writes the fixed
    // answer of each in order.
    awaitable<void> Serve(tcp::socket socket)
    {
        uint8_t buffer[2048];
        size_t have = 0;
        asio::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        for (;;) {
            auto [readError, n] = co_await socket.async_read_some(asio::buffer(buffer + have, sizeof buffer - have), kNoThrow);
            if (readError)
                co_return;
            have += n;
            size_t pos = 0;
            while (have - pos >= sizeof(MsgHeader)) {
                MsgHeader header = DecodeHeader(buffer + pos);
                size_t size = 0;
                const Bytes *answer = nullptr;
                if (header.cmd == RC_SrvAddr) {
                    size = sizeof(MsgHeader);
                    answer = &answers.address;
                } else if (header.cmd == RC_Log && header.param == 2) {
                    size = sizeof(ActionReport);
                } else if (header.cmd == RC_LaunchFile && header.param <= kMaxLaunchFiles) {
                    size = sizeof(MsgHeader) + header.param * kChecksumSize;
                    answer = &answers.launch;
                } else {
                    refused.fetch_add(1, std::memory_order_relaxed);
                    co_return;
                }
                if (have - pos < size)
                    break;
                pos += size;
                if (answer == &answers.launch && launchFd >= 0) {
                    if (!co_await SendLaunchFile(socket))
                        co_return;
                } else if (answer) {
                    auto [writeError, written] = co_await asio::async_write(socket, asio::buffer(*answer), kNoThrow);
                    if (writeError)
                        co_return;
                }
            }
            std::memmove(buffer, buffer + pos, have - pos);
            have -= pos;
        }
    }

    awaitable<void> Accept(tcp::acceptor &acceptor)
    {
        for (;;) {
            auto [ec, socket] = co_await acceptor.async_accept(kNoThrow);
            if (ec == asio::error::operation_aborted)
                co_return;
            if (!ec)
                asio::co_spawn(acceptor.get_executor(), Serve(std::move(socket)), asio::detached);
        }
    }
};

LimitServer::LimitServer(LimitAnswers answers, uint16_t port, unsigned threads) : impl_(new Impl)
{
    impl_->answers = std::move(answers);
    if (!impl_->answers.launchFile.empty()) {
        impl_->launchFd = open(impl_->answers.launchFile.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info;
        if (impl_->launchFd < 0 || fstat(impl_->launchFd, &info) != 0)
            throw std::runtime_error("cannot open " + impl_->answers.launchFile);
        impl_->launchSize = info.st_size;
    }
    tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    for (unsigned i = 0; i < std::max(1u, threads); ++i) {
        // As the server: one thread per event loop, no lock around each socket operation.
        auto context = std::make_unique<asio::io_context>(ASIO_CONCURRENCY_HINT_UNSAFE_IO);
        auto acceptor = std::make_unique<tcp::acceptor>(*context);
        acceptor->open(endpoint.protocol());
        acceptor->set_option(tcp::acceptor::reuse_address(true));
        acceptor->set_option(ReusePort(true));
        acceptor->bind(endpoint);
        acceptor->listen();
        endpoint.port(acceptor->local_endpoint().port());
        impl_->contexts.push_back(std::move(context));
        impl_->acceptors.push_back(std::move(acceptor));
    }
    impl_->port = endpoint.port();
}

LimitServer::~LimitServer() { Stop(); }

uint16_t LimitServer::Port() const { return impl_->port; }

uint64_t LimitServer::Refused() const { return impl_->refused.load(); }

void LimitServer::Start()
{
    for (size_t i = 0; i < impl_->contexts.size(); ++i) {
        asio::co_spawn(*impl_->contexts[i], impl_->Accept(*impl_->acceptors[i]), asio::detached);
        impl_->threads.emplace_back([context = impl_->contexts[i].get()] { context->run(); });
    }
}

void LimitServer::Stop()
{
    for (auto &context : impl_->contexts)
        context->stop();
    for (std::thread &thread : impl_->threads)
        thread.join();
    impl_->threads.clear();
}

}  // namespace bench
