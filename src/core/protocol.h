// The device protocol in one place: the command words, the definite-length
// block that carries binary data, and the rule that says whether a reply
// accepts a command. The link, the emulator, the FPGA code and the
// benchmarks' raw client all take these from here.
//
// Wire format. A command is one line ending in CR LF: a command word, and
// for most commands one space and an argument. FPGA_PROGRAM carries a
// definite-length block instead of a text argument:
//
//     FPGA_PROGRAM #216<16 raw bytes>\r\n
//
// A block is "#", one digit d (1..9), d decimal digits giving the length n,
// then n raw bytes (which may hold CR LF), then CR LF. It is always read by
// its length, never by line. FPGA_READ answers with a block ("#2" + two
// length digits + the page); every other reply is one line ending in CR LF.
//
// Nothing here touches Python; only the wording of link failures allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvcore::proto {

// --- command words ------------------------------------------------------------
// The words as they go on the wire. A command is the word, optionally one
// space and its argument, then kEol. Queries of the fast-beam settings are
// the word followed by kQueryMark ("ExtCtrl_EN?"); the *Query constants
// spell them out.

// FPGA image transfer and device identity.
inline constexpr char kFpgaProgram[] = "FPGA_PROGRAM";        // + " " + block
inline constexpr char kFpgaRead[] = "FPGA_READ";              // answers a block
inline constexpr char kFpgaCtrlInit[] = "FPGA_CTRL_INIT";
inline constexpr char kFpgaCfgMode[] = "FPGA_CFG_MODE";       // + " " + mode
inline constexpr char kFpgaGetId[] = "FPGA_GET_ID";
inline constexpr char kGetFpgaVer[] = "GET_FPGA_VER";
inline constexpr char kGetFwVer[] = "GET_FW_VER";
inline constexpr char kGetSn[] = "GET_SN";
inline constexpr char kGetFeInfo[] = "GET_FE_INFO";           // answers a JSON object
inline constexpr char kFpgaErase[] = "FPGA_ERASE";            // + " " + kErase*; slow
inline constexpr char kFpgaRstPagePtr[] = "FPGA_RST_PAGE_PTR";  // + " " + kSectionCfg
inline constexpr char kFpgaDone[] = "FPGA_DONE";
inline constexpr char kFpgaRefresh[] = "FPGA_REFRESH";

// Arguments of the transfer commands.
inline constexpr char kErase12[] = "12";
inline constexpr char kErase14[] = "14";
inline constexpr char kSectionCfg[] = "CFG";

// Fast beam switching.
inline constexpr char kExtCtrlEn[] = "ExtCtrl_EN";
inline constexpr char kExtCtrlEnQuery[] = "ExtCtrl_EN?";
inline constexpr char kBeamPatternStoreEn[] = "BEAM_PATTERN_STORE_EN";
inline constexpr char kBeamPatternStoreEnQuery[] = "BEAM_PATTERN_STORE_EN?";
inline constexpr char kBeamPatternErase[] = "BEAM_PATTERN_ERASE";
inline constexpr char kBeamPatternApplyBfic[] = "BEAM_PATTERN_APPLY_BFIC";
inline constexpr char kBeamPatternStoreFbsBeam[] = "BEAM_PATTERN_STORE_FBS_BEAM";
inline constexpr char kBeamPatternStoreFbsBeamQuery[] = "BEAM_PATTERN_STORE_FBS_BEAM?";
inline constexpr char kBeamPatternStoreTdbsBeam[] = "BEAM_PATTERN_STORE_TDBS_BEAM";
inline constexpr char kBeamPatternStoreTdbsBeamQuery[] = "BEAM_PATTERN_STORE_TDBS_BEAM?";
inline constexpr char kReboot[] = "REBOOT";

inline constexpr char kQueryMark = '?';
inline constexpr char kArgSeparator = ' ';
inline constexpr char kEol[] = "\r\n";
inline constexpr size_t kEolLen = 2;

// The bytes of one FPGA_PROGRAM block and of one FPGA_READ page: an image is
// written in blocks of this size (the last one may be shorter) and read back
// a page per block.
inline constexpr size_t kPageSize = 16;

// "FPGA_PROGRAM #": what a program command starts with, up to its block.
inline constexpr char kProgramPrefix[] = "FPGA_PROGRAM #";
inline constexpr size_t kProgramPrefixLen = sizeof kProgramPrefix - 1;

// The command word of `command`: its bytes up to the first space, CR, LF
// or '#' (exclusive), or all of it. "FPGA_ERASE 12\r\n" gives "FPGA_ERASE";
// a query keeps its mark: "ExtCtrl_EN?\r\n" gives "ExtCtrl_EN?". The view
// points into `command`.
std::string_view command_word(std::string_view command) noexcept;

// True for a command the device may take long to answer, which a client
// waits for with its slow time-out: one that starts with "FPGA_ERASE".
bool is_slow_command(std::string_view command) noexcept;

// The command word as messages show it: at most kShownWordMax bytes of it,
// each byte that is not printable ASCII (space included) shown as '?'.
// Writes to out[0..kShownWordMax) and returns the length.
inline constexpr size_t kShownWordMax = 40;
size_t shown_word(std::string_view command, char* out) noexcept;

// --- the definite-length block ------------------------------------------------

inline constexpr char kBlockMark = '#';
// The longest length a block can announce: nine digits.
inline constexpr uint64_t kMaxBlockLength = 999'999'999;
// The longest block header ("#9" + nine digits) and the longest
// "FPGA_PROGRAM #..." header; buffers of these sizes always suffice.
inline constexpr size_t kMaxBlockHeader = 2 + 9;
inline constexpr size_t kMaxProgramHeader = kProgramPrefixLen - 1 + kMaxBlockHeader;

// Writes the block header "#<d><n>" for an n-byte payload to out[0..cap):
// "#216" for 16 bytes, "#10" for none. Returns the number of bytes written
// (2 + d), or 0, writing nothing, when n > kMaxBlockLength or the header
// does not fit in `cap` bytes. No allocation; no terminating NUL.
size_t block_header(uint64_t n, char* out, size_t cap) noexcept;

// Writes "FPGA_PROGRAM #<d><n>", the start of a program command for an
// n-byte block, to out[0..cap); the caller appends the n bytes and kEol.
// Returns the number of bytes written (at most kMaxProgramHeader), or 0,
// writing nothing, when n > kMaxBlockLength or it does not fit.
size_t program_header(uint64_t n, char* out, size_t cap) noexcept;

// Writes the command `word` CR LF, or `word` SP `arg` CR LF when `arg` is
// not empty, to out[0..cap). Returns its length, or 0, writing nothing,
// when it does not fit.
size_t frame_command(std::string_view word, std::string_view arg, char* out, size_t cap) noexcept;

// An incremental parser of one block, "#", d, d digits, n bytes, CR LF, fed
// the bytes as they arrive, split anywhere. It keeps no copy of anything: the
// caller keeps the bytes, and the parser tells it where the block's parts
// are (offsets from the block's first byte) and how long the whole block
// will be as soon as the header is complete, so the caller can wait for or
// reserve exactly that much. It refuses a header the moment an offending
// byte arrives: a first byte other than '#', a digit count other than 1..9,
// a length digit that is not a digit, or a length that is sure to exceed the
// caller's maximum (known from the leading digits already, "#72..." against
// a 1 MiB maximum after its third byte); so no buffer ever grows for a
// block that will be refused.
class BlockParser {
public:
    enum class Status {
        kNeedMore,  // everything fed so far fits a block; feed more
        kDone,      // the block and its terminator are complete
        kError,     // refused; see error() and consumed()
    };
    enum class Error {
        kNone,
        kNoMark,          // the first byte is not '#'
        kBadDigitCount,   // the byte after '#' is not 1..9
        kBadLengthDigit,  // a length byte is not 0..9
        kTooLong,         // the length exceeds the maximum
        kBadTerminator,   // the n data bytes are not followed by CR LF
    };

    // `max_length`: the longest payload accepted (values above
    // kMaxBlockLength act as kMaxBlockLength). `bare_lf`: also take a lone
    // LF as the terminator (a lenient reader of commands); by default only
    // CR LF ends a block.
    explicit BlockParser(uint64_t max_length, bool bare_lf = false) noexcept;

    // Forgets everything fed; the next feed starts a new block.
    void reset() noexcept;

    // Takes the next `n` bytes of the stream (those after the ones fed
    // before). Returns how many of them belong to the block: all of them
    // while the status stays kNeedMore; on kDone, up to and including the
    // terminator (the rest belong to whatever follows); on kError, those
    // before the offending byte. Once the status is kDone or kError, feeding
    // takes nothing until reset(). Data bytes are skipped in one step,
    // whatever their number.
    size_t feed(const char* p, size_t n) noexcept;

    Status status() const noexcept { return status_; }
    Error error() const noexcept { return error_; }
    // Bytes of the block taken so far. On kError the offending byte is the
    // one at this offset from the block's start.
    uint64_t consumed() const noexcept { return consumed_; }

    // Once the header is complete (after "#", d and the d digits):
    bool header_done() const noexcept { return header_done_; }
    size_t header_size() const noexcept { return 2 + digits_; }  // offset of the data
    uint64_t length() const noexcept { return length_; }         // n
    // The whole block with a CR LF terminator: header + n + 2. With a lone
    // LF accepted, the block may end one byte earlier; consumed() on kDone
    // is exact.
    uint64_t total_size() const noexcept { return header_size() + length_ + kEolLen; }

    // A short English phrase for an error ("a bad length digit").
    static const char* error_text(Error e) noexcept;

private:
    enum class Stage : uint8_t { kMark, kDigitCount, kLength, kData, kCr, kLf, kEnd };
    size_t fail(Error e, size_t taken) noexcept;  // returns `taken`

    uint64_t max_;
    bool bare_lf_;
    Stage stage_;
    Status status_;
    Error error_;
    bool header_done_;
    size_t digits_;        // d, once known
    size_t digits_left_;   // length digits still to come
    uint64_t length_;      // n, or its leading digits while they arrive
    uint64_t data_left_;   // data bytes still to come
    uint64_t consumed_;
};

// --- replies ------------------------------------------------------------------

// The white space that the reply rule trims: what Python's str.strip()
// removes, in UTF-8 (ASCII \t \n \v \f \r, 0x1c..0x1f and space, and the
// Unicode spaces such as U+00A0 and U+3000). Trimming the raw bytes thus
// gives the same answer as trimming their UTF-8 decoding.
std::string_view trim_space(std::string_view text) noexcept;

// The reply rule: a command that sets something is accepted when its reply,
// trimmed of white space at both ends, is exactly "0". Anything else,
// including the empty reply and a non-zero number, is a refusal.
bool reply_accepted(std::string_view reply) noexcept;

// The page of an FPGA_READ reply as the tool takes it: the reply without
// the four bytes of its "#2nn" header and its CR LF; nothing at all from a
// reply of six bytes or fewer. The view points into `reply`.
constexpr std::string_view read_page(std::string_view reply) noexcept {
    return reply.size() > 6 ? reply.substr(4, reply.size() - 6) : std::string_view();
}

// --- link failures ----------------------------------------------------------
// Every link words its failures alike, so that a failure reads the same
// whatever carries the commands.

enum class LinkFailure : uint8_t {
    kClosed,             // "link to L is closed"
    kNotConnected,       // "link to L is closed: it is not connected yet"
    kNoReply,            // "no reply from L to C within S s"
    kIncompleteReply,    // "incomplete reply from L to C within S s (N bytes received)"
    kSendTimeout,        // "could not send C to L within S s (the device is not reading)"
    kPeerClosedWaiting,  // "L closed the connection while waiting for the reply to C"
    kPeerClosedSending,  // "L closed the connection while C was being sent"
    kResetWaiting,       // "connection to L was reset while waiting for the reply to C"
    kReplyTooLong,       // "reply from L to C is longer than N bytes"
    kBlockTooLong,       // "reply from L to C announces a block of more than the limit of N bytes"
    kBadBlockEnd,        // "malformed reply from L to C: its block of N bytes is not followed by CR LF"
    kSendFailed,         // "sending C to L failed: W"
    kRecvFailed,         // "receiving the reply to C from L failed: W"
};

struct FailureContext {
    std::string_view link;     // how the device is named: "host:port", a resource
    std::string_view command;  // the shown word of the command, or empty
    double seconds = 0;        // the time-out that ran out
    uint64_t count = 0;        // bytes received, a limit, a block's length
    std::string_view why;      // the system's words for the cause
};

std::string link_failure(LinkFailure failure, const FailureContext& c);

// A time-out as it was given: 0.2 -> "0.2", 120 -> "120.0".
std::string seconds_text(double seconds);

}  // namespace qvcore::proto
