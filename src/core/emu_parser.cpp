// The emulator's command parser; see emu_parser.h for the wire format.
#include "emu_parser.h"

#include <cstring>

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

namespace {

constexpr char kProgramPrefix[] = "FPGA_PROGRAM #";
constexpr size_t kProgramPrefixLen = sizeof(kProgramPrefix) - 1;

int lookup(const char* w, size_t n) {
    for (size_t i = 0; i < kEmuCommandCount; ++i) {
        const char* k = kEmuCommandWords[i];
        if (std::strlen(k) == n && std::memcmp(k, w, n) == 0) return static_cast<int>(i);
    }
    return kNoCommand;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A program command whose header is unreadable: resynchronise at the next LF.
EmuParse skip_to_line_end(const char* p, size_t n, size_t from, bool full, EmuCommand& c,
                          size_t& used) {
    const void* lf = from < n ? std::memchr(p + from, '\n', n - from) : nullptr;
    c.cmd = kProgram;
    c.word = p;
    c.word_len = kProgramPrefixLen - 2;
    c.bad_block = true;
    if (!lf) return full ? EmuParse::kLost : EmuParse::kNeedMore;
    used = static_cast<size_t>(static_cast<const char*>(lf) - p) + 1;
    return EmuParse::kGot;
}

}  // namespace

EmuParse emu_parse(const char* p, size_t n, bool full, EmuCommand& c, size_t& used) {
    c = EmuCommand();
    bool program = n >= kProgramPrefixLen
                       ? std::memcmp(p, kProgramPrefix, kProgramPrefixLen) == 0
                       : std::memcmp(p, kProgramPrefix, n) == 0;
    if (program) {
        if (n <= kProgramPrefixLen) return full ? EmuParse::kLost : EmuParse::kNeedMore;
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
            if (i >= n) return full ? EmuParse::kLost : EmuParse::kNeedMore;
            if (!is_digit(p[i])) return skip_to_line_end(p, n, i, full, c, used);
            len = len * 10 + static_cast<uint64_t>(p[i] - '0');
        }
        if (len + head + 2 > kEmuBufSize) {  // cannot be held: no footing to be found
            c.bad_block = true;
            return EmuParse::kLost;
        }
        size_t t = head + static_cast<size_t>(len);
        if (n < t + 1) return EmuParse::kNeedMore;
        c.data = p + head;
        c.data_len = static_cast<size_t>(len);
        if (p[t] == '\n') {
            used = t + 1;
            return EmuParse::kGot;
        }
        if (p[t] == '\r') {
            if (n < t + 2) return EmuParse::kNeedMore;
            if (p[t + 1] == '\n') {
                used = t + 2;
                return EmuParse::kGot;
            }
        }
        // Something other than the terminator follows the block.
        return skip_to_line_end(p, n, t, full, c, used);
    }

    const void* lf = std::memchr(p, '\n', n);
    if (!lf) return full ? EmuParse::kLost : EmuParse::kNeedMore;
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
    return EmuParse::kGot;
}

}  // namespace qvcore
