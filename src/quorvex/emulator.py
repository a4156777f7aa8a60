"""A device emulator for tests, demos, benchmarks and trying scripts.

``DeviceEmulator`` serves one emulated device over TCP (a real device listens
on port 5025). It speaks the device's FPGA and fast-beam command protocol, so
``FpgaTool`` and device classes can talk to it as to a device on the bench::

    from quorvex.emulator import DeviceEmulator
    from quorvex.QVRFpga import FpgaTool

    with DeviceEmulator(fpga_version="0.2.3.4", version_after_update="0.2.5.0") as emu:
        tool = FpgaTool(address=emu.host, port=emu.port)
        ...
        assert emu.flash_digest() == hashlib.sha256(image).hexdigest()

The emulator starts serving when it is built and stops on ``close()`` (or at
the end of a ``with`` block). It runs on native threads, a small fixed
number shared by every emulator of the process whatever the number of
connections, and never takes the GIL while serving; several connections
share the one device. The console script ``quorvex-emulator``
(also ``python -m quorvex.emulator``) runs one in the foreground.

"""

PROTOCOL_HELP = """\
protocol:
  A command is one line ending in CR LF: a keyword, one space, the argument.
  Every line gets exactly one reply line ending in CR LF. Setting commands
  answer "0"; a refusal is a non-zero number (see reply codes). Keywords are
  case-sensitive.

  FPGA_PROGRAM #<d><n><n bytes>     a definite-length block: one digit d, d
                                    digits of the length n, n raw bytes (CR LF
                                    allowed), then CR LF. Written at the program
                                    pointer, which moves on by n.
  FPGA_READ                         "#2" + two-digit length + up to 16 bytes from
                                    the read pointer, cut at the end of what was
                                    programmed ("#200" past it); the pointer
                                    moves on by 16.
  FPGA_ERASE 12|14                  erase (all 0xFF), forget what was programmed.
  FPGA_RST_PAGE_PTR CFG             program and read pointers to the start.
  FPGA_CTRL_INIT, FPGA_CFG_MODE <mode>, FPGA_DONE, FPGA_REFRESH   answer "0".
  FPGA_GET_ID, GET_FPGA_VER, GET_FW_VER, GET_SN   answer their value.
  GET_FE_INFO                       JSON: {"fe0": {"fpga_ver": ..., "fw_ver": ...,
                                    "fpga_id": ..., "sn": ...}} (or --fe-info).
  After FPGA_DONE and FPGA_REFRESH, GET_FPGA_VER answers --version-after-update
  when it is set. Flash behaves as NOR flash: programming without an erase in
  between can only clear bits (old AND new).

  Fast beam switching:
  ExtCtrl_EN <flag>,<mode>          flag 1|0, mode a decimal FBS mode.
  ExtCtrl_EN?                       the flag, "1" or "0".
  BEAM_PATTERN_STORE_EN 1|0         enable or disable storing.
  BEAM_PATTERN_STORE_EN?            "1" or "0".
  BEAM_PATTERN_ERASE [args]         clear the store (arguments ignored).
  BEAM_PATTERN_APPLY_BFIC [args]    copy the store to the applied tables.
  BEAM_PATTERN_STORE_FBS_BEAM <rf_mode>,<beam_id>,<enable>,<com_gain>,<ele_gain>
                                    store a beam's gains: rf_mode TX|RX (or 0|1),
                                    beam_id an integer >= 0, enable 1|0, gains
                                    integers. Needs the store enabled.
  BEAM_PATTERN_STORE_FBS_BEAM? <rf_mode>,<beam_id>
                                    "<enable>,<com_gain>,<ele_gain>", e.g. "1,12,-3".
  BEAM_PATTERN_STORE_TDBS_BEAM <beam_id>,<rf_freq>,<theta>,<phi>
                                    store a beam's pattern: decimal numbers.
                                    Needs the store enabled.
  BEAM_PATTERN_STORE_TDBS_BEAM? <beam_id>
                                    "<rf_freq>,<theta>,<phi>" in the shortest
                                    form that reads back the same number.
  REBOOT                            answers "0"; clears external control, the
                                    store's enable and the applied tables. The
                                    store itself survives (non-volatile).

timing:
  Commands may be sent back to back, without waiting for each reply; the
  replies come in the order of the commands. --busy-us N is the device's own
  work, N microseconds per command, one command at a time (it adds up however
  many are sent at once); --latency-us N is the link, each reply leaving N
  microseconds after its command's work, overlapping with the others.
  --delay-us (below) instead holds the connection, reply by reply (with
  either of these set, it adds to each reply's time instead).

reply codes:
   1  program block refused (--refuse-every)
  -1  unknown command (also an empty line)
  -2  bad or missing argument
  -3  malformed program block (the parser resumes after the next LF)
  -4  program block would run past the end of flash
  -5  beam store written while storing is disabled
  -6  queried beam is not stored
  -7  beam table full (65536 entries)
  -8  input that cannot be parsed at all (a block longer than the 64 KiB
      receive buffer, or 64 KiB without LF); the connection is then closed

faults (counting for each starts when it is set):
  --refuse-every N            refuse every Nth program block with "1" (not
                              written; N=1 refuses them all)
  --drop-after N              once N commands were answered, close the
                              connection instead of answering the next (once)
  --drop-on WORD              close the connection, without answering, when
  --drop-on-count K             the Kth command with this keyword arrives (once)
  --delay-us N                delay every reply by N microseconds, or with
  --delay-command K             only the Kth command's reply
  --split-replies N           send each reply in N TCP segments, 2 ms apart
  --corrupt-page N            flip a byte in the Nth FPGA_READ page (once)
  --garbage                   answer random non-UTF-8 bytes + CR LF instead of
                              every reply (the commands still take effect)
  --erase-seconds S           an erase takes S seconds
  --fault-connections K       inject the faults above (--erase-seconds apart)
                              into the first K connections made after it is
                              set only, so a client that reconnects finds a
                              sound device
"""

if __doc__:  # absent under python -OO
    __doc__ += PROTOCOL_HELP

import argparse
import signal
import sys
import time
from types import FrameType, TracebackType
from typing import Any, Optional

from . import _emulator
from ._netaddr import port_arg

__all__ = ["DeviceEmulator", "main", "OPTIONS", "PROTOCOL_HELP", "REPLY_CODES"]

#: The non-zero replies by name ("BAD_ARGUMENT": -2, ...).
REPLY_CODES: dict[str, int] = dict(_emulator.REPLY_CODES)

#: The emulator's options by name, from the one table they are declared in:
#: each a dict of name, type (int, str, bool or float), default, minimum (for
#: ints), fixed (given only when the emulator is built), group ("device" or
#: "faults"), metavar and help. DeviceEmulator takes them as keyword
#: arguments, quorvex-emulator as --flags.
OPTIONS: dict[str, dict[str, Any]] = {o["name"]: dict(o) for o in _emulator.OPTIONS}


def _options_doc() -> str:
    lines = []
    for group in dict.fromkeys(o["group"] for o in OPTIONS.values()):
        lines.append(f"      {group}:")
        for name, o in OPTIONS.items():
            if o["group"] == group:
                kind, default = o["type"].__name__, o["default"]
                lines.append(f"        ``{name}`` ({kind}, default {default!r}): {o['help']}")
    return "\n".join(lines) + "\n"


class DeviceEmulator:
    """An emulated device serving on ``host:port`` from the moment it is built.

    ``port=0`` picks a free port (read it back from ``port``). ``host`` may be
    an IPv4 or IPv6 address or a name. Options are keyword arguments (the
    table ``OPTIONS``, listed below); all but ``flash_size`` can be changed
    later with ``set``. ``fe_info`` is JSON text to answer GET_FE_INFO with
    instead of the built one. The faults are described in the module
    documentation; ``None`` switches a fault off.

    Unknown options raise ``TypeError``; a port that cannot be bound raises
    ``OSError``.

    Options:
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 0, **options: Any) -> None:
        self._native = _emulator.Emulator(host, port, options)

    # -- where it listens
    @property
    def host(self) -> str:
        """The host it listens on, as given."""
        return self._native.host

    @property
    def port(self) -> int:
        """The port it listens on (the one picked when 0 was given)."""
        return self._native.port

    @property
    def address(self) -> str:
        """"host:port" ("[host]:port" for an IPv6 address)."""
        return self._native.address

    @property
    def closed(self) -> bool:
        """True once ``close()`` has run."""
        return self._native.closed

    def close(self) -> None:
        """Stop serving: close every connection; once it returns, no command is
        answered any more. Idempotent."""
        self._native.close()

    def __enter__(self) -> "DeviceEmulator":
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    # -- options
    def set(self, **options: Any) -> None:
        """Change options while serving; a fault's counting restarts when it is set."""
        self._native.set(**options)

    def options(self) -> dict[str, Any]:
        """The current options as a dict."""
        return self._native.options()

    # -- what the device holds
    def flash(self) -> bytes:
        """The programmed region of the flash, as bytes."""
        return self._native.flash()

    def flash_digest(self) -> str:
        """Hex SHA-256 of the programmed region."""
        return self._native.flash_digest()

    def counters(self) -> dict[str, int]:
        """Commands received per keyword, plus unknown, blocks_refused,
        connections, pages_read and dropped."""
        return self._native.counters()

    def reset_counters(self) -> None:
        """Set every counter back to 0."""
        self._native.reset_counters()

    def commands(self) -> list[bytes]:
        """Every command received while record_commands is on, on every
        connection, in the order they arrived, each as its bytes (CR LF
        included)."""
        return self._native.commands()

    def clear_commands(self) -> None:
        """Forget the commands recorded so far."""
        self._native.clear_commands()

    def state(self) -> dict[str, Any]:
        """The device's state: fpga_version, initialised, cfg_mode, done,
        refreshed, erases, programmed_length, program_pointer, read_pointer,
        ext_ctrl, ext_mode, store_enabled, reboots, and the tables
        stored_gains / applied_gains ({("TX", beam_id): {"enable", "com_gain",
        "ele_gain"}}) and stored_patterns / applied_patterns ({beam_id:
        {"rf_freq", "theta", "phi"}})."""
        return self._native.state()

    def __repr__(self) -> str:
        status = "closed" if self.closed else "serving"
        return f"<DeviceEmulator {self.address} {status}>"


if DeviceEmulator.__doc__:  # absent under python -OO
    DeviceEmulator.__doc__ = DeviceEmulator.__doc__.rstrip(" ") + _options_doc()


def _parser(prog: Optional[str] = None) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=prog or "quorvex-emulator",
        description="Run an emulated quorvex device until interrupted (Ctrl-C).",
        epilog=PROTOCOL_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,  # --version is not --version-after-update
    )
    from . import __version__
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=port_arg(allow_zero=True), default=5025,
                   help="port to listen on (default 5025; 0 picks one)")
    groups: dict[str, Any] = {}
    for name, o in OPTIONS.items():
        if o["group"] not in groups:
            groups[o["group"]] = p.add_argument_group(o["group"])
        flag: dict[str, Any] = {"help": o["help"]}
        if o["metavar"]:
            flag["metavar"] = o["metavar"]
        if o["type"] is bool:  # a switch; absent means the default
            flag.update(action="store_true", default=None)
        elif o["type"] is not str:
            flag["type"] = o["type"]
        groups[o["group"]].add_argument("--" + name.replace("_", "-"), **flag)
    return p


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The emulator options given on the command line; those left out keep their defaults."""
    return {k: v for k, v in vars(args).items() if k in OPTIONS and v is not None}


def _interrupt(signum: int, frame: Optional[FrameType]) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[list[str]] = None, prog: Optional[str] = None) -> int:
    """Console script: serve until Ctrl-C (or SIGTERM), then exit 0. `prog`
    is the program name that help and errors show (default quorvex-emulator)."""
    parser = _parser(prog)
    args = parser.parse_args(argv)
    try:
        emu = DeviceEmulator(args.host, args.port, **_options(args))
    except (OSError, ValueError, TypeError) as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return 1
    try:
        previous = signal.signal(signal.SIGTERM, _interrupt)
    except ValueError:  # not the main thread
        previous = None
    try:
        print(f"quorvex-emulator listening on {emu.address}", flush=True)
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        emu.close()
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
