#!/usr/bin/env python3
"""Keeps the layering of the source tree honest.

docs/architecture.md holds a table of the parts of netprobe: the folder each
lives in and the other parts it may use. This script reads that table, scans
every C/C++ source under those folders and reports each direct
`#include "..."` of a header that belongs to a part the including file's part
may not use. Folders missing from the table (bench/, fuzz/, tests/<area>/ other
than tests/kit/) are not checked.

  scripts/check-architecture.py [ROOT]   check ROOT (default: this repo)
  scripts/check-architecture.py --self-test
                                         show the check catches bad includes
"""
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

DOC = "docs/architecture.md"
HEADER = ["part", "folder", "library", "may use"]
SOURCES = (".h", ".hpp", ".c", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


class TableError(Exception):
    pass


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def read_table(text):
    """Returns {part: (folder, set of parts it may use)} from the parts table."""
    lines = text.splitlines()
    start = next((i for i, l in enumerate(lines)
                  if l.lstrip().startswith("|") and cells(l) == HEADER), None)
    if start is None:
        raise TableError(f"{DOC} has no table with header | {' | '.join(HEADER)} |")
    if start + 1 == len(lines) or not re.fullmatch(r"\s*\|[-:| ]+\|\s*", lines[start + 1]):
        raise TableError(f"{DOC}: the parts table header is not followed by |---|...|")
    parts = {}
    for line in lines[start + 2:]:
        if not line.lstrip().startswith("|"):
            break
        row = cells(line)
        if len(row) != 4 or not row[0] or not row[1].strip("`").endswith("/"):
            raise TableError(f"{DOC}: malformed row: {line.strip()}")
        uses = set() if row[3] == "nothing" else {u.strip() for u in row[3].split(",")}
        parts[row[0]] = (row[1].strip("`"), uses)
    if not parts:
        raise TableError(f"{DOC}: the parts table has no rows")
    for part, (_, uses) in parts.items():
        if unknown := uses - parts.keys():
            raise TableError(f"{DOC}: {part} may use unknown part(s): {', '.join(sorted(unknown))}")
    return parts


def part_of(path, parts):
    """The part whose folder is the longest prefix of path, or None."""
    best = None
    for part, (folder, _) in parts.items():
        if path.startswith(folder) and (best is None or len(folder) > len(parts[best][0])):
            best = part
    return best


def sources(root, parts):
    folders = [folder for folder, _ in parts.values()]
    if (root / ".git").exists():
        out = subprocess.run(["git", "-C", str(root), "ls-files", "--cached", "--others",
                              "--exclude-standard", "--", *folders],
                             capture_output=True, text=True, check=True).stdout
        files = out.splitlines()
    else:
        files = [str((Path(d) / f).relative_to(root)) for folder in folders
                 for d, _, names in os.walk(root / folder) for f in names]
    return sorted({f for f in files if f.endswith(SOURCES) and (root / f).is_file()})


def check(root):
    """Returns (number of files checked, [(path, line, part, header, other part)])."""
    if not (root / DOC).is_file():
        raise TableError(f"{root / DOC} is missing")
    parts = read_table((root / DOC).read_text())
    files = sources(root, parts)
    bad = []
    for path in files:
        own = part_of(path, parts)
        allowed = parts[own][1] | {own}
        text = (root / path).read_text(errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            if not (m := INCLUDE.match(line)):
                continue
            header = m.group(1)
            other = part_of(header, parts)
            if other is None:  # e.g. a header next to the including file
                local = os.path.normpath(os.path.join(os.path.dirname(path), header))
                other = part_of(local, parts) if (root / local).is_file() else None
            if other is not None and other not in allowed:
                bad.append((path, number, own, header, other))
    return len(files), bad


def report(root):
    try:
        count, bad = check(root)
    except TableError as e:
        print(f"architecture: {e}", file=sys.stderr)
        return 1
    for path, number, own, header, other in bad:
        print(f'{path}:{number}: {own} may not include "{header}" ({other}); '
              f"{DOC} says what each part may use")
    if bad:
        print(f"architecture: {len(bad)} forbidden include(s) in {count} files checked")
        return 1
    print(f"architecture: {count} files checked, no forbidden include")
    return 0


TABLE = """\
| part | folder | library | may use |
|---|---|---|---|
| framework | `nv/` | `nv` | nothing |
| support library | `support/` | `support` | nothing |
| protocol | `protocol/` | `netprobe_protocol` | framework |
| request base | `core/` | `netprobe_core` | framework, protocol |
| transports | `net/` | `netprobe_net` | framework, support library, request base |
| service probes | `probes/` | `netprobe_probes` | framework, support library, protocol, request base, transports |
| NetBIOS | `netbios/` | `netprobe_netbios` | framework, support library, protocol, request base, transports |
| service | `service/` | `netprobed` | framework, protocol, request base, transports, service probes, NetBIOS |
| client | `client/` | `netprobe_client` | framework, support library, protocol |
| test kit | `tests/kit/` | `netprobe_testkit` | framework, support library, protocol |
"""

# path -> include lines; the ones marked "# bad" must be reported, nothing else.
TREE = {
    "probes/A.cpp": ['#include "net/B.h"', "#include <service/D.h>"],
    "net/B.h": ['#include "Local.h"'],
    "net/Local.h": [],
    "nv/C.h": ['#include "gtest/gtest.h"', '#include "service/D.h"  # bad'],
    "service/D.h": [],
    "core/E.cpp": ['#include "probes/F.h"  # bad', '#include "../service/D.h"  # bad'],
    "probes/F.h": [],
    "tests/net/G.cpp": ['#include "service/D.h"', '#include "tests/kit/K.h"'],
    "tests/kit/K.h": ['#include "protocol/Message.h"', '#include "client/Api.h"  # bad'],
    "client/Api.h": ['#include "nv/Timer.h"'],
}


def self_test():
    failed = False
    for clean in (False, True):
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp)
            (root / "docs").mkdir()
            (root / DOC).write_text("# Parts\n\n" + TABLE + "\nMore text.\n")
            expected = set()
            for path, lines in TREE.items():
                (root / path).parent.mkdir(parents=True, exist_ok=True)
                kept = [l for l in lines if not (clean and l.endswith("# bad"))]
                (root / path).write_text("\n".join(l.removesuffix("  # bad") for l in kept) + "\n")
                expected |= {(path, n) for n, l in enumerate(kept, 1) if l.endswith("# bad")}
            name = "clean tree" if clean else f"tree with {len(expected)} forbidden includes"
            print(f"--- {name}:")
            status = report(root)
            count, bad = check(root)
            found = {(path, number) for path, number, *_ in bad}
            ok = found == expected and status == (0 if clean else 1) \
                and count == len(TREE) - 1  # tests/net/ is not checked
            print(f"{name}: {count} files, reported {sorted(found)}: {'ok' if ok else 'WRONG'}")
            failed |= not ok
    try:
        read_table(TABLE.replace("`netprobe_protocol` | framework", "`netprobe_protocol` | framework, kernel"))
        print("unknown part in 'may use' was accepted: WRONG")
        failed = True
    except TableError as e:
        print(f"unknown part in 'may use' rejected ({e}): ok")
    return 1 if failed else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    if args == ["--self-test"]:
        sys.exit(self_test())
    if len(args) > 1 or (args and args[0].startswith("-")):
        sys.exit(__doc__)
    sys.exit(report(Path(args[0] if args else Path(__file__).resolve().parent.parent).resolve()))
