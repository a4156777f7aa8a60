// The fast-beam commands of the emulated device; see emu_beams.h.
#include "emu_beams.h"

#include "emu_fields.h"

namespace qvcore {

const char* emu_rf_mode_name(int mode) { return mode == 0 ? "TX" : "RX"; }

namespace {

using namespace emu;

constexpr size_t kMaxTableEntries = 65536;  // per beam table

int store_gain(EmulatorState& st, const EmuCommand& c) {
    Field f[5];
    int mode;
    int64_t id, com, ele;
    bool en;
    if (!split_fields(c, f, 5) || !to_rf_mode(f[0], mode) || !to_beam_id(f[1], id) ||
        !to_flag(f[2], en) || !to_int(f[3], com) || !to_int(f[4], ele))
        return emu_reply::kBadArgument;
    if (!st.store_enabled) return emu_reply::kStoreDisabled;
    auto key = std::make_pair(mode, id);
    GainTable& gains = st.stored_gains;
    if (gains.size() >= kMaxTableEntries && !gains.count(key)) return emu_reply::kStoreFull;
    gains[key] = FastBeamGain{en, com, ele};
    return 0;
}

void query_gain(const EmulatorState& st, const EmuCommand& c, std::string& out) {
    Field f[2];
    int mode;
    int64_t id;
    if (!split_fields(c, f, 2) || !to_rf_mode(f[0], mode) || !to_beam_id(f[1], id))
        return put_int(out, emu_reply::kBadArgument);
    auto it = st.stored_gains.find(std::make_pair(mode, id));
    if (it == st.stored_gains.end()) return put_int(out, emu_reply::kNotStored);
    put_int(out, it->second.enable ? 1 : 0);
    out.push_back(',');
    put_int(out, it->second.com_gain);
    out.push_back(',');
    put_int(out, it->second.ele_gain);
}

int store_pattern(EmulatorState& st, const EmuCommand& c) {
    Field f[4];
    int64_t id;
    FastBeamPattern p;
    if (!split_fields(c, f, 4) || !to_beam_id(f[0], id) || !to_double(f[1], p.rf_freq) ||
        !to_double(f[2], p.theta) || !to_double(f[3], p.phi))
        return emu_reply::kBadArgument;
    if (!st.store_enabled) return emu_reply::kStoreDisabled;
    PatternTable& patterns = st.stored_patterns;
    if (patterns.size() >= kMaxTableEntries && !patterns.count(id)) return emu_reply::kStoreFull;
    patterns[id] = p;
    return 0;
}

void query_pattern(const EmulatorState& st, const EmuCommand& c, std::string& out) {
    Field f[1];
    int64_t id;
    if (!split_fields(c, f, 1) || !to_beam_id(f[0], id))
        return put_int(out, emu_reply::kBadArgument);
    auto it = st.stored_patterns.find(id);
    if (it == st.stored_patterns.end()) return put_int(out, emu_reply::kNotStored);
    put_double(out, it->second.rf_freq);
    out.push_back(',');
    put_double(out, it->second.theta);
    out.push_back(',');
    put_double(out, it->second.phi);
}

}  // namespace

void emu_beam_command(EmulatorState& st, const EmuCommand& c, std::string& out) {
    int rc = 0;
    switch (c.cmd) {
        case kExtCtrl: {
            Field f[2];
            int64_t mode;
            bool flag;
            if (!split_fields(c, f, 2) || !to_flag(f[0], flag) || !to_int(f[1], mode) ||
                mode < 0) {
                rc = emu_reply::kBadArgument;
                break;
            }
            st.ext_ctrl = flag ? 1 : 0;
            st.ext_mode = mode;
            break;
        }
        case kExtCtrlQ:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            return put_int(out, st.ext_ctrl);
        case kStoreEn: {
            bool on;
            if (!to_flag(the_argument(c), on)) { rc = emu_reply::kBadArgument; break; }
            st.store_enabled = on;
            break;
        }
        case kStoreEnQ:
            if (!no_argument(c)) { rc = emu_reply::kBadArgument; break; }
            return put_int(out, st.store_enabled ? 1 : 0);
        case kPatternErase:  // arguments (a delay, say) are taken and ignored
            st.stored_gains.clear();
            st.stored_patterns.clear();
            break;
        case kApplyBfic:
            st.applied_gains = st.stored_gains;
            st.applied_patterns = st.stored_patterns;
            break;
        case kStoreFbs: rc = store_gain(st, c); break;
        case kStoreFbsQ: return query_gain(st, c, out);
        case kStoreTdbs: rc = store_pattern(st, c); break;
        case kStoreTdbsQ: return query_pattern(st, c, out);
        case kReboot:
            // What a real device loses: external control, the store's
            // enable and what was applied to the beamformers. The store
            // itself is kept.
            st.ext_ctrl = st.ext_mode = 0;
            st.store_enabled = false;
            st.applied_gains.clear();
            st.applied_patterns.clear();
            ++st.reboots;
            break;
        default:
            rc = emu_reply::kUnknown;
            break;
    }
    put_int(out, rc);
}

}  // namespace qvcore
