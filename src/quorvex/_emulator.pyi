"""Native device emulator; use quorvex.emulator.DeviceEmulator."""

from typing import Any, type_check_only

from typing_extensions import disjoint_base

#: The non-zero replies by name ("BAD_ARGUMENT": -2, ...).
REPLY_CODES: dict[str, int]
#: The options table, one dict per option in its order: name (str), type
#: (int, str, bool or float), default, minimum (int, or None but for ints),
#: fixed (bool: given only when built), group ("device" or "faults"),
#: metavar (str or None) and help (str).
OPTIONS: tuple[dict[str, Any], ...]

@type_check_only
class _nb_type(type):
    """The metaclass of the native classes (the binding library's own)."""

@disjoint_base
class Emulator(metaclass=_nb_type):
    """An emulated device serving on host:port from the moment it is built."""

    def __init__(self, host: str, port: int, options: dict[str, Any]) -> None:
        """Binds host:port (port 0: a free one) and starts serving; `options` as in OPTIONS."""

    def close(self) -> None:
        """Stops serving: closes every connection; once it returns, no command is answered any more."""

    @property
    def closed(self) -> bool:
        """True once close() has run."""

    @property
    def host(self) -> str:
        """The host it listens on, as given."""

    @property
    def port(self) -> int:
        """The port it listens on (the one picked when 0 was given)."""

    @property
    def address(self) -> str:
        """"host:port" ("[host]:port" for an IPv6 address)."""

    def set(self, **kwargs: Any) -> None:
        """Changes options while serving; a fault's counting restarts when it is set."""

    def options(self) -> dict[str, Any]:
        """The current options as a dict."""

    def flash(self) -> bytes:
        """The programmed region of the flash, as bytes."""

    def flash_digest(self) -> str:
        """Hex SHA-256 of the programmed region."""

    def counters(self) -> dict[str, int]:
        """Commands received per keyword, plus unknown, blocks_refused,
        connections, pages_read and dropped."""

    def reset_counters(self) -> None:
        """Sets every counter back to 0."""

    def commands(self) -> list[bytes]:
        """Every command received while record_commands is on, as it arrived."""

    def clear_commands(self) -> None:
        """Forgets the commands recorded so far."""

    def state(self) -> dict[str, Any]:
        """The device's state as a dict (see DeviceEmulator.state)."""
