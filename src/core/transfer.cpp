#include "transfer.h"

#include <algorithm>
#include <cstring>

namespace qvcore {

Transfer::Transfer(std::string_view erase_selector, uint64_t max_attempts, size_t window)
    : erase_(erase_selector),
      max_attempts_(std::max<uint64_t>(max_attempts, 1)),
      window_(std::clamp<size_t>(window, 1, kMaxWindow)),
      phase_(erase_.empty() ? Phase::kReset1 : Phase::kErase),
      ring_(window_) {}

std::string_view Transfer::erase_selector_for(long long device_type) noexcept {
    if (device_type == 28) return proto::kErase14;
    if (device_type == 32) return proto::kErase12;
    return {};
}

Transfer::Step Transfer::command_step(Phase p) noexcept {
    switch (p) {
    case Phase::kErase: return Step::kErase;
    case Phase::kReset1:
    case Phase::kReset2: return Step::kResetPointer;
    case Phase::kProgram: return Step::kProgram;
    case Phase::kRead: return Step::kRead;
    case Phase::kDone: return Step::kDone;
    case Phase::kRefresh: return Step::kRefresh;
    default: return Step::kAwaitReply;
    }
}

// With commands in flight, only more blocks or pages may follow them, and
// only while the window has room.
bool Transfer::may_send_more() const noexcept {
    if (count_ == 0) return true;
    if (window_ == 1 || count_ >= window_ || draining_) return false;
    if (phase_ == Phase::kProgram || phase_ == Phase::kNeedBlock) return true;
    return phase_ == Phase::kRead && requested_ * proto::kPageSize < sent_;
}

Transfer::Step Transfer::next() noexcept {
    if (!may_send_more()) return Step::kAwaitReply;
    switch (phase_) {
    case Phase::kWriteBegin: phase_ = Phase::kNeedBlock; return Step::kWriteBegin;
    case Phase::kNeedBlock: return Step::kNeedBlock;
    case Phase::kWriteEnd: phase_ = Phase::kReset2; return Step::kWriteEnd;
    case Phase::kVerifyEnd: phase_ = Phase::kDone; return Step::kVerifyEnd;
    case Phase::kFinished: return Step::kFinished;
    case Phase::kRefused: return Step::kRefused;
    case Phase::kWindowFallback: return Step::kWindowFallback;
    default: return command_step(phase_);
    }
}

void Transfer::mark_sent() noexcept {
    if (command_step(phase_) == Step::kAwaitReply || count_ >= window_) return;
    ring_[(head_ + count_) % window_] = {phase_, static_cast<uint8_t>(block_len_)};
    ++count_;
    if (phase_ == Phase::kRead) ++requested_;
    // Inside a window the next block may follow at once; with none, the
    // block stays in hand until its reply, to be sent again if refused.
    if (phase_ == Phase::kProgram && window_ > 1) phase_ = Phase::kNeedBlock;
}

Transfer::Step Transfer::awaiting() const noexcept {
    return command_step(count_ ? ring_[head_].kind : phase_);
}

Transfer::Flight Transfer::pop() noexcept {
    if (count_ == 0) return {phase_, static_cast<uint8_t>(block_len_)};
    Flight f = ring_[head_];
    head_ = (head_ + 1) % window_;
    --count_;
    return f;
}

void Transfer::end_verify() noexcept {
    r_digest_ = r_hasher_.finish_hex();
    verified_ = r_digest_ == w_digest_;
    phase_ = Phase::kVerifyEnd;
}

void Transfer::acknowledge() noexcept {
    pop();
    switch (phase_) {
    case Phase::kErase: phase_ = Phase::kReset1; break;
    case Phase::kReset1: phase_ = Phase::kWriteBegin; break;
    // One page per started block written: none for an empty image.
    case Phase::kReset2:
        if (sent_ > 0) phase_ = Phase::kRead;
        else end_verify();
        break;
    case Phase::kDone: phase_ = Phase::kRefresh; break;
    case Phase::kRefresh: phase_ = Phase::kFinished; break;
    default: break;
    }
}

void Transfer::block(const void* data, size_t n) noexcept {
    if (phase_ != Phase::kNeedBlock) return;
    if (n == 0) {
        w_digest_ = w_hasher_.finish_hex();
        phase_ = Phase::kWriteEnd;
        return;
    }
    block_len_ = std::min(n, sizeof block_);
    std::memcpy(block_, data, block_len_);
    w_hasher_.update(block_, block_len_);
    attempts_ = 0;
    phase_ = Phase::kProgram;
}

// The reply to the oldest of several blocks in flight. Accepted blocks
// count in order; the first refusal stops the sending, and the blocks
// behind it, whatever their replies, count for nothing.
Transfer::Reply Transfer::windowed_reply(const Flight& f, bool accepted) noexcept {
    Reply r = Reply::kFallback;
    if (!accepted) ++refused_;
    if (draining_) {
    } else if (accepted) {
        sent_ += f.len;
        attempts_ = 1;
        r = Reply::kAccepted;
    } else {
        draining_ = true;
    }
    if (draining_ && count_ == 0) phase_ = Phase::kWindowFallback;
    return r;
}

Transfer::Reply Transfer::program_reply(bool accepted) noexcept {
    if (count_ && ring_[head_].kind == Phase::kProgram && window_ > 1) {
        return windowed_reply(pop(), accepted);
    }
    if (phase_ != Phase::kProgram) return Reply::kRefused;
    pop();
    ++attempts_;
    if (accepted) {
        sent_ += block_len_;
        phase_ = Phase::kNeedBlock;
        return Reply::kAccepted;
    }
    ++refused_;
    if (attempts_ >= max_attempts_) {
        phase_ = Phase::kRefused;
        return Reply::kRefused;
    }
    return Reply::kResend;
}

void Transfer::page(const void* data, size_t n) noexcept {
    if (phase_ != Phase::kRead) return;
    pop();
    r_hasher_.update(data, n);
    read_ += proto::kPageSize;
    if (read_ >= sent_) end_verify();
}

size_t Transfer::frame(char* out, size_t cap) const noexcept {
    std::string_view word, arg;
    switch (phase_) {
    case Phase::kErase: word = proto::kFpgaErase; arg = erase_; break;
    case Phase::kReset1:
    case Phase::kReset2: word = proto::kFpgaRstPagePtr; arg = proto::kSectionCfg; break;
    case Phase::kRead: word = proto::kFpgaRead; break;
    case Phase::kDone: word = proto::kFpgaDone; break;
    case Phase::kRefresh: word = proto::kFpgaRefresh; break;
    case Phase::kProgram: {
        size_t h = proto::program_header(block_len_, out, cap);
        if (h == 0 || cap - h < block_len_ + proto::kEolLen) return 0;
        std::memcpy(out + h, block_, block_len_);
        std::memcpy(out + h + block_len_, proto::kEol, proto::kEolLen);
        return h + block_len_ + proto::kEolLen;
    }
    default: return 0;
    }
    return proto::frame_command(word, arg, out, cap);
}

}  // namespace qvcore
