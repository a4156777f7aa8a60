// The fast-beam commands of the emulated device: external control, the beam
// store (gains per RF mode and beam, patterns per beam), applying the store
// and what a reboot loses. Each works on the device's EmulatorState.
#pragma once

#include <cstdint>
#include <string>

#include "emu_parser.h"
#include "emu_state.h"

namespace qvcore {

// Runs one fast-beam command (kExtCtrl .. kReboot), writing its reply
// (without CR LF) to `out`.
void emu_beam_command(EmulatorState& st, const EmuCommand& c, std::string& out);

// True for the commands emu_beam_command runs.
constexpr bool emu_is_beam_command(int cmd) { return cmd >= kExtCtrl && cmd <= kReboot; }

}  // namespace qvcore
