// The emulator's side of the wire: the command words it knows (in the
// order of its counters), the replies it gives besides "0" and values, and
// its incremental command parser. The wire format itself, the words and
// the block are protocol.h's; the emulator is lenient in two ways: a bare
// LF ends a line or a block as CR LF does, and a malformed block is
// answered and skipped up to the next LF.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qvcore {

// Replies other than "0" and the query values. Every line the device
// receives gets exactly one reply, so a client stays in step with it.
namespace emu_reply {
constexpr int kRefused = 1;          // block refused (refuse_every)
constexpr int kUnknown = -1;         // unknown command word (or empty line)
constexpr int kBadArgument = -2;     // missing, extra or malformed argument
constexpr int kBadBlock = -3;        // malformed or oversized program block
constexpr int kPastFlashEnd = -4;    // block would run past the end of flash
constexpr int kStoreDisabled = -5;   // beam store written while not enabled
constexpr int kNotStored = -6;       // query of a beam that is not stored
constexpr int kStoreFull = -7;       // beam table holds too many entries
constexpr int kLostFooting = -8;     // unparseable input; the connection is closed after it
}  // namespace emu_reply

// The command words the device knows, in the order of the counters.
constexpr size_t kEmuCommandCount = 24;
extern const std::array<const char*, kEmuCommandCount> kEmuCommandWords;

// A command's place in kEmuCommandWords.
enum EmuCmd : int {
    kProgram, kRead, kCtrlInit, kCfgMode, kGetId, kGetFpgaVer, kGetFwVer, kGetSn,
    kGetFeInfo, kErase, kRstPagePtr, kDone, kRefresh, kExtCtrl, kExtCtrlQ, kStoreEn,
    kStoreEnQ, kPatternErase, kApplyBfic, kStoreFbs, kStoreFbsQ, kStoreTdbs, kStoreTdbsQ,
    kReboot, kNoCommand = -1,
};

// One connection's receive buffer; a block that cannot fit in it is lost footing.
constexpr size_t kEmuBufSize = 64 * 1024;

// One command as the parser found it; the pointers point into the receive buffer.
struct EmuCommand {
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
    const char* raw = nullptr;  // the command's bytes as they arrived
    size_t raw_len = 0;
};

enum class EmuParse {
    kNeedMore,  // the command is not complete yet
    kGot,       // one command, `used` bytes long
    kLost,      // cannot be parsed at all: reply kLostFooting and close
};

// Parses the command at the start of the unread bytes `p`/`n` (n > 0);
// `full`: no more bytes fit in the buffer.
EmuParse emu_parse(const char* p, size_t n, bool full, EmuCommand& c, size_t& used);

}  // namespace qvcore
