// The emulator's faults; see emu_faults.h.
#include "emu_faults.h"

#include <cstring>

namespace qvcore {

namespace {

uint64_t next_random(uint64_t& s) {  // xorshift64
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

bool has(uint32_t changed, EmulatorOptionIndex i) { return (changed & emu_option_bit(i)) != 0; }

}  // namespace

void EmuFaults::restart(uint32_t changed) {
    if (has(changed, kOpt_refuse_every)) blocks_seen_ = 0;
    if (has(changed, kOpt_drop_after)) answered_ = 0, dropped_after_ = false;
    if (has(changed, kOpt_drop_on) || has(changed, kOpt_drop_on_count)) drop_on_seen_ = 0;
    if (has(changed, kOpt_delay_command)) commands_seen_ = 0;
    if (has(changed, kOpt_corrupt_page)) reads_seen_ = 0;
}

bool EmuFaults::drop(const EmulatorOptions& o, const EmuCommand& c) {
    if (o.drop_after && !dropped_after_ && answered_ >= *o.drop_after) {
        dropped_after_ = true;
        return true;
    }
    return o.drop_on && o.drop_on->size() == c.word_len &&
           std::memcmp(o.drop_on->data(), c.word, c.word_len) == 0 &&
           ++drop_on_seen_ == o.drop_on_count;
}

bool EmuFaults::refuse_block(const EmulatorOptions& o) {
    ++blocks_seen_;
    return o.refuse_every && blocks_seen_ % o.refuse_every == 0;
}

void EmuFaults::read_page(const EmulatorOptions& o, char* page, size_t len) {
    ++reads_seen_;
    if (o.corrupt_page && reads_seen_ == o.corrupt_page && len)
        page[len / 2] = static_cast<char>(page[len / 2] ^ 0xFF);
}

void EmuFaults::answered(const EmulatorOptions& o, EmuAction& a, std::string& out,
                         uint64_t& rng) {
    ++answered_;
    ++commands_seen_;
    if (o.delay_us && (!o.delay_command || commands_seen_ == o.delay_command))
        a.delay_s += static_cast<double>(o.delay_us) * 1e-6;
    a.split = o.split_replies;
    if (o.garbage) {
        out.clear();
        size_t n = 8 + static_cast<size_t>(next_random(rng) % 9);
        out.push_back(static_cast<char>(0xFF));  // never valid in UTF-8
        for (size_t i = 1; i < n; ++i)
            out.push_back(static_cast<char>(0x80 | (next_random(rng) & 0x7F)));
    }
}

}  // namespace qvcore
