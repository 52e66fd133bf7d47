#!/usr/bin/env python3
"""Writes the functions of `nerim` that a start runs, one symbol a line, for
the linker to place together (src/app/startup-order.txt, see src/app's
CMakeLists.txt). Spread over the whole executable, the start-up's code keeps
most of its pages resident; placed together, a few hundred kilobytes.

Made from a callgrind profile of one start up to the overview at rest, taken
by the start benchmark (which sets up three projects, so cards are drawn):

  NERIM_START_ROUNDS=1 \\
  NERIM_START_WRAPPER="valgrind --tool=callgrind --demangle=no --callgrind-out-file=/tmp/nerim-start.callgrind" \\
    xvfb-run -a build/bench/start/start_bench
  bench/start/startup-order.py /tmp/nerim-start.callgrind > src/app/startup-order.txt

A list that has fallen behind the code costs nothing but pages: symbols that
no longer exist are passed over, new ones are placed after the listed ones.
The test app.startup_order_current (src/app/startup-order-check.cmake) fails
once more than a quarter of the listed symbols are gone: then run this again.
"""
import re
import sys


def startup_functions(profile, program_suffix="/nerim"):
    # callgrind names each object and function once, with a number, and
    # refers to it by the number alone afterwards.
    objects, functions = {}, {}
    current_object = None
    names, seen = [], set()
    line_pattern = re.compile(r"^(c?ob|c?fn)=\((\d+)\)(?: (.*))?$")
    for line in profile:
        match = line_pattern.match(line.rstrip("\n"))
        if not match:
            continue
        kind, number, name = match.groups()
        if kind in ("ob", "cob"):
            if name:
                objects[number] = name
            if kind == "ob":
                current_object = objects.get(number)
            continue
        if name:
            functions[number] = name
        if kind != "fn" or not current_object or not current_object.endswith(program_suffix):
            continue
        function = functions.get(number)
        # Unnamed code (addresses) and callgrind's own entries are no symbols.
        if not function or function.startswith(("0x", "(")) or function in seen:
            continue
        seen.add(function)
        names.append(function)
    return names


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(sys.argv[1], errors="replace") as profile:
        names = startup_functions(profile)
    if not names:
        sys.stderr.write("no function of nerim in the profile\n")
        return 1
    sys.stdout.write("".join(name + "\n" for name in names))
    return 0


if __name__ == "__main__":
    sys.exit(main())
