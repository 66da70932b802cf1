// A host server built to measure clients, not to be measured: every bulk reply
// stream is framed in memory before the first client connects, so serving it is
// a send() from a prepared buffer, and one epoll thread with edge-triggered
// registrations never calls epoll_ctl after a connection is accepted.
//
//   bench_server [--port N] [--extra-ports N] [--prepare [utf8:]TOTAL:PACKET]... [--watch-stdin]
//
// Prints one JSON line per prepared stream ({"text", "total", "packet", "crc32"}), one
// with the extra ports ({"extra_ports": [...]}), then "listening on
// 127.0.0.1:PORT". Loopback only.
//
// Every port serves the same. The extra ones are for runs that open thousands of
// connections: each closed connection leaves the client's end in TIME_WAIT for
// a minute, and once most local ports toward one server port are taken, every
// connect() crawls through them looking for a free one. A fresh server port
// per such run keeps that cost out of the figures.
//
// Commands: "list targets" answers one reply naming one device; "shell bulk TOTAL
// PACKET" and "hilog bulk TOTAL PACKET" answer TOTAL bytes of ASCII text in
// replies of PACKET payload bytes (the 2-byte code included), none ending in a
// line feed or a zero byte, then an empty reply. "shell utf8 ..." and "hilog utf8
// ..." answer the same with multilingual text: about a third of its bytes in 2-
// and 3-byte characters, and the replies cut by byte count, so that many of them
// end in the middle of a character, as a real stream cuts them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "wire.hpp"

namespace bench {
namespace {

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

enum class Text { ascii, utf8 };

const char* text_name(Text kind) { return kind == Text::utf8 ? "utf8" : "ascii"; }

// One bulk output, framed: replies of `packet` payload bytes, then the empty reply.
struct Stream {
    std::string wire;
    std::uint32_t crc = 0;
};

// Log-like ASCII lines, numbered so that a lost or repeated piece changes the checksum.
std::string make_ascii_text(std::uint64_t total) {
    std::string text;
    text.reserve(total);
    char line[128];
    for (unsigned long long n = 0; text.size() < total; ++n) {
        const int len = std::snprintf(line, sizeof line,
                                      "%010llu I bench/shell: the quick brown fox jumps over the lazy dog 0123456789\n", n);
        text.append(line, std::min<std::uint64_t>(std::uint64_t(len), total - text.size()));
    }
    return text;
}

// Device-log lines as they come: Chinese, Cyrillic, accents and symbols (all
// below U+10000) among ASCII, about 37% of the bytes in 2- and 3-byte
// characters, numbered as the ASCII ones are. Lines of different lengths move
// the cuts between replies across every position of a character.
std::string make_utf8_text(std::uint64_t total) {
    static constexpr const char* kLines[] = {
        "%010llu I hdc/shell: session 42 设备已连接，正在同步日志 — статус: готово, état: réussi\n",
        "%010llu I bench/shell: the quick brown fox jumps over the lazy dog 0123456789\n",
        "%010llu W AbilityManager: start of com.example.app timed out: 应用启动超时 пользователь=Ёжик naïve café\n",
        "%010llu D NetworkService: Подключение к точке доступа «Дом» установлено, señal −67 dBm, channel 36\n",
        "%010llu I PowerManager: battery 87%%, screen on, thermal level normal, 0x1f3a\n",
    };
    std::string text;
    text.reserve(total);
    char line[256];
    for (unsigned long long n = 0; text.size() < total; ++n) {
        const int len = std::snprintf(line, sizeof line, kLines[n % std::size(kLines)], n);
        std::size_t take = std::min<std::uint64_t>(std::uint64_t(len), total - text.size());
        if (take < std::size_t(len)) {
            // The output itself ends on a whole character: only replies cut one.
            while (take > 0 && (static_cast<unsigned char>(line[take]) & 0xC0) == 0x80) --take;
            text.append(line, take);
            text.append(total - text.size(), '.');
            break;
        }
        text.append(line, take);
    }
    return text;
}

std::unique_ptr<Stream> make_stream(Text kind, std::uint64_t total, std::size_t packet, const Crc32& crc32) {
    std::string text = kind == Text::utf8 ? make_utf8_text(total) : make_ascii_text(total);
    const std::size_t chunk = packet - 2;
    // A reply ending a line would make a shell client look for stragglers.
    for (std::size_t end = std::min<std::uint64_t>(chunk, total); end > 0;) {
        if (text[end - 1] == '\n') text[end - 1] = '.';
        if (end == total) break;
        end = std::min<std::uint64_t>(end + chunk, total);
    }
    auto stream = std::make_unique<Stream>();
    stream->crc = crc32(text.data(), text.size());
    stream->wire.reserve(total + (total / chunk + 2) * 6);
    for (std::size_t at = 0; at < total; at += chunk)
        stream->wire += reply_frame(std::string_view(text).substr(at, chunk));
    stream->wire += reply_frame("");
    return stream;
}

class StreamCache {
public:
    // nullptr for sizes the server does not serve.
    const Stream* get(Text kind, std::uint64_t total, std::size_t packet) {
        if (packet < 3 || packet > kMaxPacket || total > (std::uint64_t(1) << 30)) return nullptr;
        auto& slot = streams_[{kind, total, packet}];
        if (!slot) slot = make_stream(kind, total, packet, crc32_);
        return slot.get();
    }

private:
    Crc32 crc32_;
    std::map<std::tuple<Text, std::uint64_t, std::size_t>, std::unique_ptr<Stream>> streams_;
};

std::optional<std::uint64_t> parse_number(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// "TOTAL PACKET" or "TOTAL:PACKET".
std::optional<std::pair<std::uint64_t, std::size_t>> parse_sizes(std::string_view text) {
    const auto sep = text.find_first_of(" :");
    if (sep == std::string_view::npos) return std::nullopt;
    auto total = parse_number(text.substr(0, sep));
    auto packet = parse_number(text.substr(sep + 1));
    if (!total || !packet) return std::nullopt;
    return std::pair{*total, std::size_t(*packet)};
}

// Output waiting for the socket: a prepared stream (shared) or bytes of its own.
struct Segment {
    const std::string* shared = nullptr;
    std::string own;
    std::size_t sent = 0;

    std::string_view rest() const {
        return std::string_view(shared ? *shared : own).substr(sent);
    }
};

struct Connection {
    Fd fd;
    std::string in;
    bool greeted = false;  // the client's handshake record has arrived
    std::deque<Segment> out;
};

class Server {
public:
    Server(std::vector<Fd> listeners, bool watch_stdin)
        : listeners_(std::move(listeners)), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (!epoll_) die("epoll_create1");
        for (const Fd& listener : listeners_) watch(listener.get(), EPOLLIN);
        if (watch_stdin) watch(STDIN_FILENO, EPOLLIN);
        list_reply_ = reply_frame(std::string(kDevice) + "\n");
        std::string record(kHandshakeSize, '\0');
        record.replace(0, kBanner.size(), kBanner);
        handshake_ = frame(record);
    }

    StreamCache& streams() { return streams_; }

    void run() {
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(epoll_.get(), events, 64, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) die("epoll_wait");
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (is_listener(fd)) accept_all(fd);
                else if (fd == STDIN_FILENO) check_stdin();
                else serve(fd, events[i].events);
            }
        }
    }

private:
    void watch(int fd, std::uint32_t mask) {
        epoll_event ev{};
        ev.events = mask;
        ev.data.fd = fd;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) die("epoll_ctl");
    }

    // The driver holds our stdin: when it goes, so do we.
    void check_stdin() {
        char buf[256];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) std::exit(0);
    }

    bool is_listener(int fd) const {
        for (const Fd& listener : listeners_)
            if (listener.get() == fd) return true;
        return false;
    }

    void accept_all(int listener) {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                if (errno == EINTR || errno == ECONNABORTED) continue;
                die("accept4");
            }
            auto& conn = conns_[fd];
            conn.fd = Fd(fd);
            conn.out.push_back(Segment{&handshake_, {}, 0});
            watch(fd, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET);
            if (!flush(conn)) drop(fd);
        }
    }

    void serve(int fd, std::uint32_t events) {
        auto it = conns_.find(fd);
        if (it == conns_.end()) return;
        Connection& conn = it->second;
        const bool closing = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
        if (!receive(conn, closing) || !flush(conn)) drop(fd);
    }

    void drop(int fd) { conns_.erase(fd); }  // closing removes it from the epoll set

    // Reads all that is there and answers every complete command. False: close.
    bool receive(Connection& conn, bool closing) {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(conn.fd.get(), buf, sizeof buf, 0);
            if (n > 0) {
                conn.in.append(buf, std::size_t(n));
                // A short read drained the socket, and anything arriving later raises
                // a new edge: no need to spend a call on EAGAIN. Unless the peer has
                // closed: its end of stream is already here and raises no new edge.
                if (std::size_t(n) < sizeof buf && !closing) break;
                continue;
            }
            if (n == 0) return false;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return false;
        }
        return handle_frames(conn);
    }

    bool handle_frames(Connection& conn) {
        std::size_t at = 0;
        while (conn.in.size() - at >= 4) {
            const std::uint32_t len = load_be32(reinterpret_cast<const std::uint8_t*>(conn.in.data() + at));
            if (len == 0 || len > kMaxPacket) return false;
            if (conn.in.size() - at - 4 < len) break;
            const std::string_view payload(conn.in.data() + at + 4, len);
            at += 4 + len;
            if (!conn.greeted) conn.greeted = true;  // the handshake reply: nothing to check
            else answer(conn, payload);
        }
        conn.in.erase(0, at);
        return true;
    }

    void answer(Connection& conn, std::string_view command) {
        if (command == "list targets") {
            conn.out.push_back(Segment{&list_reply_, {}, 0});
            return;
        }
        for (std::string_view verb : {"shell bulk ", "hilog bulk ", "shell utf8 ", "hilog utf8 "}) {
            if (!command.starts_with(verb)) continue;
            const Text kind = verb.ends_with("utf8 ") ? Text::utf8 : Text::ascii;
            const auto sizes = parse_sizes(command.substr(verb.size()));
            const Stream* stream = sizes ? streams_.get(kind, sizes->first, sizes->second) : nullptr;
            if (stream) {
                conn.out.push_back(Segment{&stream->wire, {}, 0});
                return;
            }
        }
        // An empty reply after the message, so shell and hilog end at once.
        const std::string text = "bench server: unsupported command: " + std::string(command) + " ";
        conn.out.push_back(Segment{nullptr, reply_frame(text) + reply_frame(""), 0});
    }

    // Sends until done or the socket is full. False: close.
    bool flush(Connection& conn) {
        while (!conn.out.empty()) {
            Segment& seg = conn.out.front();
            const std::string_view rest = seg.rest();
            const ssize_t n = ::send(conn.fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            seg.sent += std::size_t(n);
            if (seg.sent == (seg.shared ? seg.shared->size() : seg.own.size())) conn.out.pop_front();
        }
        return true;
    }

    std::vector<Fd> listeners_;
    Fd epoll_;
    std::string list_reply_;
    std::string handshake_;
    StreamCache streams_;
    std::unordered_map<int, Connection> conns_;
};

Fd listen_loopback(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) die("socket");
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit it: replies never wait for an acknowledgement.
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind");
    if (::listen(fd.get(), 4096) != 0) die("listen");
    return fd;
}

std::uint16_t local_port(const Fd& fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) die("getsockname");
    return ntohs(addr.sin_port);
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_server [--port N] [--extra-ports N] [--prepare [utf8:]TOTAL:PACKET]... [--watch-stdin]\n");
    std::exit(2);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    std::uint16_t port = 0;
    std::uint64_t extra_ports = 0;
    bool watch_stdin = false;
    std::vector<std::tuple<Text, std::uint64_t, std::size_t>> prepare;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--watch-stdin") {
            watch_stdin = true;
        } else if (arg == "--port" && i + 1 < argc) {
            const auto n = parse_number(argv[++i]);
            if (!n || *n > 65535) usage();
            port = std::uint16_t(*n);
        } else if (arg == "--extra-ports" && i + 1 < argc) {
            const auto n = parse_number(argv[++i]);
            if (!n || *n > 1000) usage();
            extra_ports = *n;
        } else if (arg == "--prepare" && i + 1 < argc) {
            std::string_view spec = argv[++i];
            const Text kind = spec.starts_with("utf8:") ? Text::utf8 : Text::ascii;
            if (kind == Text::utf8) spec.remove_prefix(5);
            const auto sizes = parse_sizes(spec);
            if (!sizes) usage();
            prepare.emplace_back(kind, sizes->first, sizes->second);
        } else {
            usage();
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<Fd> listeners;
    listeners.push_back(listen_loopback(port));
    port = local_port(listeners.front());  // the kernel's choice when 0 was asked for
    std::string extra = "{\"extra_ports\": [";
    for (std::uint64_t i = 0; i < extra_ports; ++i) {
        listeners.push_back(listen_loopback(0));
        extra += (i ? ", " : "") + std::to_string(local_port(listeners.back()));
    }
    Server server(std::move(listeners), watch_stdin);
    for (auto [kind, total, packet] : prepare) {
        const Stream* stream = server.streams().get(kind, total, packet);
        if (!stream) usage();
        std::printf("{\"text\": \"%s\", \"total\": %llu, \"packet\": %zu, \"crc32\": %u}\n", text_name(kind),
                    static_cast<unsigned long long>(total), packet, stream->crc);
    }
    std::printf("%s]}\nlistening on 127.0.0.1:%u\n", extra.c_str(), unsigned(port));
    std::fflush(stdout);
    server.run();
}
