#pragma once

// The server's connections, read with bounds that httplib's own loop does not keep. That loop gives
// a connection a worker from the moment it is accepted and reads with a timeout that restarts on
// every byte, so a few slow clients can hold every worker; it reads a chunked body, or one without
// a length, into memory without a bound; and it reads on after an answer that said the connection
// ends. Here one thread gathers the request line and headers of every waiting connection, within a
// size and a total time, and hands a connection to a worker only once its head is complete; the
// worker reads the body with the bound of its route, and a connection told to end (or whose reads
// failed) is closed once its answer is out, after a short bounded drain so that a client still
// sending gets to read the answer.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hf::server {

struct ConnectionLimits {
    // The request line and headers must arrive in full within this time of the connection's
    // opening (or of the previous answer on it), and within `headBytes`.
    std::chrono::milliseconds headTime{10000};
    std::size_t headBytes = 64 * 1024;
    // A body with a bound (not an upload) must arrive in full within this time.
    std::chrono::milliseconds boundedBodyTime{30000};
    // A body or an answer that moves no byte for this long ends its connection.
    std::chrono::milliseconds stallTime{60000};
    int workers = 32;
    int requestsPerConnection = 100;
    // Connections gathering a head (or draining) at once; a new one past this closes the one
    // nearest its deadline.
    std::size_t maxWaiting = 1024;
    // Before a connection closes, what its client still sends is read and dropped for at most
    // this long and this much.
    std::chrono::milliseconds drainTime{2000};
    std::uint64_t drainBytes = std::uint64_t(64) << 20;
};

class BoundedServer : public httplib::Server {
public:
    BoundedServer();
    ~BoundedServer() override;

    // Set before start(): the most body bytes (as framed on the wire) a request may send, from
    // its head. Past it the read fails, the answer is 413 and the connection ends.
    std::function<std::uint64_t(const httplib::Request&)> bodyLimit;

    // Starts the gathering thread and the workers with `limits`; call before listening.
    void startConnections(const ConnectionLimits& limits);
    // Stops listening, then ends every connection. Requests being served finish first; their
    // reads and writes give up within a fraction of a second.
    void stop();

private:
    bool process_and_close_socket(socket_t sock) override;

    struct Waiting;
    void adopt(Waiting waiting);
    void gatherLoop();
    void serve(int fd, std::string buffered, int served);
    void closeGently(int fd);

    ConnectionLimits m_limits;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::vector<Waiting> m_incoming;
    int m_wake = -1; // eventfd that wakes the gathering thread
    std::thread m_gatherer;
    std::unique_ptr<httplib::ThreadPool> m_workers;
};

// For route handlers, on the thread that serves the request:
// the connection ends once the current answer is sent (its unread body is never taken for a request);
void endConnectionAfterAnswer();
// true when it ends after this answer: told to, a read failed, or the body was left unread.
bool connectionEnding();
// the current request's body ran past its bound;
bool bodyOverLimit();
// cuts the connection at once, without an answer.
void dropCurrentConnection();

} // namespace hf::server
