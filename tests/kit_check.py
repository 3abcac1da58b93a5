#!/usr/bin/python3
"""Reads the kit's Windows files as Windows would: the stub as a program
that starts anywhere, zpack.exe as an x86-64 console program that needs no
DLL beyond Windows' own, zlib1.dll as a 32-bit library whose PE checksum is
filled in and right.

    kit_check.py KIT_DIR

Prints one line per file; exits 1 naming every fault."""
import os
import sys

import pefile

from check_program import KINDS, check

# Windows' own DLLs that a program may import anywhere since Vista. A
# compiler's runtime (libgcc_s_*, libstdc++-6, libwinpthread-1) is not one.
WINDOWS_DLLS = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
                "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
                "version.dll"}
CONSOLE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]


def check_zpack(path):
    pe = pefile.PE(path)
    imports = sorted(e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    faults = []
    if pe.FILE_HEADER.Machine != KINDS["amd64"][0]:
        faults.append(f"machine 0x{pe.FILE_HEADER.Machine:X}, not amd64")
    if pe.OPTIONAL_HEADER.Subsystem != CONSOLE:
        faults.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not the console")
    foreign = [dll for dll in imports if dll not in WINDOWS_DLLS]
    if foreign:
        faults.append("imports from DLLs that are not Windows' own: " + ", ".join(foreign))
    print(f"{path}: imports {' '.join(imports)}")
    return faults


def check_zlib(path):
    pe = pefile.PE(path)
    faults = []
    if pe.FILE_HEADER.Machine != KINDS["i386"][0] or not pe.is_dll():
        faults.append("not a 32-bit library")
    stored, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if stored != computed:
        faults.append(f"PE checksum field 0x{stored:X}, the file sums to 0x{computed:X}")
    print(f"{path}: PE checksum 0x{stored:X}")
    return faults


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    kit = argv[1]
    ok = check(os.path.join(kit, "ZentrovaSetup-stub.exe"), "i386", True)
    for name, checker in (("zpack.exe", check_zpack), ("zlib1.dll", check_zlib)):
        path = os.path.join(kit, name)
        for fault in checker(path):
            print(f"{path}: {fault}")
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
