// The emulator's command parser, on the protocol's own block parser and
// command words (protocol.h); see emu_parser.h.
#include "emu_parser.h"

#include <cstring>

#include "protocol.h"

namespace qvcore {

const std::array<const char*, kEmuCommandCount> kEmuCommandWords = {
    proto::kFpgaProgram,
    proto::kFpgaRead,
    proto::kFpgaCtrlInit,
    proto::kFpgaCfgMode,
    proto::kFpgaGetId,
    proto::kGetFpgaVer,
    proto::kGetFwVer,
    proto::kGetSn,
    proto::kGetFeInfo,
    proto::kFpgaErase,
    proto::kFpgaRstPagePtr,
    proto::kFpgaDone,
    proto::kFpgaRefresh,
    proto::kExtCtrlEn,
    proto::kExtCtrlEnQuery,
    proto::kBeamPatternStoreEn,
    proto::kBeamPatternStoreEnQuery,
    proto::kBeamPatternErase,
    proto::kBeamPatternApplyBfic,
    proto::kBeamPatternStoreFbsBeam,
    proto::kBeamPatternStoreFbsBeamQuery,
    proto::kBeamPatternStoreTdbsBeam,
    proto::kBeamPatternStoreTdbsBeamQuery,
    proto::kReboot,
};

namespace {

using proto::kProgramPrefix;
using proto::kProgramPrefixLen;
constexpr size_t kBlockAt = kProgramPrefixLen - 1;  // where the block's '#' is

int lookup(const char* w, size_t n) {
    for (size_t i = 0; i < kEmuCommandCount; ++i) {
        const char* k = kEmuCommandWords[i];
        if (std::strlen(k) == n && std::memcmp(k, w, n) == 0) return static_cast<int>(i);
    }
    return kNoCommand;
}

// A program command whose block is malformed: resynchronise at the next LF
// from `from` on.
EmuParse skip_to_line_end(const char* p, size_t n, size_t from, bool full, EmuCommand& c,
                          size_t& used) {
    const void* lf = from < n ? std::memchr(p + from, '\n', n - from) : nullptr;
    c.bad_block = true;
    if (!lf) return full ? EmuParse::kLost : EmuParse::kNeedMore;
    used = static_cast<size_t>(static_cast<const char*>(lf) - p) + 1;
    return EmuParse::kGot;
}

// "FPGA_PROGRAM #<d><n><n bytes>" and its terminator (CR LF or a bare LF).
EmuParse parse_program(const char* p, size_t n, bool full, EmuCommand& c, size_t& used) {
    c.cmd = kProgram;
    c.word = p;
    c.word_len = kBlockAt - 1;
    c.block = true;
    // The block is read again from its start each time more bytes arrive:
    // the parser skips its data in one step.
    proto::BlockParser block(proto::kMaxBlockLength, /*bare_lf=*/true);
    block.feed(p + kBlockAt, n - kBlockAt);
    if (block.header_done() &&
        kBlockAt + block.total_size() > kEmuBufSize) {  // cannot be held: no footing to be found
        c.bad_block = true;
        return EmuParse::kLost;
    }
    switch (block.status()) {
        case proto::BlockParser::Status::kNeedMore:
            return full && !block.header_done() ? EmuParse::kLost : EmuParse::kNeedMore;
        case proto::BlockParser::Status::kDone:
            c.data = p + kBlockAt + block.header_size();
            c.data_len = static_cast<size_t>(block.length());
            used = kBlockAt + static_cast<size_t>(block.consumed());
            return EmuParse::kGot;
        case proto::BlockParser::Status::kError:
            break;
    }
    return skip_to_line_end(p, n, kBlockAt + static_cast<size_t>(block.consumed()), full, c,
                            used);
}

}  // namespace

static EmuParse parse_one(const char* p, size_t n, bool full, EmuCommand& c, size_t& used);

EmuParse emu_parse(const char* p, size_t n, bool full, EmuCommand& c, size_t& used) {
    EmuParse r = parse_one(p, n, full, c, used);
    if (r == EmuParse::kGot) {
        c.raw = p;
        c.raw_len = used;
    }
    return r;
}

static EmuParse parse_one(const char* p, size_t n, bool full, EmuCommand& c, size_t& used) {
    c = EmuCommand();
    bool program = n >= kProgramPrefixLen
                       ? std::memcmp(p, kProgramPrefix, kProgramPrefixLen) == 0
                       : std::memcmp(p, kProgramPrefix, n) == 0;
    if (program) {
        if (n <= kProgramPrefixLen) return full ? EmuParse::kLost : EmuParse::kNeedMore;
        return parse_program(p, n, full, c, used);
    }

    const void* lf = std::memchr(p, '\n', n);
    if (!lf) return full ? EmuParse::kLost : EmuParse::kNeedMore;
    size_t end = static_cast<size_t>(static_cast<const char*>(lf) - p);
    used = end + 1;
    if (end > 0 && p[end - 1] == '\r') --end;
    const void* sp = std::memchr(p, proto::kArgSeparator, end);
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
