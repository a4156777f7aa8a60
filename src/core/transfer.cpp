#include "transfer.h"

#include <algorithm>
#include <cstring>

namespace qvcore {

Transfer::Transfer(std::string_view erase_selector, uint64_t max_attempts)
    : erase_(erase_selector),
      max_attempts_(std::max<uint64_t>(max_attempts, 1)),
      phase_(erase_.empty() ? Phase::kReset1 : Phase::kErase) {}

std::string_view Transfer::erase_selector_for(long long device_type) noexcept {
    if (device_type == 28) return proto::kErase14;
    if (device_type == 32) return proto::kErase12;
    return {};
}

Transfer::Step Transfer::next() noexcept {
    switch (phase_) {
    case Phase::kErase: return Step::kErase;
    case Phase::kReset1: return Step::kResetPointer;
    case Phase::kWriteBegin: phase_ = Phase::kNeedBlock; return Step::kWriteBegin;
    case Phase::kNeedBlock: return Step::kNeedBlock;
    case Phase::kProgram: return Step::kProgram;
    case Phase::kWriteEnd: phase_ = Phase::kReset2; return Step::kWriteEnd;
    case Phase::kReset2: return Step::kResetPointer;
    case Phase::kRead: return Step::kRead;
    case Phase::kVerifyEnd: phase_ = Phase::kDone; return Step::kVerifyEnd;
    case Phase::kDone: return Step::kDone;
    case Phase::kRefresh: return Step::kRefresh;
    case Phase::kFinished: return Step::kFinished;
    case Phase::kRefused: return Step::kRefused;
    }
    return Step::kFinished;
}

void Transfer::acknowledge() noexcept {
    switch (phase_) {
    case Phase::kErase: phase_ = Phase::kReset1; break;
    case Phase::kReset1: phase_ = Phase::kWriteBegin; break;
    // One page per started block written: none for an empty image.
    case Phase::kReset2: phase_ = sent_ > 0 ? Phase::kRead : Phase::kVerifyEnd; break;
    case Phase::kDone: phase_ = Phase::kRefresh; break;
    case Phase::kRefresh: phase_ = Phase::kFinished; break;
    default: break;
    }
    if (phase_ == Phase::kVerifyEnd) {
        r_digest_ = r_hasher_.finish_hex();
        verified_ = r_digest_ == w_digest_;
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

Transfer::Reply Transfer::program_reply(bool accepted) noexcept {
    if (phase_ != Phase::kProgram) return Reply::kRefused;
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
    r_hasher_.update(data, n);
    read_ += proto::kPageSize;
    if (read_ >= sent_) {
        r_digest_ = r_hasher_.finish_hex();
        verified_ = r_digest_ == w_digest_;
        phase_ = Phase::kVerifyEnd;
    }
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
