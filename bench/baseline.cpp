// The least work a client can do against the benchmark server, as the ceiling
// the other clients are measured against: blocking sockets, one large recv at a
// time, frames parsed in place, the command code stripped, the text copied once
// into the output. No UTF-8 validation and no time limits (the workloads never
// need them).
//
//   bench_baseline ADDR list_targets COUNT
//   bench_baseline ADDR shell|hilog [utf8] TOTAL PACKET [CALLS [BUFFER]]
//   bench_baseline ADDR construct COUNT
//
// Prints one JSON line: count, bytes, checksum (CRC-32 of the output; 0 when
// BENCH_SKIP_CHECKSUM is set, for profiling), wall and CPU seconds of the
// workload, peak and idle resident memory in KiB. A bulk workload makes CALLS
// calls in a row (default 1): count is the calls, bytes their sum, checksums
// one per call, the times those of the calls alone, and first_wall_s and
// first_peak_rss_kb those of the first call. With "utf8" it asks for the
// server's multilingual text ("shell utf8 ..."), copied as bytes like the rest.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "fd.hpp"
#include "wire.hpp"

namespace bench {
namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench_baseline: %s: %s\n", what, errno ? std::strerror(errno) : "protocol");
    std::exit(1);
}

double now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct CpuTime {
    double user = 0;
    double system = 0;
};

CpuTime cpu_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return {double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) * 1e-6,
            double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) * 1e-6};
}

// A field of /proc/self/status in KiB: VmRSS now, VmHWM at its peak. (ru_maxrss
// would do, but it carries over the parent's peak across exec.)
long status_kb(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field)) return std::strtol(line.c_str() + field.size(), nullptr, 10);
    return 0;
}

sockaddr_in parse_addr(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) die("address");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &addr.sin_addr) != 1) die("address");
    unsigned port = 0;
    const auto digits = text.substr(colon + 1);
    std::from_chars(digits.data(), digits.data() + digits.size(), port);
    addr.sin_port = htons(std::uint16_t(port));
    return addr;
}

void send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("send");
        data.remove_prefix(std::size_t(n));
    }
}

// Received bytes not yet consumed, for replies read whole (handshake, list targets).
class Receiver {
public:
    explicit Receiver(std::size_t capacity) : buf_(new std::uint8_t[capacity]), cap_(capacity) {}

    // The next frame's payload, valid until the next call.
    std::string_view next(int fd) {
        fill(fd, 4);
        const std::uint32_t len = load_be32(buf_.get() + begin_);
        if (len == 0 || len > kMaxPacket) die("frame length");
        fill(fd, 4 + len);
        const auto* p = reinterpret_cast<const char*>(buf_.get() + begin_ + 4);
        begin_ += 4 + len;
        return {p, len};
    }

private:
    void fill(int fd, std::size_t want) {
        if (end_ - begin_ >= want) return;
        if (cap_ - begin_ < want) {
            std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        while (end_ - begin_ < want) {
            const ssize_t n = ::recv(fd, buf_.get() + end_, cap_ - end_, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) die("recv");
            end_ += std::size_t(n);
        }
    }

    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t cap_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

std::string_view strip_code(std::string_view payload) {
    if (payload.size() >= 2) {
        const auto code = std::uint16_t(std::uint8_t(payload[0]) | std::uint8_t(payload[1]) << 8);
        if (is_command_code(code)) payload.remove_prefix(2);
    }
    return payload;
}

Fd connect_and_greet(const sockaddr_in& addr, Receiver& rx) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) die("socket");
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) die("connect");
    const std::string_view record = rx.next(fd.get());
    if (record.size() < kHandshakeSize || !record.starts_with(kBanner)) die("handshake");
    std::string reply(record.substr(0, 12));
    reply.resize(kHandshakeSize, '\0');
    send_all(fd.get(), frame(reply));
    return fd;
}

struct Outcome {
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
    std::uint32_t checksum = 0;
};

// Splits at line feeds and trims, as a target list is read.
std::size_t count_targets(std::string_view text, std::string_view& first) {
    std::size_t n = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        while (!line.empty() && std::strchr(" \t\r\v\f", line.front())) line.remove_prefix(1);
        while (!line.empty() && std::strchr(" \t\r\v\f", line.back())) line.remove_suffix(1);
        if (!line.empty() && n++ == 0) first = line;
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return n;
}

Outcome list_targets(int fd, Receiver& rx, std::uint64_t calls, const Crc32& crc32) {
    const std::string request = frame("list targets");
    Outcome out;
    for (std::uint64_t i = 0; i < calls; ++i) {
        send_all(fd, request);
        std::string_view first;
        if (count_targets(strip_code(rx.next(fd)), first) != 1 || first != kDevice) die("unexpected target list");
        ++out.count;
        out.bytes += first.size();
        if (i == 0) out.checksum = crc32(first.data(), first.size());
    }
    return out;
}

// The output of one shell or hilog command, grown by doubling.
class Output {
public:
    ~Output() { std::free(data_); }
    void append(const std::uint8_t* p, std::size_t n) {
        if (size_ + n > cap_) grow(size_ + n);
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void grow(std::size_t need) {
        std::size_t cap = cap_ ? cap_ : 65536;
        while (cap < need) cap *= 2;
        auto* p = static_cast<std::uint8_t*>(std::realloc(data_, cap));  // large blocks move by remapping
        if (!p) die("out of memory");
        data_ = p;
        cap_ = cap;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// Frames are parsed as bytes arrive, so a large payload split over many recvs
// is copied piece by piece, never gathered first.
class BulkParser {
public:
    // False once the empty reply has been seen.
    bool feed(const std::uint8_t* p, std::size_t n, Output& out) {
        while (n > 0) {
            if (left_ == 0) {
                const std::size_t take = std::min<std::size_t>(4 - have_, n);
                std::memcpy(head_ + have_, p, take);
                have_ += take;
                p += take;
                n -= take;
                if (have_ < 4) break;
                start_payload();
                continue;
            }
            if (code_have_ < code_want_) {
                head_[code_have_++] = *p++;
                --n;
                --left_;
                if (code_have_ == code_want_ && !finish_code(out)) return false;
                continue;
            }
            const std::size_t take = std::min(left_, n);
            out.append(p, take);
            p += take;
            n -= take;
            left_ -= take;
        }
        return true;
    }

private:
    void start_payload() {
        left_ = load_be32(head_);
        if (left_ == 0 || left_ > kMaxPacket) die("frame length");
        length_ = left_;
        have_ = 0;
        code_have_ = 0;
        code_want_ = left_ >= 2 ? 2 : 0;
    }

    // The first two payload bytes: a command code is dropped, anything else is text.
    bool finish_code(Output& out) {
        const auto code = std::uint16_t(head_[0] | head_[1] << 8);
        if (!is_command_code(code)) {
            out.append(head_, 2);
            return true;
        }
        return length_ != 2;
    }

    std::uint8_t head_[4] = {};
    std::size_t have_ = 0;
    std::size_t left_ = 0;
    std::size_t length_ = 0;
    std::size_t code_have_ = 0;
    std::size_t code_want_ = 0;
};

// What a bulk loop reports besides its Outcome: every call's checksum, and the
// first call alone, as a single call in a fresh process would measure it.
struct Loop {
    std::string checksums;  // JSON array items
    double wall = 0;
    CpuTime cpu;
    double first_wall = 0;
    long first_peak_kb = 0;
};

Outcome bulk_once(int fd, std::string_view verb, std::string_view text, std::uint64_t total, std::uint64_t packet,
                  std::size_t buffer, Output& output) {
    send_all(fd, frame(std::string(verb) + " " + std::string(text) + " " + std::to_string(total) + " " +
                       std::to_string(packet)));
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[buffer]);
    BulkParser parser;
    for (bool more = true; more;) {
        const ssize_t n = ::recv(fd, buf.get(), buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("recv");
        more = parser.feed(buf.get(), std::size_t(n), output);
    }
    return Outcome{1, output.size(), 0};
}

// Calls in a row as a user makes them: each output lives until the next call has
// returned its own (out = bulk(...)), and only the calls are timed; each output
// is checksummed after its call, outside the time.
Outcome bulk(int fd, std::string_view verb, std::string_view text, std::uint64_t total, std::uint64_t packet,
             std::uint64_t calls, std::size_t buffer, const Crc32& crc32, Loop& loop) {
    Outcome result;
    std::unique_ptr<Output> out;
    const bool check = !std::getenv("BENCH_SKIP_CHECKSUM");
    for (std::uint64_t i = 0; i < calls; ++i) {
        const double wall0 = now();
        const CpuTime cpu0 = cpu_seconds();
        auto next = std::make_unique<Output>();
        bulk_once(fd, verb, text, total, packet, buffer, *next);
        out = std::move(next);
        const double wall = now() - wall0;
        const CpuTime cpu1 = cpu_seconds();
        loop.wall += wall;
        loop.cpu.user += cpu1.user - cpu0.user;
        loop.cpu.system += cpu1.system - cpu0.system;
        if (i == 0) {
            loop.first_wall = wall;
            loop.first_peak_kb = status_kb("VmHWM:");
        }
        const std::uint32_t crc = check ? crc32(out->data(), out->size()) : 0;
        loop.checksums += (i ? ", " : "") + std::to_string(crc);
        ++result.count;
        result.bytes += out->size();
    }
    return result;
}

Outcome construct(const sockaddr_in& addr, std::uint64_t clients) {
    Outcome out;
    for (std::uint64_t i = 0; i < clients; ++i) {
        Receiver rx(4096);
        Fd fd = connect_and_greet(addr, rx);
        ++out.count;
    }
    return out;
}

std::uint64_t number(const char* text) {
    std::uint64_t v = 0;
    const std::string_view s = text;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) {
        std::fprintf(stderr, "bench_baseline: not a number: %s\n", text);
        std::exit(2);
    }
    return v;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_baseline ADDR list_targets COUNT | shell|hilog [utf8] TOTAL PACKET [CALLS [BUFFER]] | "
                 "construct COUNT\n");
    std::exit(2);
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    if (argc < 4) usage();
    const sockaddr_in addr = parse_addr(argv[1]);
    const std::string_view workload = argv[2];
    const Crc32 crc32;
    Receiver rx(1 << 20);
    Loop loop;
    Fd fd;
    if (workload != "construct") fd = connect_and_greet(addr, rx);
    const long idle_kb = status_kb("VmRSS:");
    const double wall0 = now();
    const CpuTime cpu0 = cpu_seconds();
    Outcome result;
    // The bulk arguments: an optional text word, then the numbers.
    const bool utf8 = argc >= 4 && std::string_view(argv[3]) == "utf8";
    char** const nums = argv + 3 + (utf8 ? 1 : 0);
    const int nnums = argc - 3 - (utf8 ? 1 : 0);
    const bool is_bulk = (workload == "shell" || workload == "hilog") && nnums >= 2;
    if (workload == "list_targets") {
        result = list_targets(fd.get(), rx, number(argv[3]), crc32);
    } else if (is_bulk) {
        const std::uint64_t calls = nnums >= 3 ? number(nums[2]) : 1;
        const std::size_t buffer = nnums >= 4 ? number(nums[3]) : std::size_t(1) << 18;
        result = bulk(fd.get(), workload, utf8 ? "utf8" : "bulk", number(nums[0]), number(nums[1]), calls, buffer,
                      crc32, loop);
    } else if (workload == "construct") {
        result = construct(addr, number(argv[3]));
    } else {
        usage();
    }
    double wall = now() - wall0;
    const CpuTime cpu1 = cpu_seconds();
    double user = cpu1.user - cpu0.user, system = cpu1.system - cpu0.system;
    if (is_bulk) wall = loop.wall, user = loop.cpu.user, system = loop.cpu.system;
    const long peak_kb = status_kb("VmHWM:");
    std::printf("{\"client\": \"baseline\", \"workload\": \"%s\", \"count\": %llu, \"bytes\": %llu, \"checksum\": %u, "
                "\"wall_s\": %.6f, \"cpu_s\": %.6f, \"user_s\": %.6f, \"sys_s\": %.6f, \"peak_rss_kb\": %ld, "
                "\"idle_rss_kb\": %ld",
                argv[2], static_cast<unsigned long long>(result.count), static_cast<unsigned long long>(result.bytes),
                result.checksum, wall, user + system, user, system, peak_kb, idle_kb);
    if (is_bulk)
        std::printf(", \"checksums\": [%s], \"first_wall_s\": %.6f, \"first_peak_rss_kb\": %ld", loop.checksums.c_str(),
                    loop.first_wall, loop.first_peak_kb);
    std::printf("}\n");
}
