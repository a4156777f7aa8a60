"""The main jobs, end to end, against the bundled device emulator: an FPGA
update over TCP, with the library's own progress lines and a summary, then
fast beam switching on the same device (parallel mode and a fast-beam sync),
and last a production-line run: quorvex-fpga update over an inventory of
three emulated devices (one of which drops its first connection, so a retry
mends it), with its progress and its table of devices."""

import argparse
import hashlib
import os
import sys
import tempfile
import time


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False)
    parser.add_argument("--size", type=int, default=256 * 1024,
                        help="bytes of the sample image (default 256 KiB)")
    args = parser.parse_args(argv)

    from quorvex import tbin
    from quorvex.emulator import DeviceEmulator
    from quorvex.QVRFpga import FpgaTool
    from quorvex.QVRPublic import RetCode

    image = os.urandom(args.size)
    with tempfile.TemporaryDirectory() as tmp, \
            DeviceEmulator(fpga_version="0.2.3.4", version_after_update="0.3.0.0") as emu:
        path = os.path.join(tmp, "sample.tbin")
        with open(path, "wb") as f:
            f.write(tbin.pack(image, 32, header={"name": "demo image"}))
        print(f"emulated device listening on {emu.address}; image {path} "
              f"({len(image)} bytes, packed as .tbin)")

        tool = FpgaTool(address=emu.host, port=emu.port)
        try:
            ret = tool.initFpga(32)
            if ret.RetCode is not RetCode.OK:
                print(f"initialisation refused: {ret.RetMsg}", file=sys.stderr)
                return 1
            print(f"FPGA {ret.RetData['fpga_id']}, version {ret.RetData['fpga_version']}")
            start = time.monotonic()
            ret = tool.processFpgaUpdate(path, 32)
            seconds = time.monotonic() - start
        finally:
            tool.disconnect()

        if ret.RetCode is not RetCode.OK:
            print(f"update failed: {ret.RetMsg}", file=sys.stderr)
            return 1
        expected = hashlib.sha256(image).hexdigest()
        flash = emu.flash_digest()
        print()
        print("summary")
        print(f"  new FPGA version : {ret.RetData['fw_version']}")
        print(f"  bytes written    : {len(image)} (and read back)")
        print(f"  time             : {seconds:.2f} s, {len(image) / seconds / 1024:.1f} KiB/s")
        print(f"  flash digest     : {flash} "
              f"({'matches the image' if flash == expected else 'DOES NOT MATCH the image'})")
        if flash != expected:
            return 1

        print()
        status = fast_beam(emu)
    if status:
        return status
    print()
    return production_line(args.size)


def fast_beam(emu):
    """Fast beam switching on the same device, through the device class
    TCPBeamformer: the parallel mode on, then a fast-beam sync."""
    from quorvex.QVRPublic import RetCode
    from quorvex.qvrdev.TCPBeamformer import TCPBeamformer

    def line(what, text):
        print(f"  {what:<33}{': ' if what else '  '}{text}".rstrip())

    def show(what, ret):
        ok = ret.RetCode is RetCode.OK
        line(what, ("ok" if ok else "FAILED: " + ret.RetMsg)
             + (f" ({ret.RetData!r})" if ok and ret.RetData is not None else ""))
        return ok

    print("fast beam switching")
    with TCPBeamformer(emu.host, emu.port) as dev:
        ok = show("setFastParallelMode(True)", dev.setFastParallelMode(True))
        ok &= show("getFastParallelMode()", dev.getFastParallelMode())
        state = emu.state()
        line("device external control", f"{state['ext_ctrl']}, mode {state['ext_mode']}")
        line("syncFastBeamConfig() ...", "store on, erase, reboot, store off, apply")
        line("", "(the device settles 2 s after erase and apply)")
        ok &= show("syncFastBeamConfig()", dev.syncFastBeamConfig())
    state, count = emu.state(), emu.counters()
    line("device reboots", state["reboots"])
    line("beam store", f"{'enabled' if state['store_enabled'] else 'disabled'}, "
                       f"{len(state['stored_gains'])} gains, "
                       f"{len(state['stored_patterns'])} patterns")
    line("fast-beam commands seen", "")
    for word, n in count.items():
        if n and (word.startswith(("ExtCtrl", "BEAM_")) or word == "REBOOT"):
            print(f"    {word:<30} x{n}")
    return 0 if ok else 1


def production_line(size):
    """quorvex-fpga update IMAGE --inventory FILE over three emulators: the
    inventory pins each device's serial number, the history goes to the
    temporary folder, and the third device drops its first connection
    mid-write, so that it needs a second attempt. The reply delay is one of
    the emulator's faults too, so that second attempt runs undelayed: the
    third device ends first, its time (both attempts and the wait between
    them) the shortest."""
    import subprocess

    from quorvex import tbin
    from quorvex.emulator import DeviceEmulator

    print("on the production line: three devices from an inventory")
    versions = {"fpga_version": "0.2.3.4", "version_after_update": "0.3.0.0"}
    image = os.urandom(size)
    with tempfile.TemporaryDirectory() as tmp, \
            DeviceEmulator(serial="QVX-0001", delay_us=100, **versions) as a, \
            DeviceEmulator(serial="QVX-0002", delay_us=100, **versions) as b, \
            DeviceEmulator(serial="QVX-0003", delay_us=100, **versions,
                           drop_after=size // 32, fault_connections=1) as c:
        path = os.path.join(tmp, "line.tbin")
        with open(path, "wb") as f:
            f.write(tbin.pack(image, 32, header={"name": "line image"}))
        inventory = os.path.join(tmp, "rack.csv")
        with open(inventory, "w") as f:
            f.write("address,port,name,serial\n")
            for i, e in enumerate((a, b, c), 1):
                f.write(f"{e.host},{e.port},rack-{i},QVX-000{i}\n")
        with open(inventory) as f:
            print(f"inventory {inventory}:")
            for line in f:
                print(f"  {line.rstrip()}")
        history = os.path.join(tmp, "history.sqlite3")
        argv = ["update", path, "--inventory", inventory, "--history", history,
                "--operator", "demo"]
        print(f"$ quorvex-fpga {' '.join(argv)}")
        sys.stdout.flush()
        status = subprocess.run([sys.executable, "-m", "quorvex.cli", *argv]).returncode
        print(f"exit status {status}")
        expected = hashlib.sha256(image).hexdigest()
        for e in (a, b, c):
            if e.flash_digest() != expected:
                print(f"{e.address}: the flash DOES NOT MATCH the image", file=sys.stderr)
                return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
