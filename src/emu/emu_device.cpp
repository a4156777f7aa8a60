// The emulated device; see emu_device.h.
#include "emu_device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "emu_beams.h"
#include "emu_fields.h"
#include "protocol.h"

namespace qvcore {

namespace {

using namespace emu;

using proto::kPageSize;

}  // namespace

EmuDevice::EmuDevice(const EmulatorOptions& options) : opt_(options) {
    if (options.flash_size == 0) throw std::invalid_argument("flash_size must be at least 1");
    flash_.reset(new uint8_t[options.flash_size]);  // untouched pages cost nothing
    st_.fpga_version = options.fpga_version;
}

EmulatorOptions EmuDevice::options() const {
    EmulatorOptions o = opt_;
    o.fpga_version = st_.fpga_version;
    return o;
}

void EmuDevice::set_options(const EmulatorOptions& o, uint32_t changed) {
#define QV_EMU_SET_OPTION(name, type, dflt, minimum, traits, ...) \
    if ((changed & emu_option_bit(kOpt_##name)) && !((traits) & kOptFixed)) opt_.name = o.name;
    QV_EMULATOR_OPTIONS(QV_EMU_SET_OPTION)
#undef QV_EMU_SET_OPTION
    if (changed & emu_option_bit(kOpt_fpga_version)) st_.fpga_version = o.fpga_version;
    if (changed & emu_option_bit(kOpt_fault_connections)) fault_conn_base_ = connections_made_;
    faults_.restart(changed);
}

EmuAction EmuDevice::answer(const EmuCommand& c, bool lost, std::string& out, uint64_t& rng,
                            uint64_t conn) {
    EmuAction a;
    if (opt_.record_commands && c.raw) log_.emplace_back(c.raw, c.raw_len);
    faulty_ = !opt_.fault_connections ||
              (conn > fault_conn_base_ && conn - fault_conn_base_ <= *opt_.fault_connections);
    if (faulty_ && faults_.drop(opt_, c)) {
        ++ctr_.dropped;
        a.drop = true;
        return a;
    }
    if (c.cmd >= 0) ++ctr_.commands[static_cast<size_t>(c.cmd)];
    else ++ctr_.unknown;
    out.clear();
    if (lost) {
        if (c.cmd == kProgram) ++ctr_.blocks_refused;
        ++ctr_.dropped;
        put_int(out, emu_reply::kLostFooting);
    } else {
        a.delay_s = execute(c, out);
    }
    if (faulty_) faults_.answered(opt_, a, out, rng);
    a.busy_s = static_cast<double>(opt_.busy_us) * 1e-6;
    a.link_s = static_cast<double>(opt_.latency_us) * 1e-6;
    out.append(proto::kEol);
    return a;
}

int EmuDevice::program(const EmuCommand& c) {
    if (faulty_ && faults_.refuse_block(opt_)) return emu_reply::kRefused;
    uint64_t n = c.data_len;
    uint64_t& programmed = st_.programmed_length;
    uint64_t at = st_.program_pointer;
    if (at > opt_.flash_size || n > opt_.flash_size - at) return emu_reply::kPastFlashEnd;
    uint8_t* f = flash_.get();
    const auto* d = reinterpret_cast<const uint8_t*>(c.data);
    if (at > programmed) {  // the gap between reads as erased
        std::memset(f + programmed, 0xFF, static_cast<size_t>(at - programmed));
        programmed = at;
    }
    // Programming can only clear bits, as in NOR flash: bytes written
    // before without an erase in between come out as old AND new.
    uint64_t overlap = std::min<uint64_t>(n, programmed - at);
    for (uint64_t i = 0; i < overlap; ++i) f[at + i] &= d[i];
    if (n > overlap) std::memcpy(f + at + overlap, d + overlap, static_cast<size_t>(n - overlap));
    st_.program_pointer = at + n;
    programmed = std::max(programmed, st_.program_pointer);
    return 0;
}

void EmuDevice::read_page(std::string& out) {
    uint64_t& ptr = st_.read_pointer;
    size_t len = 0;
    if (ptr < st_.programmed_length)
        len = static_cast<size_t>(std::min<uint64_t>(kPageSize, st_.programmed_length - ptr));
    out.append("#2");
    out.push_back(static_cast<char>('0' + len / 10));
    out.push_back(static_cast<char>('0' + len % 10));
    size_t at = out.size();
    if (len) out.append(reinterpret_cast<const char*>(flash_.get() + ptr), len);
    ptr += kPageSize;
    if (len) ++ctr_.pages_read;
    if (faulty_) faults_.read_page(opt_, &out[at], len);
}

void EmuDevice::fe_info(std::string& out) const {
    if (opt_.fe_info) {
        out.append(*opt_.fe_info);
        return;
    }
    out.append("{\"fe0\": {\"fpga_ver\": ");
    put_json_string(out, st_.fpga_version);
    out.append(", \"fw_ver\": ");
    put_json_string(out, opt_.fw_version);
    out.append(", \"fpga_id\": ");
    put_json_string(out, opt_.fpga_id);
    out.append(", \"sn\": ");
    put_json_string(out, opt_.serial);
    out.append("}}");
}

// Runs one command and writes its reply (without CR LF) to `out`.
// Returns extra seconds the reply takes (an erase).
double EmuDevice::execute(const EmuCommand& c, std::string& out) {
    if (emu_is_beam_command(c.cmd)) {
        emu_beam_command(st_, c, out);
        return 0;
    }
    int rc = 0;
    switch (c.cmd) {
        case kProgram:
            rc = c.bad_block ? emu_reply::kBadBlock : program(c);
            if (rc) ++ctr_.blocks_refused;
            break;
        case kRead:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            read_page(out);
            return 0;
        case kCtrlInit:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            st_.initialised = true;
            break;
        case kCfgMode: {
            Field f = the_argument(c);
            if (!f.n) { rc = emu_reply::kBadArgument; break; }
            st_.cfg_mode.assign(f.p, f.n);
            break;
        }
        case kGetId:
        case kGetFpgaVer:
        case kGetFwVer:
        case kGetSn:
        case kGetFeInfo:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            if (c.cmd == kGetId) out.append(opt_.fpga_id);
            else if (c.cmd == kGetFpgaVer) out.append(st_.fpga_version);
            else if (c.cmd == kGetFwVer) out.append(opt_.fw_version);
            else if (c.cmd == kGetSn) out.append(opt_.serial);
            else fe_info(out);
            return 0;
        case kErase: {
            Field f = the_argument(c);
            if (!f.is(proto::kErase12) && !f.is(proto::kErase14)) {
                rc = emu_reply::kBadArgument;
                break;
            }
            st_.programmed_length = 0;
            st_.done = false;
            ++st_.erases;
            put_int(out, 0);
            return opt_.erase_seconds;
        }
        case kRstPagePtr:
            if (!the_argument(c).is(proto::kSectionCfg)) { rc = emu_reply::kBadArgument; break; }
            st_.program_pointer = st_.read_pointer = 0;
            break;
        case kDone:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            st_.done = true;
            break;
        case kRefresh:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            ++st_.refreshed;
            if (st_.done && opt_.version_after_update)
                st_.fpga_version = *opt_.version_after_update;
            break;
        default:
            rc = emu_reply::kUnknown;
            break;
    }
    put_int(out, rc);
    return 0;
}

}  // namespace qvcore
