"""Per-device beam pattern manager.

Keeps one beam entry per (RF mode, beam id) pair. Real managers are large,
which is why device classes create theirs lazily.
"""

from ..QVRPublic import RFMode


class BeamPatternManager:
    """Holds the gain and pattern of every beam of one device."""

    def __init__(self, beam_count=64, modes=tuple(RFMode)):
        if beam_count < 0:
            raise ValueError(f"beam_count must not be negative, not {beam_count}")
        self.beam_count = beam_count
        self._beams = {(m, b): {} for m in modes for b in range(beam_count)}

    def beam(self, rf_mode, beam_id):
        """The settings dict of one beam; KeyError for an unknown one."""
        return self._beams[(rf_mode, beam_id)]

    def __len__(self):
        return len(self._beams)
