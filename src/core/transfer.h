// The image transfer as a state machine: erase, page pointer reset, the
// image in 16-byte program blocks (a refused block sent again at once, up to
// a bound), page pointer reset, one read per started block, the digest
// comparison, done and refresh. It does no I/O and knows nothing of Python:
// a driver asks next() what comes, sends that command (or handles that
// event) its own way and feeds the reply back. FpgaTool's engine drives it
// through the tool's own command methods, one device at a time; the fleet
// driver drives many at once over non-blocking sockets. Both send the same
// commands in the same order because this is the only place that orders
// them.
//
// The window: a driver that calls mark_sent() for each command it sends
// lets the machine keep up to `window` program or read commands in flight,
// their replies matched in order (the oldest first). The erase, the pointer
// resets, done and refresh always wait for their reply. With a window of
// 1 the commands and their order are exactly those of a driver that waits
// for every reply. A refused block inside a larger window cannot be sent
// again in place (the blocks behind it have gone to the device already and
// land one place early): the machine sends nothing more, takes the replies
// still in flight and ends with kWindowFallback, for the caller to run the
// transfer again from its erase with a window of 1. A block written out of
// place can still never verify: the read-back digest covers the whole image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "protocol.h"

namespace qvcore {

class Transfer {
public:
    enum class Step : uint8_t {
        // Commands: send, then feed the reply.
        kErase,         // FPGA_ERASE erase_selector(); then acknowledge()
        kResetPointer,  // FPGA_RST_PAGE_PTR CFG; then acknowledge()
        kProgram,       // FPGA_PROGRAM with block(); then program_reply()
        kRead,          // FPGA_READ; then page()
        kDone,          // FPGA_DONE; then acknowledge()
        kRefresh,       // FPGA_REFRESH; then acknowledge()
        // Events: nothing is sent; the next call of next() moves on.
        kWriteBegin,    // the erase and the reset are done ("write", 0, 0)
        kWriteEnd,      // the last block was accepted: w_digest() is known
        kVerifyEnd,     // the last page was read: r_digest(), verified()
        // Asks for the next block of the image: feed it with block().
        kNeedBlock,
        // Nothing may be sent until the reply to the oldest command in
        // flight (awaiting()) has been fed.
        kAwaitReply,
        // Ends: kFinished after refresh, verified() is the result;
        // kRefused when the block at block_offset() was refused
        // max_attempts times in a row (nothing further is sent).
        // kWindowFallback: a block was refused inside a window; every reply
        // in flight has been taken and nothing further is sent.
        kFinished,
        kRefused,
        kWindowFallback,
    };

    // kFallback: a refusal inside a window, or a reply taken after one.
    enum class Reply : uint8_t { kAccepted, kResend, kRefused, kFallback };

    static constexpr size_t kMaxWindow = 256;

    // `erase_selector`: the argument of FPGA_ERASE, or empty for no erase.
    // `max_attempts`: the sends allowed for one block (at least 1).
    // `window`: the program or read commands that may be in flight at once
    // (1..kMaxWindow; clamped).
    Transfer(std::string_view erase_selector, uint64_t max_attempts, size_t window = 1);

    // "14" for device type 28, "12" for 32, "" (no erase) for any other.
    static std::string_view erase_selector_for(long long device_type) noexcept;

    Step next() noexcept;

    // The command of the current step has gone to the device: it is in
    // flight until its reply is fed. A driver that never calls it sends
    // one command at a time, as next() names them.
    void mark_sent() noexcept;
    // The command whose reply comes next: the oldest in flight, or the
    // current step when nothing is (kRead replies are blocks, the others lines).
    Step awaiting() const noexcept;
    size_t in_flight() const noexcept { return count_; }
    size_t window() const noexcept { return window_; }

    // The reply to kErase, kResetPointer, kDone or kRefresh arrived (it is
    // not examined).
    void acknowledge() noexcept;
    // kNeedBlock: the next block, 1..16 bytes (copied), or n == 0 at the
    // end of the image. The block is digested here, before it is sent.
    void block(const void* data, size_t n) noexcept;
    // The device's verdict on the block just sent (the reply rule of
    // protocol.h, applied by the driver).
    Reply program_reply(bool accepted) noexcept;
    // One read-back page, digested whole as it came.
    void page(const void* data, size_t n) noexcept;

    // The total the driver reports for the write stage (the image size);
    // the machine itself only counts what was accepted.
    std::string_view erase_selector() const noexcept { return erase_; }
    const uint8_t* block_data() const noexcept { return block_; }
    size_t block_size() const noexcept { return block_len_; }
    uint64_t block_offset() const noexcept { return sent_; }  // of the block in hand
    uint64_t attempts() const noexcept { return attempts_; }  // sends of the block in hand
    uint64_t refused() const noexcept { return refused_; }    // refused sends in all
    uint64_t sent() const noexcept { return sent_; }          // accepted bytes
    uint64_t read() const noexcept { return read_; }          // 16 per page read
    const std::string& w_digest() const noexcept { return w_digest_; }
    const std::string& r_digest() const noexcept { return r_digest_; }
    bool verified() const noexcept { return verified_; }

    // Writes the command of the current step (kErase, kResetPointer,
    // kProgram, kRead, kDone, kRefresh) as it goes on the wire, CR LF
    // included, to out[0..cap). Returns its length; cap >= kMaxCommand
    // always suffices. 0 for any other step.
    static constexpr size_t kMaxCommand = 64;
    size_t frame(char* out, size_t cap) const noexcept;

private:
    enum class Phase : uint8_t {
        kErase, kReset1, kWriteBegin, kNeedBlock, kProgram, kWriteEnd,
        kReset2, kRead, kVerifyEnd, kDone, kRefresh, kFinished, kRefused,
        kWindowFallback,
    };
    // A command in flight: what it was, and a block's length.
    struct Flight {
        Phase kind;
        uint8_t len;
    };

    static Step command_step(Phase p) noexcept;
    bool may_send_more() const noexcept;
    Flight pop() noexcept;  // the oldest in flight (none: the current step's)
    Reply windowed_reply(const Flight& f, bool accepted) noexcept;
    void end_verify() noexcept;

    std::string erase_;
    uint64_t max_attempts_;
    size_t window_;
    Phase phase_;
    std::vector<Flight> ring_;  // the commands in flight, `window_` places
    size_t head_ = 0, count_ = 0;
    uint64_t requested_ = 0;  // pages asked for
    bool draining_ = false;   // a block was refused inside the window
    uint8_t block_[proto::kPageSize] = {};
    size_t block_len_ = 0;
    uint64_t attempts_ = 0, refused_ = 0, sent_ = 0, read_ = 0;
    Sha256 w_hasher_, r_hasher_;
    std::string w_digest_, r_digest_;
    bool verified_ = false;
};

}  // namespace qvcore
