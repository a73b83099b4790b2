#!/usr/bin/env python3
"""Checks the rules of the house over the sources of the repository.

  * every #include of a project header goes to the including file's own folder or one below it,
    in the floor order that docs/architecture.md writes on its "floor order:" line;
  * no two folders include each other (directly or around a ring);
  * no platform #if/#ifdef outside a platform half (name_posix.cpp, name_win32.cpp, the
    library-named halves, and the folders built for one platform only);
  * clang-format 14 would change no source (--no-format leaves this out).

Prints every finding as "path:line: what" and exits with 1 when there is one.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARCHITECTURE = os.path.join("docs", "architecture.md")
ORDER_LINE = re.compile(r"^\s*floor order:\s*(.+?)\s*$", re.IGNORECASE)

# Folders above every floor: their programs may include any floor, and no floor includes them.
TEST_FOLDERS = ("tests", "bench")
# resources/ holds the dialog ids that the Win32 views share with the dialog templates; it
# counts as part of the dialog floor.
FOLDER_ALIASES = {"resources": "ui"}

SOURCE_SUFFIXES = (".cpp", ".h")
# The halves CMake picks by platform, and the folders that only one platform builds.
PLATFORM_HALF = re.compile(r"_(posix|win32|curl|wininet|openssl|cng|crypt32)\.(cpp|h)$")
PLATFORM_FOLDERS = ("ui/terminal/", "ui/win32/", "tests/win32/")
PLATFORM_MACROS = (
    "_WIN32", "_WIN64", "WIN32", "_WINDOWS", "__CYGWIN__", "__MINGW32__", "__MINGW64__",
    "_MSC_VER", "__linux__", "__linux", "linux", "__unix__", "__unix", "unix", "__APPLE__",
    "__MACH__", "__FreeBSD__", "_POSIX_VERSION", "__ANDROID__", "__GNU__",
)
CONDITIONAL = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif|elifdef|elifndef)\b(.*)$")
MACRO_WORD = re.compile(r"\b(" + "|".join(re.escape(m) for m in PLATFORM_MACROS) + r")\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def read_floor_order():
    path = os.path.join(ROOT, ARCHITECTURE)
    with open(path, encoding="utf-8") as doc:
        for line in doc:
            match = ORDER_LINE.match(line)
            if match:
                floors = [f.strip().strip("/") for f in re.split(r"[,\s]+", match.group(1))]
                floors = [f for f in floors if f]
                if len(floors) != len(set(floors)):
                    sys.exit(f"{ARCHITECTURE}: a floor is named twice on the floor order line")
                return floors
    sys.exit(f"{ARCHITECTURE}: no \"floor order:\" line")


def source_files():
    """The sources git knows (tracked, or new and not ignored); every file without git."""
    try:
        listed = subprocess.run(
            ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
            cwd=ROOT, check=True, capture_output=True).stdout.decode("utf-8").split("\0")
        files = [f for f in listed if f.endswith(SOURCE_SUFFIXES)]
        return sorted(f for f in files if os.path.isfile(os.path.join(ROOT, f)))
    except (OSError, subprocess.CalledProcessError):
        files = []
        for folder, dirs, names in os.walk(ROOT):
            dirs[:] = [d for d in dirs
                       if not d.startswith(".") and not d.startswith("build") and d != "node_modules"]
            for name in names:
                if name.endswith(SOURCE_SUFFIXES):
                    files.append(os.path.relpath(os.path.join(folder, name), ROOT))
        return sorted(files)


def folder_of(path):
    top = path.split("/", 1)[0]
    return FOLDER_ALIASES.get(top, top)


def check_includes(files, floors, findings):
    rank = {floor: index for index, floor in enumerate(floors)}
    edges = {}
    for path in files:
        own = folder_of(path)
        if own not in rank and own not in TEST_FOLDERS:
            continue
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as source:
            for number, line in enumerate(source, 1):
                match = INCLUDE.match(line)
                if not match or "/" not in match.group(1):
                    continue
                target = folder_of(match.group(1))
                if own in TEST_FOLDERS:
                    continue
                if target in TEST_FOLDERS:
                    findings.append(f"{path}:{number}: {own}/ includes the test folder "
                                    f"\"{match.group(1)}\"")
                    continue
                if target not in rank or target == own:
                    continue
                edges.setdefault(own, {}).setdefault(target, f"{path}:{number}")
                if rank[target] > rank[own]:
                    findings.append(f"{path}:{number}: {own}/ includes \"{match.group(1)}\" of "
                                    f"{target}/, a floor above it")
    for cycle in folder_cycles(edges):
        ring = " -> ".join(cycle + [cycle[0]])
        where = ", ".join(edges[a][b] for a, b in zip(cycle, cycle[1:] + cycle[:1]))
        findings.append(f"cycle between folders: {ring} ({where})")


def folder_cycles(edges):
    """One ring per group of folders that reach each other (Tarjan's strongly connected parts)."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(edges.get(node, {})):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(set(group))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    rings = []
    for group in groups:
        # A shortest way back to the first member, through members of the group only.
        start = min(group)
        paths = {start: [start]}
        queue = [start]
        ring = None
        while queue and ring is None:
            node = queue.pop(0)
            for nxt in sorted(edges.get(node, {})):
                if nxt == start:
                    ring = paths[node]
                    break
                if nxt in group and nxt not in paths:
                    paths[nxt] = paths[node] + [nxt]
                    queue.append(nxt)
        rings.append(ring)
    return rings


def check_platform_conditionals(files, findings):
    for path in files:
        if PLATFORM_HALF.search(path) or path.startswith(PLATFORM_FOLDERS):
            continue
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as source:
            for number, line in enumerate(source, 1):
                match = CONDITIONAL.match(line)
                if match and MACRO_WORD.search(match.group(2)):
                    findings.append(f"{path}:{number}: platform conditional outside a platform "
                                    f"half: {line.strip()}")


def find_clang_format():
    for name in ("clang-format-14", "clang-format"):
        program = shutil.which(name)
        if program:
            version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout
            if re.search(r"version 14\.", version):
                return program
    return None


def check_format(files, findings):
    program = find_clang_format()
    if program is None:
        findings.append("clang-format 14 not found (scripts/install-deps.sh installs it)")
        return
    for start in range(0, len(files), 100):
        batch = files[start:start + 100]
        result = subprocess.run([program, "--dry-run", "--Werror", "--style=file", *batch],
                                cwd=ROOT, capture_output=True, text=True)
        if result.returncode != 0:
            lines = sorted({(m.group(1), int(m.group(2))) for m in (
                re.match(r"^([^:\s]+\.(?:cpp|h)):(\d+):\d+: (?:error|warning)", line)
                for line in result.stderr.splitlines()) if m})
            for path, number in lines:
                findings.append(f"{path}:{number}: clang-format would change this line "
                                f"(clang-format -i {path})")
            if not lines:
                findings.append(result.stderr.strip() or "clang-format failed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--no-format", action="store_true", help="leave out the clang-format check")
    arguments = parser.parse_args()

    floors = read_floor_order()
    files = source_files()
    findings = []
    check_includes(files, floors, findings)
    check_platform_conditionals(files, findings)
    if not arguments.no_format:
        check_format(files, findings)
    for finding in findings:
        print(finding)
    if findings:
        print(f"check-house: {len(findings)} finding(s)", file=sys.stderr)
        return 1
    print(f"check-house: {len(files)} sources, floors {' < '.join(floors)}: no findings",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
