// A server that answers the Launcher's requests with fixed bytes and no other work: the
// address answer for cmd 1, a fixed launch-file answer for cmd 3, nothing for cmd 7. What
// a load reaches against it is the most this machine's network stack and the load
// generator allow; a real server is measured against that.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "bench_wire.h"

namespace bench {

struct LimitAnswers {
    Bytes address;  // the whole answer to cmd 1
    Bytes launch;   // the whole answer to cmd 3 (header and any files)
    // When set, the answer to cmd 3 is this file's content instead, handed to the kernel
    // with sendfile(2): no copy through the server's memory.
    std::string launchFile;
};

class LimitServer {
public:
    // Listens on 127.0.0.1:port (0 picks a free port) with one acceptor and one event loop
    // per thread, the kernel spreading connections over them.
    LimitServer(LimitAnswers answers, uint16_t port, unsigned threads);
    ~LimitServer();
    LimitServer(const LimitServer &) = delete;
    LimitServer &operator=(const LimitServer &) = delete;

    uint16_t Port() const;
    void Start();  // returns at once; the threads serve until Stop
    void Stop();
    // Connections closed because a request was outside the protocol.
    uint64_t Refused() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bench
