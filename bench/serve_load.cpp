// Load against a running `dovetrail serve`: slowloris connections that send one header byte per
// second, a burst of ordinary keep-alive readers, and a probe that times normal requests on fresh
// connections meanwhile. Prints the latency figures; the exit code only tells a usage error.
//
//   build/bench/serve_load --url http://127.0.0.1:8080/channels/lounge.rss
//       [--slowloris 200] [--connections 1000] [--seconds 20] [--probe-every-ms 20]
//       [--timeout 10] [--per-address 50]
//
// Every client on loopback would come from 127.0.0.1, where a per-address connection cap would
// hide the result; so each kind of client spreads its connections over source addresses of
// 127.0.0.0/8, at most --per-address on each.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string path = "/";
    int slowloris = 200;
    int connections = 1000;
    double seconds = 20;
    int probeEveryMs = 20;
    double timeout = 10;
    int perAddress = 50;
};

enum class Kind { Slowloris, Ordinary, Probe };
enum class Phase { Connecting, Waiting, Sending, Reading, Closed };

struct Connection {
    Kind kind;
    int fd = -1;
    int index = 0;  // picks the source address
    Phase phase = Phase::Connecting;
    std::string out;
    std::size_t sent = 0;
    std::string in;
    Clock::time_point opened;
    Clock::time_point requestStart;
    Clock::time_point nextAction;  // slowloris: next byte; ordinary: next request
    bool firstRequest = true;
};

struct Series {
    std::vector<double> ms;
    int failed = 0;
    int answered() const { return static_cast<int>(ms.size()); }
    void print(const char* label) {
        std::sort(ms.begin(), ms.end());
        const auto at = [this](double q) {
            if (ms.empty()) {
                return 0.0;
            }
            const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1));
            return ms[i];
        };
        std::printf(
            "%-34s answered %6d, failed %5d; latency ms: median %8.1f  p99 %8.1f  max %8.1f\n",
            label, answered(), failed, at(0.5), at(0.99), ms.empty() ? 0.0 : ms.back());
    }
};

double msSince(Clock::time_point start, Clock::time_point now) {
    return std::chrono::duration<double, std::milli>(now - start).count();
}

bool parseUrl(const std::string& url, Options& options) {
    const std::string scheme = "http://";
    if (url.rfind(scheme, 0) != 0) {
        return false;
    }
    const std::size_t hostStart = scheme.size();
    const std::size_t slash = url.find('/', hostStart);
    const std::string authority = url.substr(hostStart, slash - hostStart);
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    options.host = authority.substr(0, colon);
    options.port = std::atoi(authority.substr(colon + 1).c_str());
    options.path = slash == std::string::npos ? "/" : url.substr(slash);
    return options.port > 0;
}

class Load {
  public:
    explicit Load(const Options& options) : options_(options) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        request_ = "GET " + options.path + " HTTP/1.1\r\nHost: " + options.host + "\r\n\r\n";
        probeRequest_ = "GET " + options.path + " HTTP/1.1\r\nHost: " + options.host +
                        "\r\nConnection: close\r\n\r\n";
    }
    ~Load() {
        for (auto& c : connections_) {
            if (c->fd >= 0) {
                close(c->fd);
            }
        }
        close(epoll_);
    }

    void run() {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < options_.slowloris; ++i) {
            open(Kind::Slowloris, i, start);
        }
        // Let the slowloris connections settle first, as an attacker's would.
        const Clock::time_point burst = start + std::chrono::seconds(1);
        const Clock::time_point end =
            start + std::chrono::milliseconds(static_cast<long>(options_.seconds * 1000));
        bool burstDone = false;
        Clock::time_point nextProbe = burst;
        std::vector<epoll_event> events(1024);
        while (true) {
            const Clock::time_point now = Clock::now();
            if (now >= end) {
                break;
            }
            if (!burstDone && now >= burst) {
                burstDone = true;
                for (int i = 0; i < options_.connections; ++i) {
                    open(Kind::Ordinary, i, now);
                }
            }
            while (now >= nextProbe) {
                open(Kind::Probe, probes_++, now);
                nextProbe += std::chrono::milliseconds(options_.probeEveryMs);
            }
            const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 2);
            for (int i = 0; i < n; ++i) {
                handle(*static_cast<Connection*>(events[static_cast<std::size_t>(i)].data.ptr),
                       events[static_cast<std::size_t>(i)].events);
            }
            tick(Clock::now());
        }
        // Requests still unanswered at the end count as failed only once they are overdue.
        const Clock::time_point now = Clock::now();
        for (auto& c : connections_) {
            if (c->kind != Kind::Slowloris &&
                (c->phase == Phase::Sending || c->phase == Phase::Reading ||
                 c->phase == Phase::Connecting)) {
                if (msSince(c->requestStart, now) > options_.timeout * 1000) {
                    series(*c).failed++;
                } else {
                    unfinished_++;
                }
            }
        }
    }

    void report() {
        std::printf(
            "serve_load: %d slowloris connections, %d ordinary keep-alive connections, a "
            "probe every %d ms, %.0f s, against http://%s:%d%s\n",
            options_.slowloris, options_.connections, options_.probeEveryMs, options_.seconds,
            options_.host.c_str(), options_.port, options_.path.c_str());
        probe_.print("probe (new connection each):");
        burst_.print("ordinary, first request (burst):");
        keepAlive_.print("ordinary, later keep-alive requests:");
        double lifetimes = 0;
        double longest = 0;
        for (const double l : slowLifetimes_) {
            lifetimes += l;
            longest = std::max(longest, l);
        }
        std::printf(
            "slowloris: closed by the server %zu times, after %.1f s on average, %.1f s at "
            "most; %d open at the end\n",
            slowLifetimes_.size(),
            slowLifetimes_.empty() ? 0.0 : lifetimes / static_cast<double>(slowLifetimes_.size()),
            longest, stillOpenSlowloris());
        std::printf("still waiting at the end (not counted): %d\n", unfinished_);
    }

  private:
    Series& series(const Connection& c) {
        if (c.kind == Kind::Probe) {
            return probe_;
        }
        return c.firstRequest ? burst_ : keepAlive_;
    }

    int stillOpenSlowloris() const {
        int open = 0;
        for (const auto& c : connections_) {
            open += c->kind == Kind::Slowloris && c->phase != Phase::Closed ? 1 : 0;
        }
        return open;
    }

    sockaddr_in source(Kind kind, int index) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        const int group = index / std::max(1, options_.perAddress);
        const int second = kind == Kind::Slowloris ? 10 : kind == Kind::Ordinary ? 20 : 30;
        const std::string text = "127." + std::to_string(second) + "." +
                                 std::to_string(group / 250) + "." +
                                 std::to_string(group % 250 + 1);
        inet_pton(AF_INET, text.c_str(), &a.sin_addr);
        return a;
    }

    void open(Kind kind, int index, Clock::time_point now) {
        auto c = std::make_unique<Connection>();
        c->kind = kind;
        c->index = index;
        start(*c, now);
        connections_.push_back(std::move(c));
    }

    void start(Connection& c, Clock::time_point now) {
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        c.opened = now;
        c.requestStart = now;
        c.in.clear();
        c.sent = 0;
        c.phase = Phase::Connecting;
        if (c.fd < 0) {
            std::fprintf(stderr, "serve_load: socket: %s\n", std::strerror(errno));
            fail(c);
            return;
        }
        const int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in from = source(c.kind, c.index);
        if (bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            std::fprintf(stderr, "serve_load: bind: %s\n", std::strerror(errno));
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(options_.port));
        inet_pton(AF_INET, options_.host.c_str(), &to.sin_addr);
        epoll_event ev{};
        // Edge-triggered: a writable socket would otherwise wake the loop without pause.
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = &c;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
        if (connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            fail(c);
        }
    }

    void closeFd(Connection& c) {
        if (c.fd >= 0) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
            close(c.fd);
            c.fd = -1;
        }
        c.phase = Phase::Closed;
    }

    void fail(Connection& c) {
        if (c.kind != Kind::Slowloris && c.phase != Phase::Closed) {
            series(c).failed++;
        }
        closeFd(c);
    }

    void handle(Connection& c, std::uint32_t events) {
        if (c.phase == Phase::Closed) {
            return;
        }
        if (c.phase == Phase::Connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                fail(c);
                return;
            }
            c.phase = Phase::Sending;
            if (c.kind == Kind::Slowloris) {
                c.out =
                    "GET " + options_.path + " HTTP/1.1\r\nHost: " + options_.host + "\r\nX-Pad: ";
                c.nextAction = Clock::now() + std::chrono::seconds(1);
            } else {
                c.out = c.kind == Kind::Probe ? probeRequest_ : request_;
            }
            c.sent = 0;
        }
        if (c.phase == Phase::Sending) {
            flush(c);
        }
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            receive(c);
        }
    }

    void flush(Connection& c) {
        while (c.sent < c.out.size()) {
            const ssize_t n =
                send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno != EAGAIN) {
                    closed(c);
                }
                return;
            }
            c.sent += static_cast<std::size_t>(n);
        }
        if (c.kind != Kind::Slowloris) {
            c.phase = Phase::Reading;
        }
    }

    // The server closed the connection, or it broke.
    void closed(Connection& c) {
        const Clock::time_point now = Clock::now();
        if (c.kind == Kind::Slowloris) {
            slowLifetimes_.push_back(msSince(c.opened, now) / 1000.0);
            closeFd(c);
            // An attacker opens the next one at once.
            start(c, now);
            return;
        }
        if (c.phase == Phase::Waiting) {
            closeFd(c);  // an idle keep-alive connection closed by the server
            return;
        }
        fail(c);
    }

    void receive(Connection& c) {
        char buffer[65536];
        while (c.fd >= 0) {
            const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                if (c.kind == Kind::Slowloris) {
                    continue;  // an error answer; the close follows
                }
                c.in.append(buffer, static_cast<std::size_t>(n));
                if (complete(c)) {
                    answered(c);
                }
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                return;
            }
            closed(c);
            return;
        }
    }

    // Whether `in` holds one whole answer; answers carry Content-Length.
    bool complete(Connection& c) {
        const std::size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) {
            return false;
        }
        std::size_t length = 0;
        std::string lower = c.in.substr(0, end);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        const std::size_t field = lower.find("\r\ncontent-length:");
        if (field != std::string::npos) {
            length = std::strtoul(lower.c_str() + field + 17, nullptr, 10);
        }
        return c.in.size() >= end + 4 + length;
    }

    void answered(Connection& c) {
        const Clock::time_point now = Clock::now();
        const bool ok = c.in.compare(0, 12, "HTTP/1.1 200") == 0;
        Series& s = series(c);
        if (ok) {
            s.ms.push_back(msSince(c.requestStart, now));
        } else {
            s.failed++;
            if (statusShown_++ < 5) {
                std::fprintf(stderr, "serve_load: answer: %.40s\n", c.in.c_str());
            }
        }
        c.in.clear();
        if (c.kind == Kind::Probe) {
            closeFd(c);
            return;
        }
        c.firstRequest = false;
        c.phase = Phase::Waiting;
        c.nextAction = now + std::chrono::seconds(1);
    }

    void tick(Clock::time_point now) {
        const double timeoutMs = options_.timeout * 1000;
        for (auto& pointer : connections_) {
            Connection& c = *pointer;
            switch (c.phase) {
                case Phase::Closed:
                    break;
                case Phase::Waiting:
                    if (now >= c.nextAction) {
                        c.requestStart = now;
                        c.out = request_;
                        c.sent = 0;
                        c.phase = Phase::Sending;
                        flush(c);
                    }
                    break;
                case Phase::Sending:
                    if (c.kind == Kind::Slowloris) {
                        if (now >= c.nextAction && c.fd >= 0) {
                            c.out += 'a';
                            c.nextAction += std::chrono::seconds(1);
                            flush(c);
                        }
                        break;
                    }
                    [[fallthrough]];
                case Phase::Connecting:
                case Phase::Reading:
                    if (c.kind != Kind::Slowloris && msSince(c.requestStart, now) > timeoutMs) {
                        fail(c);
                    }
                    break;
            }
        }
    }

    const Options& options_;
    int epoll_ = -1;
    std::string request_;
    std::string probeRequest_;
    std::vector<std::unique_ptr<Connection>> connections_;
    Series probe_;
    Series burst_;
    Series keepAlive_;
    std::vector<double> slowLifetimes_;
    int probes_ = 0;
    int unfinished_ = 0;
    int statusShown_ = 0;
};

void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool haveUrl = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--url" && hasValue) {
            haveUrl = parseUrl(argv[++i], options);
        } else if (arg == "--slowloris" && hasValue) {
            options.slowloris = std::atoi(argv[++i]);
        } else if (arg == "--connections" && hasValue) {
            options.connections = std::atoi(argv[++i]);
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = std::atof(argv[++i]);
        } else if (arg == "--probe-every-ms" && hasValue) {
            options.probeEveryMs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--timeout" && hasValue) {
            options.timeout = std::atof(argv[++i]);
        } else if (arg == "--per-address" && hasValue) {
            options.perAddress = std::max(1, std::atoi(argv[++i]));
        } else {
            haveUrl = false;
            break;
        }
    }
    if (!haveUrl || options.seconds <= 0 || options.seconds > 600) {
        std::fprintf(stderr,
                     "usage: serve_load --url http://HOST:PORT/PATH [--slowloris N] "
                     "[--connections N] [--seconds S] [--probe-every-ms MS] [--timeout S] "
                     "[--per-address N]\n");
        return 64;
    }
    raiseFileLimit();
    Load load(options);
    load.run();
    load.report();
    return 0;
}
