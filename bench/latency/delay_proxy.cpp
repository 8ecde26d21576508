// velmora_bench_delay_proxy <target-port> <one-way-delay-ms> [<bytes-per-second>]
// A TCP proxy on 127.0.0.1 in front of 127.0.0.1:<target-port> that holds every chunk for the
// given time in each direction (a round trip of twice that), and with a rate paces each
// direction of each connection to it, as a mobile link would. Prints "listening on PORT" and
// serves until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes waiting in one direction before its reader stops taking more: the link's buffer.
constexpr size_t kMaxQueued = 8 << 20;

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed its side
};

// One direction of one connection: a reader stamps what arrives, a writer sends it when due.
struct Direction {
    int from = -1;
    int to = -1;
    std::chrono::microseconds delay{0};
    double bytesPerSecond = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Chunk> queue;
    size_t queued = 0;
    bool broken = false;

    void read() {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
            Chunk chunk{Clock::now() + delay, n > 0 ? std::string(buffer.data(), n) : ""};
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return queued < kMaxQueued || broken; });
            if (broken) return;
            queued += chunk.bytes.size();
            queue.push_back(std::move(chunk));
            changed.notify_all();
            if (n <= 0) return;
        }
    }

    void write() {
        Clock::time_point linkFree = Clock::now();
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return !queue.empty(); });
                chunk = std::move(queue.front());
                queue.pop_front();
                queued -= chunk.bytes.size();
                changed.notify_all();
            }
            Clock::time_point due = chunk.due;
            if (bytesPerSecond > 0) {
                due = std::max(due, linkFree);
                linkFree =
                    due + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(chunk.bytes.size() / bytesPerSecond));
            }
            std::this_thread::sleep_until(due);
            if (chunk.bytes.empty()) {
                ::shutdown(to, SHUT_WR);
                return;
            }
            for (size_t sent = 0; sent < chunk.bytes.size();) {
                const ssize_t n =
                    ::send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    // The other end is gone: so is this direction, and the reader stops.
                    std::lock_guard lock(mutex);
                    broken = true;
                    changed.notify_all();
                    ::shutdown(from, SHUT_RD);
                    return;
                }
                sent += static_cast<size_t>(n);
            }
        }
    }
};

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

void serve(int client, int targetPort, std::chrono::microseconds delay, double rate) {
    const int server = connectTo(targetPort);
    if (server < 0) {
        ::close(client);
        return;
    }
    const int one = 1;
    for (int fd : {client, server}) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto up = std::make_shared<Direction>();
    auto down = std::make_shared<Direction>();
    up->from = client, up->to = server, up->delay = delay, up->bytesPerSecond = rate;
    down->from = server, down->to = client, down->delay = delay, down->bytesPerSecond = rate;
    std::vector<std::thread> threads;
    threads.emplace_back([up] { up->read(); });
    threads.emplace_back([up] { up->write(); });
    threads.emplace_back([down] { down->read(); });
    threads.emplace_back([down] { down->write(); });
    for (auto& t : threads) t.join();
    ::close(client);
    ::close(server);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s target-port one-way-delay-ms [bytes-per-second]\n",
                     argv[0]);
        return 2;
    }
    const int targetPort = std::atoi(argv[1]);
    const auto delay = std::chrono::microseconds(static_cast<int64_t>(std::atof(argv[2]) * 1000));
    const double rate = argc == 4 ? std::atof(argv[3]) : 0;

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 256) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("listening on %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::thread(serve, client, targetPort, delay, rate).detach();
    }
}
