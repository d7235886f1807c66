#!/usr/bin/env python3
"""The shipped library exports PeltoEntry and nothing else; the DLL imports system DLLs only.

usage: exports_test.py elf NM LIBRARY
       exports_test.py pe OBJDUMP LIBRARY
"""
import re
import subprocess
import sys

EXPORTS = ["PeltoEntry"]
# What a 32-bit Windows installation brings along; nothing shipped beside the DLL.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def elf_exports(nm, library):
    # Every defined dynamic symbol, whatever its binding (unique objects included).
    return sorted(line.split()[-1] for line in run(nm, "-D", "--defined-only", library).splitlines() if line.strip())


def pe_tables(objdump, library):
    text = run(objdump, "-p", library)
    imports = sorted(m.group(1).lower() for m in re.finditer(r"^\s*DLL Name: (\S+)", text, re.M))
    table = re.search(r"^\[Ordinal/Name Pointer\] Table\n((?:\s*\[\s*\d+\] \S+\n)*)", text, re.M)
    exports = sorted(re.findall(r"\] (\S+)", table.group(1))) if table else []
    return exports, imports


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("elf", "pe"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    kind, tool, library = sys.argv[1:]
    failed = False
    if kind == "elf":
        exports = elf_exports(tool, library)
    else:
        exports, imports = pe_tables(tool, library)
        foreign = [name for name in imports if name not in SYSTEM_DLLS]
        if not imports or foreign:
            print(f"{library}: imports {imports}; not system DLLs: {foreign}")
            failed = True
    if exports != EXPORTS:
        print(f"{library}: exports {exports}, expected {EXPORTS}")
        failed = True
    if not failed:
        print(f"{library}: exports {exports} only")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
