"""A fleet run as a JUnit XML report, the format CI servers and
test-management tools read: one test suite for the run, one test case per
device. A device that failed, was refused or was interrupted is a failure
(its outcome the failure's type, its message the failure's message); a
skipped device is skipped. The run id, station and image are properties of
the suite; each case's output says its outcome and attempts."""

from __future__ import annotations

import os
import re
import xml.etree.ElementTree as ET
from datetime import datetime, timezone
from typing import Any, Optional

from ._files import write_atomically

__all__ = ["junit_xml", "write_junit"]

_FAILURES = ("failed", "refused", "interrupted")
# What XML 1.0 cannot hold at all (a device may answer with any of it).
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _xml_text(text: str) -> str:
    """`text` with each character XML cannot hold written as repr() writes it."""
    return _NOT_XML.sub(lambda m: repr(m.group())[1:-1], text)


def junit_xml(report: Any, *, seconds: float, image: str, image_sha256: Optional[str] = None,
              station: Optional[str] = None, started: Optional[datetime] = None,
              name: str = "quorvex-fpga update") -> bytes:
    """The report (a fleet FleetReport) as JUnit XML, UTF-8."""
    results = report.results
    failures = sum(r.outcome in _FAILURES for r in results)
    skipped = sum(r.outcome == "skipped" for r in results)
    root = ET.Element("testsuites", name=name, tests=str(len(results)),
                      failures=str(failures), errors="0", skipped=str(skipped),
                      time=f"{seconds:.3f}")
    suite = ET.SubElement(root, "testsuite", name=f"{name} {os.path.basename(image)}",
                          tests=str(len(results)), failures=str(failures), errors="0",
                          skipped=str(skipped), time=f"{seconds:.3f}",
                          timestamp=(started or datetime.now(timezone.utc))
                          .astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S"))
    if station:
        suite.set("hostname", station)
    props = ET.SubElement(suite, "properties")
    for key, value in (("run_id", report.run_id), ("station", station), ("image", image),
                       ("image_sha256", image_sha256), ("exit_status", report.exit_status)):
        if value is not None:
            ET.SubElement(props, "property", name=key, value=_xml_text(str(value)))
    for r in results:
        case = ET.SubElement(suite, "testcase", name=_xml_text(r.device.label),
                             classname=f"quorvex.{station or 'fleet'}", time=f"{r.seconds:.3f}")
        message = _xml_text(r.message or r.outcome)
        if r.outcome in _FAILURES:
            ET.SubElement(case, "failure", message=message, type=r.outcome).text = message
        elif r.outcome == "skipped":
            ET.SubElement(case, "skipped", message=message)
        out = [f"outcome: {r.outcome}", f"attempts: {r.attempts}"]
        for key in ("serial", "fpga_id", "old_version", "new_version"):
            if getattr(r, key) is not None:
                out.append(f"{key}: {getattr(r, key)}")
        if r.bytes:
            out.append(f"bytes: {r.bytes}")
        ET.SubElement(case, "system-out").text = _xml_text("\n".join(out))
    ET.indent(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True) + b"\n"


def write_junit(path: str | os.PathLike[str], report: Any, **kwargs: Any) -> None:
    """Writes junit_xml(report, **kwargs) to `path`, atomically."""
    write_atomically(path, junit_xml(report, **kwargs))
