"""Text from outside (a device's answers, an inventory's values, file names)
made safe to show on a terminal: the one place that does it.

`printable(s)` keeps every printable character, and writes each control
character (C0, DEL, C1; ESC among them), each line and paragraph separator,
the bidirectional controls and each lone surrogate as a visible escape
(\\x1b, \\x7f, \\x9b, \\u2028, \\udcff). Nothing outside it can clear a
screen, set a window title or move the cursor. --json output and the history
keep the exact text; only what is shown to people goes through here.
"""

from __future__ import annotations

import re
from typing import Any

__all__ = ["one_line", "printable"]

# C0 controls, DEL and C1 controls; the line and paragraph separators and
# the bidirectional controls, which reorder what follows them; surrogates
# (undecodable bytes carried by surrogateescape).
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069"
                     "\ud800-\udfff]")


def _escape(m: re.Match[str]) -> str:
    n = ord(m.group())
    return f"\\x{n:02x}" if n < 0x100 else f"\\u{n:04x}"


def printable(value: Any) -> str:
    """`value` as text (str() of anything but a str) with every control
    character escaped visibly; None stays the text 'None'."""
    s = value if isinstance(value, str) else str(value)
    return _UNSAFE.sub(_escape, s)


def one_line(e: BaseException) -> str:
    """An error's text on one line, as a message quotes it; its type's name
    when it has no text."""
    return " ".join(str(e).split()) or type(e).__name__
