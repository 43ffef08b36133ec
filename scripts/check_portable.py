#!/usr/bin/env python3
"""The rule of what may include what, checked over the portable rooms.

Every file in core/ and board/ includes only
  - headers of the C++ standard library that need no operating system
    (no threads, clocks, files, streams on files, signals), and
  - headers of the portable rooms themselves (core/..., board/...), of the
    serial protocol (protocol.h) and of the firmware's own declarations
    (firmware/Src, firmware/platform/common), and fast_float;
never a system header (POSIX, Linux) nor anything of a shell (shells/...).
It calls no C file function either (fopen, printf to a stream, ...).
Prints each offence as FILE:LINE: reason and exits 1 when there is one.

  scripts/check_portable.py [ROOM ...]   the rooms to check (default: core board)
"""
import os
import re
import subprocess
import sys

ROOMS = ("core/", "board/")

# The standard library's headers that are portable everywhere we build,
# WebAssembly without threads or a file system included. <cstdio> is
# allowed for snprintf; its file functions are refused below.
PORTABLE = set("""
algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits cmath
complex cstddef cstdint cstdio cstdlib cstring deque exception functional initializer_list iomanip ios iosfwd
istream iterator limits list map memory new numeric optional ostream queue random ratio set sstream stack
stdexcept string string_view system_error tuple type_traits typeinfo unordered_map unordered_set utility
variant vector stdint.h stddef.h
""".split())
# <chrono> is there for durations; a clock read is refused below.
THIRD_PARTY = {"fast_float/fast_float.h"}

# Where quoted includes may come from, besides the rooms themselves.
QUOTED_ROOTS = ("protocol/", "firmware/Src/", "firmware/platform/common/")

# A C function only where it is called (a word such as "system" may be text).
FORBIDDEN_CALLS = re.compile(
    r"\b((?:fopen|freopen|fclose|fread|fwrite|fgets|fputs|fprintf|printf|puts|perror|getenv|system)(?=\s*\()|"
    r"std::cout|std::cerr|std::clog|stdout|stderr|steady_clock|system_clock|high_resolution_clock)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def tracked_files(root, rooms):
    out = subprocess.run(["git", "ls-files", "--", *rooms], cwd=root, check=True, capture_output=True, text=True)
    return [f for f in out.stdout.split() if f.endswith((".h", ".cpp"))]


def quoted_ok(root, name):
    if name.startswith("shells/"):
        return "a shell's header"
    if name.startswith(ROOMS) and os.path.exists(os.path.join(root, name)):
        return None
    if any(os.path.exists(os.path.join(root, base, name)) for base in QUOTED_ROOTS):
        return None
    return "not a header of the portable rooms, the protocol or the firmware's declarations"


def check(root, files):
    problems = []
    for path in files:
        with open(os.path.join(root, path), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if m:
                    kind, name = m.groups()
                    if kind == "<" and name not in PORTABLE and name not in THIRD_PARTY:
                        problems.append(f"{path}:{number}: <{name}> is not a portable standard header")
                    elif kind == '"':
                        why = quoted_ok(root, name)
                        if why:
                            problems.append(f'{path}:{number}: "{name}": {why}')
                    continue
                code = line.split("//", 1)[0]
                call = FORBIDDEN_CALLS.search(code)
                if call:
                    problems.append(f"{path}:{number}: {call.group(1)}: input, output or a clock in portable code")
    return problems


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    rooms = [r.rstrip("/") + "/" for r in sys.argv[1:]] or list(ROOMS)
    files = tracked_files(root, rooms)
    problems = check(root, files)
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        print(f"portable rooms: {len(problems)} problem(s) above", file=sys.stderr)
        return 1
    print(f"portable rooms: {len(files)} files of {' '.join(rooms)} include nothing of a system or a shell")
    return 0


if __name__ == "__main__":
    sys.exit(main())
