"""Peak memory of a process updating a 16 MiB .bin over TCP: the growth of
its peak resident set during processFpgaUpdate (aim: 4 MiB or less; the image
is streamed, never held whole)."""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import OUR_UPDATE, emulators, image, run_child  # noqa: E402

BEFORE = OUR_UPDATE.replace(
    "ru0 = resource.getrusage(resource.RUSAGE_SELF)",
    "ru0 = resource.getrusage(resource.RUSAGE_SELF); before = ru0.ru_maxrss").replace(
    '"maxrss_kib": ru1.ru_maxrss', '"maxrss_kib": ru1.ru_maxrss, "before_kib": before')


def main():
    parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False)
    parser.add_argument("--size", type=int, default=16 << 20, help="image bytes (default 16 MiB)")
    args = parser.parse_args()
    with image(args.size) as path, emulators(flash_size=max(32 << 20, args.size)) as (port,):
        r = run_child(BEFORE, "127.0.0.1", port, path)
    assert r["ok"], "the update failed"
    growth = (r["maxrss_kib"] - r["before_kib"]) / 1024
    print(f"image {args.size / 2**20:.1f} MiB in {r['wall']:.1f} s; peak RSS before "
          f"{r['before_kib'] / 1024:.1f} MiB, after {r['maxrss_kib'] / 1024:.1f} MiB: "
          f"growth {growth:.2f} MiB   (aim <= 4 MiB)")


if __name__ == "__main__":
    main()
