#include "protocol.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace qvcore::proto {
namespace {

constexpr uint64_t kPow10[] = {1,         10,         100,         1000,       10000,
                               100000,    1000000,    10000000,    100000000,  1000000000};

size_t decimal_digits(uint64_t n) {
    size_t d = 1;
    while (d < 10 && n >= kPow10[d]) ++d;
    return d;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// UTF-8 white space (see trim_space): the length of the sequence that
// starts at s[i], or 0.
size_t space_at(const unsigned char* s, size_t n, size_t i) {
    unsigned char c = s[i];
    if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f)) return 1;
    if (c == 0xc2 && i + 1 < n && (s[i + 1] == 0x85 || s[i + 1] == 0xa0)) return 2;
    if (c < 0xe1 || c > 0xe3 || i + 2 >= n) return 0;
    unsigned char b = s[i + 1], t = s[i + 2];
    if (c == 0xe1) return b == 0x9a && t == 0x80 ? 3 : 0;  // U+1680
    if (c == 0xe3) return b == 0x80 && t == 0x80 ? 3 : 0;  // U+3000
    if (b == 0x80)                                          // U+2000..200A, 2028, 2029, 202F
        return (t <= 0x8a && t >= 0x80) || t == 0xa8 || t == 0xa9 || t == 0xaf ? 3 : 0;
    return b == 0x81 && t == 0x9f ? 3 : 0;                  // U+205F
}

}  // namespace

std::string_view command_word(std::string_view command) noexcept {
    size_t i = 0;
    while (i < command.size()) {
        char c = command[i];
        if (c == kArgSeparator || c == '\r' || c == '\n' || c == kBlockMark) break;
        ++i;
    }
    return command.substr(0, i);
}

bool is_slow_command(std::string_view command) noexcept {
    return starts_with(command, kFpgaErase);
}

size_t shown_word(std::string_view command, char* out) noexcept {
    const std::string_view word = command_word(command);
    const size_t n = std::min(word.size(), kShownWordMax);
    for (size_t i = 0; i < n; ++i) {
        const char c = word[i];
        out[i] = (c > ' ' && c < 0x7f) ? c : '?';
    }
    return n;
}

// --- blocks -----------------------------------------------------------------

size_t block_header(uint64_t n, char* out, size_t cap) noexcept {
    if (n > kMaxBlockLength) return 0;
    size_t d = decimal_digits(n);
    if (cap < 2 + d) return 0;
    out[0] = kBlockMark;
    out[1] = static_cast<char>('0' + d);
    for (size_t i = 2 + d; i-- > 2; n /= 10) out[i] = static_cast<char>('0' + n % 10);
    return 2 + d;
}

size_t program_header(uint64_t n, char* out, size_t cap) noexcept {
    constexpr size_t word = kProgramPrefixLen - 1;  // "FPGA_PROGRAM "
    if (n > kMaxBlockLength || cap < word + 2 + decimal_digits(n)) return 0;
    std::memcpy(out, kProgramPrefix, word);
    return word + block_header(n, out + word, cap - word);
}

size_t frame_command(std::string_view word, std::string_view arg, char* out, size_t cap) noexcept {
    const size_t n = word.size() + (arg.empty() ? 0 : 1 + arg.size()) + kEolLen;
    if (n > cap) return 0;
    char* p = out;
    std::memcpy(p, word.data(), word.size());
    p += word.size();
    if (!arg.empty()) {
        *p++ = kArgSeparator;
        std::memcpy(p, arg.data(), arg.size());
        p += arg.size();
    }
    std::memcpy(p, kEol, kEolLen);
    return n;
}

BlockParser::BlockParser(uint64_t max_length, bool bare_lf) noexcept
    : max_(std::min(max_length, kMaxBlockLength)), bare_lf_(bare_lf) {
    reset();
}

void BlockParser::reset() noexcept {
    stage_ = Stage::kMark;
    status_ = Status::kNeedMore;
    error_ = Error::kNone;
    header_done_ = false;
    digits_ = digits_left_ = 0;
    length_ = data_left_ = consumed_ = 0;
}

size_t BlockParser::fail(Error e, size_t taken) noexcept {
    stage_ = Stage::kEnd;
    error_ = e;
    status_ = Status::kError;
    return taken;
}

size_t BlockParser::feed(const char* p, size_t n) noexcept {
    size_t i = 0;
    while (i < n && stage_ != Stage::kEnd) {
        char c = p[i];
        switch (stage_) {
            case Stage::kMark:
                if (c != kBlockMark) return fail(Error::kNoMark, i);
                stage_ = Stage::kDigitCount;
                break;
            case Stage::kDigitCount:
                if (c < '1' || c > '9') return fail(Error::kBadDigitCount, i);
                digits_ = digits_left_ = static_cast<size_t>(c - '0');
                stage_ = Stage::kLength;
                break;
            case Stage::kLength:
                if (c < '0' || c > '9') return fail(Error::kBadLengthDigit, i);
                length_ = length_ * 10 + static_cast<uint64_t>(c - '0');
                --digits_left_;
                // The smallest length these leading digits can still make.
                if (length_ * kPow10[digits_left_] > max_) return fail(Error::kTooLong, i);
                if (digits_left_ == 0) {
                    header_done_ = true;
                    data_left_ = length_;
                    stage_ = length_ ? Stage::kData : Stage::kCr;
                }
                break;
            case Stage::kData: {
                uint64_t take = std::min<uint64_t>(data_left_, n - i);
                data_left_ -= take;
                i += static_cast<size_t>(take);
                consumed_ += take;
                if (data_left_ == 0) stage_ = Stage::kCr;
                continue;
            }
            case Stage::kCr:
                if (c == '\n' && bare_lf_) {
                    stage_ = Stage::kEnd;
                    status_ = Status::kDone;
                    break;
                }
                if (c != '\r') return fail(Error::kBadTerminator, i);
                stage_ = Stage::kLf;
                break;
            case Stage::kLf:
                if (c != '\n') return fail(Error::kBadTerminator, i);
                stage_ = Stage::kEnd;
                status_ = Status::kDone;
                break;
            case Stage::kEnd:
                break;
        }
        ++i;
        ++consumed_;
    }
    return i;
}

const char* BlockParser::error_text(Error e) noexcept {
    switch (e) {
        case Error::kNone: return "no error";
        case Error::kNoMark: return "no '#' at its start";
        case Error::kBadDigitCount: return "a digit count other than 1..9";
        case Error::kBadLengthDigit: return "a length that is not a decimal number";
        case Error::kTooLong: return "a length over the limit";
        case Error::kBadTerminator: return "no CR LF after its data";
    }
    return "an unknown error";
}

// --- replies ----------------------------------------------------------------

std::string_view trim_space(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t b = 0, e = text.size();
    while (b < e) {
        size_t k = space_at(s, e, b);
        if (!k) break;
        b += k;
    }
    // From the end: a sequence of one to three bytes that ends there. A lead
    // byte always starts a character, so the suffix is decoded as it would
    // be from the front.
    while (e > b) {
        size_t k = 0;
        for (size_t len = 1; len <= 3 && len <= e - b && !k; ++len)
            if (space_at(s, e, e - len) == len) k = len;
        if (!k) break;
        e -= k;
    }
    return text.substr(b, e - b);
}

bool reply_accepted(std::string_view reply) noexcept {
    if (reply.size() == 1) return reply[0] == '0';
    std::string_view t = trim_space(reply);
    return t.size() == 1 && t[0] == '0';
}

// --- link failures ----------------------------------------------------------

std::string seconds_text(double seconds) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, seconds);
    std::string t(buf, r.ptr);
    if (t.find_first_of(".en") == std::string::npos) t += ".0";
    return t;
}

std::string link_failure(LinkFailure failure, const FailureContext& c) {
    const std::string link(c.link), cmd(c.command);
    const std::string awaited = cmd.empty() ? std::string("a reply") : "the reply to " + cmd;
    const std::string to = cmd.empty() ? std::string() : " to " + cmd;
    const std::string within = " within " + seconds_text(c.seconds) + " s";
    const std::string count = std::to_string(c.count);
    switch (failure) {
    case LinkFailure::kClosed: return "link to " + link + " is closed";
    case LinkFailure::kNotConnected: return "link to " + link + " is closed: it is not connected yet";
    case LinkFailure::kNoReply: return "no reply from " + link + to + within;
    case LinkFailure::kIncompleteReply:
        return "incomplete reply from " + link + to + within + " (" + count + " bytes received)";
    case LinkFailure::kSendTimeout:
        return "could not send " + cmd + " to " + link + within + " (the device is not reading)";
    case LinkFailure::kPeerClosedWaiting:
        return link + " closed the connection while waiting for " + awaited;
    case LinkFailure::kPeerClosedSending:
        return link + " closed the connection while " + cmd + " was being sent";
    case LinkFailure::kResetWaiting:
        return "connection to " + link + " was reset while waiting for " + awaited;
    case LinkFailure::kReplyTooLong:
        return "reply from " + link + " to " + cmd + " is longer than " + count + " bytes";
    case LinkFailure::kBlockTooLong:
        return "reply from " + link + " to " + cmd + " announces a block of more than the limit of " +
               count + " bytes";
    case LinkFailure::kBadBlockEnd:
        return "malformed reply from " + link + " to " + cmd + ": its block of " + count +
               " bytes is not followed by CR LF";
    case LinkFailure::kSendFailed: return "sending " + cmd + " to " + link + " failed: " + std::string(c.why);
    case LinkFailure::kRecvFailed:
        return "receiving " + awaited + " from " + link + " failed: " + std::string(c.why);
    }
    return "link to " + link + " failed";
}

}  // namespace qvcore::proto
