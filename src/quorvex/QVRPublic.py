"""Status codes and device mode enumerations shared by the quorvex modules."""

import enum


class RetCode(enum.Enum):
    """Status of a result record."""

    OK = 0
    WARNING = 1
    ERROR = 2


class FBSMode(enum.IntEnum):
    """Fast beam switching modes."""

    GAIN_ONLY = 0
    PHASE_ONLY = 1
    FULL_GAIN_PHASE = 2


class RFMode(enum.Enum):
    """RF direction of a beam."""

    TX = 0
    RX = 1
