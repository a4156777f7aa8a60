"""quorvex-fpga info: a device's FPGA id and version, control firmware and
serial number, read after the FPGA control is initialised as for an update."""

from __future__ import annotations

import argparse

from .._text import printable
from ..fleet._device import init_reason
from ..fleet._link import open_device_link
from ..fleet._model import Device
from ._address import device_address, device_resource
from ._common import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_OK, EXIT_REFUSED,
                      EXIT_USAGE, LINK_HINT, PROG, Context, Verbs, exit_text, verb_parser)
from ._options import device_options


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "info", with_json=True,
        help="show a device's FPGA id and version, control firmware and serial number",
        description="""
            Initialise the device's FPGA control (as an update does first) and show its
            FPGA id, FPGA version, control firmware version and serial number. A device
            type this tool does not update, or an FPGA version below the supported
            minimum, is reported as a warning with exit status 2; any other failure of
            the initialisation (other than of the link) as an error with exit status 1.""",
        epilog=f"examples:\n  {PROG} info --address 192.0.2.10\n"
               f"  {PROG} info --resource TCPIP::192.0.2.10::5025::SOCKET\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE, EXIT_LINK,
                           EXIT_INTERRUPTED,
                           s1="the initialisation failed (e.g. an FPGA version that "
                              "cannot be read)",
                           s2="a device type or FPGA version that 'update' refuses"))
    device_options(p, several=False)
    return p


def run(ctx: Context) -> int:
    from ..QVRFpga import FpgaTool
    from ..QVRPublic import RetCode

    a = ctx.args
    if a.resource is not None:
        device = Device(resource=device_resource(a.resource), device_type=a.device_type)
        host, port = None, None
    else:
        host, port = device_address(a.address, a.port)
        device = Device(host, port, device_type=a.device_type)
    label = device.endpoint
    info = {"address": None if device.resource else label, "host": host, "port": port,
            "resource": device.resource, "device_type": a.device_type,
            "init": None, "fpga_id": None, "fpga_version": None, "control_fw_version": None,
            "serial_number": None, "control_fw_below_minimum": None, "error": None}
    status, link = EXIT_OK, None
    try:
        link = open_device_link(device, a.timeout)
        tool = FpgaTool(connection=link)
        ret = tool.initFpga(a.device_type)
        info["init"] = {"code": ret.RetCode.name, "message": ret.RetMsg,
                        "reason": init_reason(ret, a.device_type)}
        if ret.RetCode is RetCode.OK:
            info["fpga_id"] = ret.RetData["fpga_id"]
            info["fpga_version"] = ret.RetData["fpga_version"]
        else:
            # A WARNING is a refusal of the device type or version; an ERROR
            # that is not the link's (which breaks the link: the queries
            # below raise) is a failure. Neither carries data: ask the
            # plain queries instead.
            status = EXIT_REFUSED if ret.RetCode is RetCode.WARNING else EXIT_FAILED
            info["fpga_id"] = tool._fpgaGetId()
            info["fpga_version"] = tool._fpgaGetVersion()
        info["control_fw_version"] = tool._fpgaGetControlFwVer()
        info["serial_number"] = tool._fpgaGetSerialNumber()
    except OSError as e:  # the link's (ConnectionError, TimeoutError, ...)
        # initFpga reports the first failure itself; later calls only see a closed link.
        init = info["init"]
        info["error"] = init["message"] if init and init["code"] == "ERROR" else str(e)
        status = EXIT_LINK
    finally:
        if link is not None:
            link.closeConnection()

    if status == EXIT_LINK:
        error = info["error"]
        ctx.console.error(error if label in error else f"{label}: {error}", LINK_HINT)
    else:
        info["control_fw_below_minimum"] = _below_fw_minimum(info["control_fw_version"])
    if status == EXIT_REFUSED:
        hint = {"version": "'update' refuses it unless --force-version is given",
                "device_type": "check --device-type"}.get(info["init"]["reason"])
        ctx.console.warning(f"{label}: {info['init']['message']}", hint)
    elif status == EXIT_FAILED:
        ctx.console.error(f"{label}: {info['init']['message']}",
                          "check that the device at this address is the one you mean")
    info["exit_status"] = status
    if ctx.args.json:
        ctx.out_json(info)
    elif status != EXIT_LINK:
        fw = info["control_fw_version"]
        if info["control_fw_below_minimum"]:
            fw += f" (below the minimum {info['control_fw_below_minimum']})"
        for name, value in (("device", label), ("FPGA id", info["fpga_id"]),
                            ("FPGA version", info["fpga_version"]),
                            ("control firmware", fw), ("serial number", info["serial_number"])):
            ctx.out(f"{name:<17} {printable(value) if value else '(no answer)'}")
    return status


def _below_fw_minimum(version: str | None) -> str | None:
    """The minimum control firmware version when `version` is below it."""
    from .. import QVRFpga
    from ..QVRUtils import VER

    try:
        minimum = QVRFpga._FPGA_FW_VER_MIN
        return minimum if VER(version) < VER(minimum) else None
    except (ValueError, AttributeError):
        return None
