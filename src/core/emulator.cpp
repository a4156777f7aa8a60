// The device emulator: the device model, the command parser and the TCP
// server. See emulator.h for the interface and the reply codes.
//
// Wire format: a command is one line ending in CR LF (a bare LF is taken
// too), a keyword, one space and the argument. "FPGA_PROGRAM #" is followed
// by a definite-length block ("#", one digit d, d digits of the length n, n
// raw bytes) and CR LF; the block is taken by its length, never by line.
// Every line gets exactly one reply line ending in CR LF.
#include "emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "digest.h"

namespace qvcore {

const std::array<const char*, kEmuCommandCount> kEmuCommandWords = {
    "FPGA_PROGRAM",
    "FPGA_READ",
    "FPGA_CTRL_INIT",
    "FPGA_CFG_MODE",
    "FPGA_GET_ID",
    "GET_FPGA_VER",
    "GET_FW_VER",
    "GET_SN",
    "GET_FE_INFO",
    "FPGA_ERASE",
    "FPGA_RST_PAGE_PTR",
    "FPGA_DONE",
    "FPGA_REFRESH",
    "ExtCtrl_EN",
    "ExtCtrl_EN?",
    "BEAM_PATTERN_STORE_EN",
    "BEAM_PATTERN_STORE_EN?",
    "BEAM_PATTERN_ERASE",
    "BEAM_PATTERN_APPLY_BFIC",
    "BEAM_PATTERN_STORE_FBS_BEAM",
    "BEAM_PATTERN_STORE_FBS_BEAM?",
    "BEAM_PATTERN_STORE_TDBS_BEAM",
    "BEAM_PATTERN_STORE_TDBS_BEAM?",
    "REBOOT",
};

const char* emu_rf_mode_name(int mode) { return mode == 0 ? "TX" : "RX"; }

namespace {

enum Cmd : int {
    kProgram, kRead, kCtrlInit, kCfgMode, kGetId, kGetFpgaVer, kGetFwVer, kGetSn,
    kGetFeInfo, kErase, kRstPagePtr, kDone, kRefresh, kExtCtrl, kExtCtrlQ, kStoreEn,
    kStoreEnQ, kPatternErase, kApplyBfic, kStoreFbs, kStoreFbsQ, kStoreTdbs, kStoreTdbsQ,
    kReboot, kNoCommand = -1,
};

constexpr size_t kBufSize = 64 * 1024;      // one connection's receive buffer
constexpr size_t kPageSize = 16;
constexpr size_t kMaxTableEntries = 65536;  // per beam table
constexpr char kProgramPrefix[] = "FPGA_PROGRAM #";
constexpr size_t kProgramPrefixLen = sizeof(kProgramPrefix) - 1;
constexpr auto kSplitPause = std::chrono::milliseconds(2);

// One command as the parser found it; the pointers point into the receive buffer.
struct Command {
    int cmd = kNoCommand;
    const char* word = nullptr;
    size_t word_len = 0;
    bool has_arg = false;
    const char* arg = nullptr;
    size_t arg_len = 0;
    bool block = false;       // came as a definite-length block
    bool bad_block = false;   // FPGA_PROGRAM whose block is malformed
    const char* data = nullptr;
    size_t data_len = 0;
};

enum class Parse { kNeedMore, kGot, kLost };

int lookup(const char* w, size_t n) {
    for (size_t i = 0; i < kEmuCommandCount; ++i) {
        const char* k = kEmuCommandWords[i];
        if (std::strlen(k) == n && std::memcmp(k, w, n) == 0) return static_cast<int>(i);
    }
    return kNoCommand;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A program command whose header is unreadable: resynchronise at the next LF.
Parse skip_to_line_end(const char* p, size_t n, size_t from, bool full, Command& c,
                       size_t& used) {
    const void* lf = from < n ? std::memchr(p + from, '\n', n - from) : nullptr;
    c.cmd = kProgram;
    c.word = p;
    c.word_len = kProgramPrefixLen - 2;
    c.bad_block = true;
    if (!lf) return full ? Parse::kLost : Parse::kNeedMore;
    used = static_cast<size_t>(static_cast<const char*>(lf) - p) + 1;
    return Parse::kGot;
}

// `p`/`n`: the unread bytes (n > 0); `full`: no more bytes fit in the buffer.
Parse parse(const char* p, size_t n, bool full, Command& c, size_t& used) {
    c = Command();
    bool program = n >= kProgramPrefixLen
                       ? std::memcmp(p, kProgramPrefix, kProgramPrefixLen) == 0
                       : std::memcmp(p, kProgramPrefix, n) == 0;
    if (program) {
        if (n <= kProgramPrefixLen) return full ? Parse::kLost : Parse::kNeedMore;
        c.cmd = kProgram;
        c.word = p;
        c.word_len = kProgramPrefixLen - 2;
        c.block = true;
        char d = p[kProgramPrefixLen];
        if (d < '1' || d > '9') return skip_to_line_end(p, n, kProgramPrefixLen, full, c, used);
        size_t digits = static_cast<size_t>(d - '0');
        size_t head = kProgramPrefixLen + 1 + digits;
        uint64_t len = 0;
        for (size_t i = kProgramPrefixLen + 1; i < head; ++i) {
            if (i >= n) return full ? Parse::kLost : Parse::kNeedMore;
            if (!is_digit(p[i])) return skip_to_line_end(p, n, i, full, c, used);
            len = len * 10 + static_cast<uint64_t>(p[i] - '0');
        }
        if (len + head + 2 > kBufSize) {  // cannot be held: no footing to be found
            c.bad_block = true;
            return Parse::kLost;
        }
        size_t t = head + static_cast<size_t>(len);
        if (n < t + 1) return Parse::kNeedMore;
        c.data = p + head;
        c.data_len = static_cast<size_t>(len);
        if (p[t] == '\n') {
            used = t + 1;
            return Parse::kGot;
        }
        if (p[t] == '\r') {
            if (n < t + 2) return Parse::kNeedMore;
            if (p[t + 1] == '\n') {
                used = t + 2;
                return Parse::kGot;
            }
        }
        // Something other than the terminator follows the block.
        return skip_to_line_end(p, n, t, full, c, used);
    }

    const void* lf = std::memchr(p, '\n', n);
    if (!lf) return full ? Parse::kLost : Parse::kNeedMore;
    size_t end = static_cast<size_t>(static_cast<const char*>(lf) - p);
    used = end + 1;
    if (end > 0 && p[end - 1] == '\r') --end;
    const void* sp = std::memchr(p, ' ', end);
    c.word = p;
    if (sp) {
        c.word_len = static_cast<size_t>(static_cast<const char*>(sp) - p);
        c.has_arg = true;
        c.arg = p + c.word_len + 1;
        c.arg_len = end - c.word_len - 1;
    } else {
        c.word_len = end;
    }
    c.cmd = lookup(c.word, c.word_len);
    if (c.cmd == kProgram) c.bad_block = true;  // the word without its block
    return Parse::kGot;
}

// --- argument fields ---------------------------------------------------------

struct Field {
    const char* p;
    size_t n;
    bool is(const char* s) const { return std::strlen(s) == n && std::memcmp(p, s, n) == 0; }
    bool is_nocase(const char* s) const {
        if (std::strlen(s) != n) return false;
        for (size_t i = 0; i < n; ++i) {
            char a = p[i], b = s[i];
            if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
            if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
            if (a != b) return false;
        }
        return true;
    }
};

Field trim(const char* p, size_t n) {
    while (n && (*p == ' ' || *p == '\t')) ++p, --n;
    while (n && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
    return {p, n};
}

// The comma-separated fields of the argument; false when there are not
// exactly `count` of them.
bool split_fields(const Command& c, Field* out, size_t count) {
    if (!c.has_arg) return false;
    const char* p = c.arg;
    const char* end = c.arg + c.arg_len;
    size_t k = 0;
    for (;;) {
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
        const char* stop = comma ? comma : end;
        if (k == count) return false;
        out[k++] = trim(p, static_cast<size_t>(stop - p));
        if (!comma) break;
        p = comma + 1;
    }
    return k == count;
}

bool no_argument(const Command& c) { return !c.has_arg || trim(c.arg, c.arg_len).n == 0; }

Field the_argument(const Command& c) {
    return c.has_arg ? trim(c.arg, c.arg_len) : Field{c.word, 0};
}

bool to_int(Field f, int64_t& v) {
    if (f.n == 0) return false;
    const char* b = f.p;
    if (*b == '+' && f.n > 1) ++b;
    auto r = std::from_chars(b, f.p + f.n, v);
    return r.ec == std::errc() && r.ptr == f.p + f.n;
}

bool to_double(Field f, double& v) {
    if (f.n == 0) return false;
    const char* b = f.p;
    if (*b == '+' && f.n > 1) ++b;
    auto r = std::from_chars(b, f.p + f.n, v);
    return r.ec == std::errc() && r.ptr == f.p + f.n && std::isfinite(v);
}

bool to_flag(Field f, bool& v) {
    if (f.is("1") || f.is_nocase("true")) return v = true, true;
    if (f.is("0") || f.is_nocase("false")) return v = false, true;
    return false;
}

bool to_rf_mode(Field f, int& m) {
    if (f.is_nocase("TX") || f.is("0")) return m = 0, true;
    if (f.is_nocase("RX") || f.is("1")) return m = 1, true;
    return false;
}

bool to_beam_id(Field f, int64_t& id) { return to_int(f, id) && id >= 0; }

// --- replies -----------------------------------------------------------------

void put_int(std::string& out, int64_t v) {
    char b[24];
    auto r = std::to_chars(b, b + sizeof b, v);
    out.append(b, r.ptr);
}

void put_double(std::string& out, double v) {
    char b[40];
    auto r = std::to_chars(b, b + sizeof b, v);  // shortest text that reads back the same
    out.append(b, r.ptr);
}

void put_json_string(std::string& out, const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(ch));
        } else if (ch < 0x20) {
            out.append("\\u00");
            out.push_back(hex[ch >> 4]);
            out.push_back(hex[ch & 15]);
        } else {
            out.push_back(static_cast<char>(ch));
        }
    }
    out.push_back('"');
}

uint64_t next_random(uint64_t& s) {  // xorshift64
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// What the connection does with a reply once the device has made it.
struct Action {
    bool drop = false;        // close without answering
    bool lost = false;        // answer, then close
    double delay_s = 0;
    uint64_t split = 0;
};

struct Conn {
    int fd = -1;              // -1 once closed; guarded by the server's conns mutex
    bool done = false;
    std::thread thread;
};

sigset_t block_all_signals() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    return old;
}

bool send_all(int fd, const char* p, size_t n) {
    while (n) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

// -----------------------------------------------------------------------------

struct Emulator::Impl {
    // The device, guarded by mu.
    mutable std::mutex mu;
    EmulatorOptions opt;
    std::unique_ptr<uint8_t[]> flash;  // bytes past `programmed` are erased (0xFF) whatever they hold
    uint64_t programmed = 0;
    uint64_t prog_ptr = 0, read_ptr = 0;
    bool initialised = false;
    std::string cfg_mode;
    bool done = false;
    uint64_t refreshed = 0, erases = 0, reboots = 0;
    int64_t ext_ctrl = 0, ext_mode = 0;
    bool store_enabled = false;
    GainTable gains, applied_gains;
    PatternTable patterns, applied_patterns;
    EmulatorCounters ctr;
    // Fault counters, each restarted when its option is set.
    uint64_t blocks_seen = 0, answered = 0, drop_on_seen = 0, commands_seen = 0, reads_seen = 0;
    bool dropped_after = false;

    // The server.
    std::string host;
    uint16_t port = 0;
    bool bracket = false;  // IPv6 literal: "[host]:port"
    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::thread acceptor;
    std::mutex stop_mu;
    std::condition_variable stop_cv;
    bool stopping = false;
    std::mutex close_mu;
    bool closed = false;
    std::mutex conns_mu;
    std::list<std::unique_ptr<Conn>> conns;

    // --- the device model ------------------------------------------------------

    int program(const Command& c) {
        ++blocks_seen;
        if (opt.refuse_every && blocks_seen % opt.refuse_every == 0) return emu_reply::kRefused;
        uint64_t n = c.data_len;
        if (prog_ptr > opt.flash_size || n > opt.flash_size - prog_ptr) return emu_reply::kPastFlashEnd;
        uint8_t* f = flash.get();
        const auto* d = reinterpret_cast<const uint8_t*>(c.data);
        uint64_t at = prog_ptr;
        if (at > programmed) {  // the gap between reads as erased
            std::memset(f + programmed, 0xFF, static_cast<size_t>(at - programmed));
            programmed = at;
        }
        // Programming can only clear bits, as in NOR flash: bytes written
        // before without an erase in between come out as old AND new.
        uint64_t overlap = std::min<uint64_t>(n, programmed - at);
        for (uint64_t i = 0; i < overlap; ++i) f[at + i] &= d[i];
        if (n > overlap) std::memcpy(f + at + overlap, d + overlap, static_cast<size_t>(n - overlap));
        prog_ptr = at + n;
        programmed = std::max(programmed, prog_ptr);
        return 0;
    }

    void read_page(std::string& out) {
        size_t len = 0;
        if (read_ptr < programmed)
            len = static_cast<size_t>(std::min<uint64_t>(kPageSize, programmed - read_ptr));
        out.append("#2");
        out.push_back(static_cast<char>('0' + len / 10));
        out.push_back(static_cast<char>('0' + len % 10));
        size_t at = out.size();
        if (len) out.append(reinterpret_cast<const char*>(flash.get() + read_ptr), len);
        read_ptr += kPageSize;
        if (len) ++ctr.pages_read;
        ++reads_seen;
        if (opt.corrupt_page && reads_seen == opt.corrupt_page) {
            if (len) out[at + len / 2] = static_cast<char>(out[at + len / 2] ^ 0xFF);
        }
    }

    void fe_info(std::string& out) {
        if (opt.has_fe_info) {
            out.append(opt.fe_info);
            return;
        }
        out.append("{\"fe0\": {\"fpga_ver\": ");
        put_json_string(out, opt.fpga_version);
        out.append(", \"fw_ver\": ");
        put_json_string(out, opt.fw_version);
        out.append(", \"fpga_id\": ");
        put_json_string(out, opt.fpga_id);
        out.append(", \"sn\": ");
        put_json_string(out, opt.serial);
        out.append("}}");
    }

    int store_gain(const Command& c) {
        Field f[5];
        int mode;
        int64_t id, com, ele;
        bool en;
        if (!split_fields(c, f, 5) || !to_rf_mode(f[0], mode) || !to_beam_id(f[1], id) ||
            !to_flag(f[2], en) || !to_int(f[3], com) || !to_int(f[4], ele))
            return emu_reply::kBadArgument;
        if (!store_enabled) return emu_reply::kStoreDisabled;
        auto key = std::make_pair(mode, id);
        if (gains.size() >= kMaxTableEntries && !gains.count(key)) return emu_reply::kStoreFull;
        gains[key] = FastBeamGain{en, com, ele};
        return 0;
    }

    void query_gain(const Command& c, std::string& out) {
        Field f[2];
        int mode;
        int64_t id;
        if (!split_fields(c, f, 2) || !to_rf_mode(f[0], mode) || !to_beam_id(f[1], id))
            return put_int(out, emu_reply::kBadArgument);
        auto it = gains.find(std::make_pair(mode, id));
        if (it == gains.end()) return put_int(out, emu_reply::kNotStored);
        put_int(out, it->second.enable ? 1 : 0);
        out.push_back(',');
        put_int(out, it->second.com_gain);
        out.push_back(',');
        put_int(out, it->second.ele_gain);
    }

    int store_pattern(const Command& c) {
        Field f[4];
        int64_t id;
        FastBeamPattern p;
        if (!split_fields(c, f, 4) || !to_beam_id(f[0], id) || !to_double(f[1], p.rf_freq) ||
            !to_double(f[2], p.theta) || !to_double(f[3], p.phi))
            return emu_reply::kBadArgument;
        if (!store_enabled) return emu_reply::kStoreDisabled;
        if (patterns.size() >= kMaxTableEntries && !patterns.count(id)) return emu_reply::kStoreFull;
        patterns[id] = p;
        return 0;
    }

    void query_pattern(const Command& c, std::string& out) {
        Field f[1];
        int64_t id;
        if (!split_fields(c, f, 1) || !to_beam_id(f[0], id))
            return put_int(out, emu_reply::kBadArgument);
        auto it = patterns.find(id);
        if (it == patterns.end()) return put_int(out, emu_reply::kNotStored);
        put_double(out, it->second.rf_freq);
        out.push_back(',');
        put_double(out, it->second.theta);
        out.push_back(',');
        put_double(out, it->second.phi);
    }

    // Runs one command and writes its reply (without CR LF) to `out`.
    // Returns extra seconds the reply takes (an erase).
    double execute(const Command& c, std::string& out) {
        int rc = 0;
        switch (c.cmd) {
            case kProgram:
                rc = c.bad_block ? emu_reply::kBadBlock : program(c);
                if (rc) ++ctr.blocks_refused;
                break;
            case kRead:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                read_page(out);
                return 0;
            case kCtrlInit:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                initialised = true;
                break;
            case kCfgMode: {
                Field f = the_argument(c);
                if (!f.n) { rc = emu_reply::kBadArgument; break; }
                cfg_mode.assign(f.p, f.n);
                break;
            }
            case kGetId:
            case kGetFpgaVer:
            case kGetFwVer:
            case kGetSn:
            case kGetFeInfo:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                if (c.cmd == kGetId) out.append(opt.fpga_id);
                else if (c.cmd == kGetFpgaVer) out.append(opt.fpga_version);
                else if (c.cmd == kGetFwVer) out.append(opt.fw_version);
                else if (c.cmd == kGetSn) out.append(opt.serial);
                else fe_info(out);
                return 0;
            case kErase: {
                Field f = the_argument(c);
                if (!f.is("12") && !f.is("14")) { rc = emu_reply::kBadArgument; break; }
                programmed = 0;
                done = false;
                ++erases;
                put_int(out, 0);
                return opt.erase_seconds;
            }
            case kRstPagePtr:
                if (!the_argument(c).is("CFG")) { rc = emu_reply::kBadArgument; break; }
                prog_ptr = read_ptr = 0;
                break;
            case kDone:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                done = true;
                break;
            case kRefresh:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                ++refreshed;
                if (done && opt.has_version_after_update) opt.fpga_version = opt.version_after_update;
                break;
            case kExtCtrl: {
                Field f[2];
                int64_t mode;
                bool flag;
                if (!split_fields(c, f, 2) || !to_flag(f[0], flag) || !to_int(f[1], mode) ||
                    mode < 0) {
                    rc = emu_reply::kBadArgument;
                    break;
                }
                ext_ctrl = flag ? 1 : 0;
                ext_mode = mode;
                break;
            }
            case kExtCtrlQ:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                put_int(out, ext_ctrl);
                return 0;
            case kStoreEn: {
                bool on;
                if (!to_flag(the_argument(c), on)) { rc = emu_reply::kBadArgument; break; }
                store_enabled = on;
                break;
            }
            case kStoreEnQ:
                if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
                put_int(out, store_enabled ? 1 : 0);
                return 0;
            case kPatternErase:  // arguments (a delay, say) are taken and ignored
                gains.clear();
                patterns.clear();
                break;
            case kApplyBfic:
                applied_gains = gains;
                applied_patterns = patterns;
                break;
            case kStoreFbs: rc = store_gain(c); break;
            case kStoreFbsQ: query_gain(c, out); return 0;
            case kStoreTdbs: rc = store_pattern(c); break;
            case kStoreTdbsQ: query_pattern(c, out); return 0;
            case kReboot:
                // What a real device loses: external control, the store's
                // enable and what was applied to the beamformers. The store
                // itself is kept.
                ext_ctrl = ext_mode = 0;
                store_enabled = false;
                applied_gains.clear();
                applied_patterns.clear();
                ++reboots;
                break;
            default:
                rc = emu_reply::kUnknown;
                break;
        }
        put_int(out, rc);
        return 0;
    }

    // Counts the command, applies the faults, runs it. Under the device mutex.
    Action handle(const Command& c, bool lost, std::string& out, uint64_t& rng) {
        Action a;
        std::lock_guard<std::mutex> lk(mu);
        if (opt.drop_after >= 0 && !dropped_after &&
            answered >= static_cast<uint64_t>(opt.drop_after)) {
            dropped_after = true;
            ++ctr.dropped;
            a.drop = true;
            return a;
        }
        if (opt.has_drop_on && opt.drop_on.size() == c.word_len &&
            std::memcmp(opt.drop_on.data(), c.word, c.word_len) == 0 &&
            ++drop_on_seen == opt.drop_on_count) {
            ++ctr.dropped;
            a.drop = true;
            return a;
        }
        if (c.cmd >= 0) ++ctr.commands[static_cast<size_t>(c.cmd)];
        else ++ctr.unknown;
        out.clear();
        if (lost) {
            if (c.cmd == kProgram) ++ctr.blocks_refused;
            ++ctr.dropped;
            put_int(out, emu_reply::kLostFooting);
            a.lost = true;
        } else {
            a.delay_s = execute(c, out);
        }
        ++answered;
        ++commands_seen;
        if (opt.delay_us && (!opt.delay_command || commands_seen == opt.delay_command))
            a.delay_s += static_cast<double>(opt.delay_us) * 1e-6;
        a.split = opt.split_replies;
        if (opt.garbage) {
            out.clear();
            size_t n = 8 + static_cast<size_t>(next_random(rng) % 9);
            out.push_back(static_cast<char>(0xFF));  // never valid in UTF-8
            for (size_t i = 1; i < n; ++i)
                out.push_back(static_cast<char>(0x80 | (next_random(rng) & 0x7F)));
        }
        out.append("\r\n");
        return a;
    }

    // --- serving -----------------------------------------------------------------

    // Waits `seconds` unless the emulator is closed first; false when closed.
    bool pause(std::chrono::nanoseconds d) {
        std::unique_lock<std::mutex> lk(stop_mu);
        return !stop_cv.wait_for(lk, d, [this] { return stopping; });
    }

    bool pause_seconds(double s) {
        if (!(s > 0)) return true;
        s = std::min(s, 1e6);
        return pause(std::chrono::nanoseconds(static_cast<int64_t>(s * 1e9)));
    }

    bool reply(int fd, const std::string& out, const Action& a) {
        if (a.delay_s > 0 && !pause_seconds(a.delay_s)) return false;
        size_t parts = a.split > 1 ? std::min<size_t>(a.split, out.size()) : 1;
        if (parts <= 1) return send_all(fd, out.data(), out.size());
        size_t chunk = (out.size() + parts - 1) / parts;
        for (size_t at = 0; at < out.size(); at += chunk) {
            if (at && !pause(kSplitPause)) return false;
            if (!send_all(fd, out.data() + at, std::min(chunk, out.size() - at))) return false;
        }
        return true;
    }

    void serve(Conn* conn, int fd) {
        std::unique_ptr<char[]> buf(new char[kBufSize]);
        size_t beg = 0, end = 0;
        std::string out;
        out.reserve(256);
        uint64_t rng = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(fd) << 32) ^
                       static_cast<uint64_t>(
                           std::chrono::steady_clock::now().time_since_epoch().count());
        if (!rng) rng = 1;
        for (;;) {
            Command c;
            size_t used = 0;
            Parse st = Parse::kNeedMore;
            if (end > beg) st = parse(buf.get() + beg, end - beg, end - beg == kBufSize, c, used);
            if (st == Parse::kNeedMore) {
                if (beg) {
                    std::memmove(buf.get(), buf.get() + beg, end - beg);
                    end -= beg;
                    beg = 0;
                }
                ssize_t r = ::recv(fd, buf.get() + end, kBufSize - end, 0);
                if (r > 0) {
                    end += static_cast<size_t>(r);
                    continue;
                }
                if (r < 0 && errno == EINTR) continue;
                break;  // peer closed, reset, or the emulator is closing
            }
            bool lost = st == Parse::kLost;
            Action a = handle(c, lost, out, rng);
            if (a.drop || !reply(fd, out, a) || lost) break;
            beg += used;
            if (beg == end) beg = end = 0;
        }
        std::lock_guard<std::mutex> lk(conns_mu);
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        conn->fd = -1;
        conn->done = true;
    }

    void reap() {
        std::list<std::unique_ptr<Conn>> finished;
        {
            std::lock_guard<std::mutex> lk(conns_mu);
            for (auto it = conns.begin(); it != conns.end();) {
                auto next = std::next(it);
                if ((*it)->done) finished.splice(finished.end(), conns, it);
                it = next;
            }
        }
        for (auto& c : finished) c->thread.join();
    }

    void accept_loop() {
        for (;;) {
            pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            int r = ::poll(p, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) {
                if (p[0].revents & (POLLERR | POLLNVAL)) return;
                continue;
            }
            int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
                // Out of descriptors or memory: back off rather than spin.
                if (!pause(std::chrono::milliseconds(20))) return;
                continue;
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            reap();
            {
                std::lock_guard<std::mutex> lk(mu);
                ++ctr.connections;
            }
            std::lock_guard<std::mutex> lk(conns_mu);
            auto conn = std::make_unique<Conn>();
            conn->fd = fd;
            Conn* raw = conn.get();
            try {
                conn->thread = std::thread([this, raw, fd] { serve(raw, fd); });
            } catch (const std::system_error&) {
                ::close(fd);
                continue;
            }
            conns.push_back(std::move(conn));
        }
    }

    void listen_on(const std::string& h, uint16_t want) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* res = nullptr;
        std::string service = std::to_string(want);
        int g = ::getaddrinfo(h.empty() ? nullptr : h.c_str(), service.c_str(), &hints, &res);
        std::string where = (h.find(':') != std::string::npos ? "[" + h + "]" : h) + ":" + service;
        if (g != 0) {
            int e = g == EAI_SYSTEM ? errno : EINVAL;
            throw std::system_error(e, std::generic_category(),
                                    "cannot resolve " + where + ": " + ::gai_strerror(g));
        }
        int err = EADDRNOTAVAIL;
        for (addrinfo* ai = res; ai; ai = ai->ai_next) {
            int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
            if (fd < 0) {
                err = errno;
                continue;
            }
            int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
                listen_fd = fd;
                bracket = ai->ai_family == AF_INET6 && h.find(':') != std::string::npos;
                break;
            }
            err = errno;
            ::close(fd);
        }
        ::freeaddrinfo(res);
        if (listen_fd < 0)
            throw std::system_error(err, std::generic_category(), "cannot listen on " + where);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&ss), &len);
        port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
        host = h;
    }

    void release_fds() {
        if (listen_fd >= 0) ::close(listen_fd);
        for (int& w : wake)
            if (w >= 0) ::close(w), w = -1;
        listen_fd = -1;
    }
};

// --- Emulator -------------------------------------------------------------------

Emulator::Emulator(const std::string& host, uint16_t port, const EmulatorOptions& options)
    : impl_(new Impl) {
    Impl& m = *impl_;
    if (options.flash_size == 0) throw std::invalid_argument("flash_size must be at least 1");
    m.opt = options;
    m.flash.reset(new uint8_t[options.flash_size]);  // untouched pages cost nothing
    try {
        m.listen_on(host, port);
        if (::pipe2(m.wake, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe");
        // The serving threads take no signals: they belong to the main thread.
        sigset_t old = block_all_signals();
        try {
            m.acceptor = std::thread([&m] { m.accept_loop(); });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    } catch (...) {
        m.release_fds();
        throw;
    }
}

Emulator::~Emulator() { close(); }

void Emulator::close() {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> once(m.close_mu);
    if (m.closed) return;
    m.closed = true;
    {
        std::lock_guard<std::mutex> lk(m.stop_mu);
        m.stopping = true;
    }
    m.stop_cv.notify_all();
    if (m.acceptor.joinable()) {
        char x = 1;
        ssize_t ignored = ::write(m.wake[1], &x, 1);
        (void)ignored;
        m.acceptor.join();
    }
    std::list<std::unique_ptr<Conn>> all;
    {
        std::lock_guard<std::mutex> lk(m.conns_mu);
        for (auto& c : m.conns)
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);  // wakes its recv or send
        all.swap(m.conns);
    }
    for (auto& c : all) c->thread.join();
    m.release_fds();
}

bool Emulator::closed() const {
    std::lock_guard<std::mutex> lk(impl_->close_mu);
    return impl_->closed;
}

const std::string& Emulator::host() const { return impl_->host; }
uint16_t Emulator::port() const { return impl_->port; }

std::string Emulator::address() const {
    const Impl& m = *impl_;
    std::string h = m.bracket ? "[" + m.host + "]" : m.host;
    return h + ":" + std::to_string(m.port);
}

EmulatorOptions Emulator::options() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->opt;
}

void Emulator::set_options(const EmulatorOptions& o, uint32_t changed) {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lk(m.mu);
    EmulatorOptions& t = m.opt;
    if (changed & kOptFpgaId) t.fpga_id = o.fpga_id;
    if (changed & kOptFpgaVersion) t.fpga_version = o.fpga_version;
    if (changed & kOptFwVersion) t.fw_version = o.fw_version;
    if (changed & kOptSerial) t.serial = o.serial;
    if (changed & kOptFeInfo) t.has_fe_info = o.has_fe_info, t.fe_info = o.fe_info;
    if (changed & kOptVersionAfterUpdate)
        t.has_version_after_update = o.has_version_after_update,
        t.version_after_update = o.version_after_update;
    if (changed & kOptRefuseEvery) t.refuse_every = o.refuse_every, m.blocks_seen = 0;
    if (changed & kOptDropAfter) t.drop_after = o.drop_after, m.answered = 0, m.dropped_after = false;
    if (changed & kOptDropOn) t.has_drop_on = o.has_drop_on, t.drop_on = o.drop_on, m.drop_on_seen = 0;
    if (changed & kOptDropOnCount) t.drop_on_count = o.drop_on_count, m.drop_on_seen = 0;
    if (changed & kOptDelayUs) t.delay_us = o.delay_us;
    if (changed & kOptDelayCommand) t.delay_command = o.delay_command, m.commands_seen = 0;
    if (changed & kOptSplitReplies) t.split_replies = o.split_replies;
    if (changed & kOptCorruptPage) t.corrupt_page = o.corrupt_page, m.reads_seen = 0;
    if (changed & kOptGarbage) t.garbage = o.garbage;
    if (changed & kOptEraseSeconds) t.erase_seconds = o.erase_seconds;
}

std::string Emulator::flash() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return std::string(reinterpret_cast<const char*>(impl_->flash.get()),
                       static_cast<size_t>(impl_->programmed));
}

std::string Emulator::flash_digest_hex() const {
    Sha256 h;
    std::lock_guard<std::mutex> lk(impl_->mu);
    h.update(impl_->flash.get(), static_cast<size_t>(impl_->programmed));
    return h.finish_hex();
}

EmulatorCounters Emulator::counters() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->ctr;
}

void Emulator::reset_counters() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->ctr = EmulatorCounters();
}

EmulatorState Emulator::state() const {
    const Impl& m = *impl_;
    std::lock_guard<std::mutex> lk(m.mu);
    EmulatorState s;
    s.fpga_version = m.opt.fpga_version;
    s.initialised = m.initialised;
    s.cfg_mode = m.cfg_mode;
    s.done = m.done;
    s.refreshed = m.refreshed;
    s.erases = m.erases;
    s.programmed_length = m.programmed;
    s.program_pointer = m.prog_ptr;
    s.read_pointer = m.read_ptr;
    s.ext_ctrl = m.ext_ctrl;
    s.ext_mode = m.ext_mode;
    s.store_enabled = m.store_enabled;
    s.stored_gains = m.gains;
    s.applied_gains = m.applied_gains;
    s.stored_patterns = m.patterns;
    s.applied_patterns = m.applied_patterns;
    s.reboots = m.reboots;
    return s;
}

}  // namespace qvcore
