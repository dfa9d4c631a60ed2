#!/usr/bin/env python3
"""Writes kel32/constants.py from the C header include/kel32.h.

    python3 bindings/python/gen_constants.py            rewrite kel32/constants.py
    python3 bindings/python/gen_constants.py --check    exit 1 when the file differs from the header

The header is where every code is defined; the module is its copy for
programs that have only the library, and tests/test_constants.py runs the
check so the two cannot drift apart.
"""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_HEADER = HERE.parent.parent / "include" / "kel32.h"
TARGET = HERE / "kel32" / "constants.py"

# "#define KEL_NAME  value  /* comment */" with an integer value, bare or in parentheses.
DEFINE = re.compile(
    r"^#define\s+(KEL_[A-Z0-9_]+)\s+\(?\s*(-?\d+)\s*\)?\s*(?:/\*\s*(.*?)\s*\*/)?\s*$")


def parse(header: str) -> list[tuple[str, int, str]]:
    """The integer constants of the header in their order: (name, value, comment).

    A name defined twice must have one value; it is listed once. A KEL_
    definition that is not an integer stops the script, so none is left out.
    """
    seen: dict[str, int] = {}
    out: list[tuple[str, int, str]] = []
    for line in header.splitlines():
        m = DEFINE.match(line.strip())
        if not m:
            if re.match(r"#define\s+KEL_", line.strip()):
                raise ValueError(f"a definition this script cannot read: {line.strip()}")
            continue
        name, value, comment = m.group(1), int(m.group(2)), m.group(3) or ""
        if name in seen:
            if seen[name] != value:
                raise ValueError(f"{name} is defined as {seen[name]} and as {value}")
            continue
        seen[name] = value
        out.append((name, value, comment))
    return out


def render(constants: list[tuple[str, int, str]]) -> str:
    lines = [
        '"""The codes of kel32.h: parameters, debug and statistics codes, error codes.',
        "",
        "Generated from include/kel32.h by bindings/python/gen_constants.py; do not",
        "edit (a test compares this file with the header).",
        '"""',
        "",
    ]
    for name, value, comment in constants:
        line = f"{name} = {value}"
        if comment:
            line = f"{line:<32}# {comment}"
        lines.append(line)
    lines.append("")
    lines.append("__all__ = [")
    lines.extend(f'    "{name}",' for name, _, _ in constants)
    lines.append("]")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--header", type=Path, default=DEFAULT_HEADER)
    parser.add_argument("--output", type=Path, default=TARGET)
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args(argv)
    text = render(parse(args.header.read_text(encoding="utf-8")))
    if args.check:
        current = args.output.read_text(encoding="utf-8") if args.output.exists() else ""
        if current != text:
            print(f"{args.output} differs from {args.header}; run: python3 {Path(__file__).name}",
                  file=sys.stderr)
            return 1
        return 0
    args.output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
