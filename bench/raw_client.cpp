// The baseline of bench/update.py: the smallest blocking client that runs
// the update's command sequence (erase, page pointer reset, 16-byte program
// blocks, reset, page reads, done, refresh) with no progress output and no
// digests. Prints {"wall": s, "cpu": s, "blocks": n, "ok": bool} as JSON.
// Framing, command words and the reply rule come from src/core/protocol.h.
//   raw_client HOST PORT IMAGE
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol.h"

namespace proto = qvcore::proto;

static int fd = -1;
static char buf[65536];
static size_t have = 0;

static double now(clockid_t c) {
    timespec ts{};
    clock_gettime(c, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static double cpu() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec * 1e-6;
}

static std::string take(size_t len, size_t eol) {
    std::string r(buf, len - eol);
    std::memmove(buf, buf + len, have - len);
    have -= len;
    return r;
}

// One reply without its CR LF; a block (a "#2NN" page) is read by its length.
static std::string reply() {
    proto::BlockParser block(sizeof buf - proto::kMaxBlockHeader - proto::kEolLen);
    size_t fed = 0;
    for (;;) {
        if (have > 0 && buf[0] == proto::kBlockMark &&
            block.status() == proto::BlockParser::Status::kNeedMore)
            fed += block.feed(buf + fed, have - fed);
        if (block.status() == proto::BlockParser::Status::kDone) return take(fed, proto::kEolLen);
        if (block.error() == proto::BlockParser::Error::kTooLong ||
            block.error() == proto::BlockParser::Error::kBadTerminator) {
            std::fprintf(stderr, "bad block: %s\n", proto::BlockParser::error_text(block.error()));
            std::exit(2);
        }
        bool line = have > 0 && (buf[0] != proto::kBlockMark ||
                                 block.status() == proto::BlockParser::Status::kError);
        if (void* p = line ? std::memchr(buf, '\n', have) : nullptr) {
            size_t len = static_cast<char*>(p) - buf + 1;
            return take(len, len >= 2 ? 2 : len);
        }
        ssize_t n = recv(fd, buf + have, sizeof buf - have, 0);
        if (n <= 0) { std::perror("recv"); std::exit(2); }
        have += n;
    }
}

static std::string command(const std::string& c) {
    std::string w = c + proto::kEol;
    if (send(fd, w.data(), w.size(), MSG_NOSIGNAL) != (ssize_t)w.size()) { std::perror("send"); std::exit(2); }
    return reply();
}

int main(int argc, char** argv) {
    if (argc != 4) { std::fprintf(stderr, "usage: raw_client HOST PORT IMAGE\n"); return 64; }
    std::ifstream in(argv[3], std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(argv[1], argv[2], &hints, &res) != 0) return 2;
    fd = socket(res->ai_family, SOCK_STREAM, 0);
    if (connect(fd, res->ai_addr, res->ai_addrlen) != 0) { std::perror("connect"); return 2; }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    double w0 = now(CLOCK_MONOTONIC), c0 = cpu();
    const std::string sep(1, proto::kArgSeparator);
    command(proto::kFpgaErase + sep + proto::kErase12);
    command(proto::kFpgaRstPagePtr + sep + proto::kSectionCfg);
    size_t blocks = 0;
    char header[proto::kMaxProgramHeader];
    for (size_t off = 0; off < image.size(); off += proto::kPageSize) {
        size_t n = std::min(proto::kPageSize, image.size() - off);
        std::string c(header, proto::program_header(n, header, sizeof header));
        c.append(image.data() + off, n);
        while (!proto::reply_accepted(command(c))) {}
        ++blocks;
    }
    command(proto::kFpgaRstPagePtr + sep + proto::kSectionCfg);
    std::string back;
    for (size_t off = 0; off < image.size(); off += proto::kPageSize)
        back += command(proto::kFpgaRead).substr(4);
    command(proto::kFpgaDone);
    command(proto::kFpgaRefresh);
    double w1 = now(CLOCK_MONOTONIC), c1 = cpu();
    bool ok = back == std::string(image.begin(), image.end());
    std::printf("{\"wall\": %.6f, \"cpu\": %.6f, \"blocks\": %zu, \"ok\": %s}\n", w1 - w0, c1 - c0,
                blocks, ok ? "true" : "false");
    close(fd);
    return ok ? 0 : 1;
}
