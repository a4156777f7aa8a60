"""The main job, end to end: an FPGA update over TCP against the bundled
device emulator, with the library's own progress lines and a summary."""

import argparse
import hashlib
import os
import sys
import tempfile
import time


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
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
        return 0 if flash == expected else 1


if __name__ == "__main__":
    sys.exit(main())
