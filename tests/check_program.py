#!/usr/bin/python3
"""Reads a built setup program as Windows would and checks what it needs to
start on a user's machine: its kind, that it imports nothing the loader
could take from the program's folder, its header's flags and checksum, and
its resources.

    check_program.py EXE i386|amd64 [--stub]

--stub: the program without its payload, which must carry no resource 100.
Prints one line per program; exits 1 naming every fault."""
import sys

import pefile

# The static imports, resolved before WinMain: KnownDLLs, which Windows maps
# from System32 whatever the folder. Every other library, a compiler's
# runtime included, would be looked for beside the program first.
STATIC_IMPORTS = {"kernel32.dll", "msvcrt.dll"}
# IMAGE_FILE_NET_RUN_FROM_SWAP | IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP
RUN_FROM_SWAP = 0x0C00
KINDS = {"i386": (0x14C, 0x10B, "PE32", "X86"), "amd64": (0x8664, 0x20B, "PE32+", "amd64")}
RT_ICON, RT_DIALOG, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 10, 14, 16, 24


def resources(pe):
    """{(type, id): [data bytes of each language]}"""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                entry = lang.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                found.setdefault((kind.id, name.id), []).append(data)
    return found


def check(path, kind, stub):
    machine, magic, magic_name, manifest_arch = KINDS[kind]
    faults = []
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != machine:
        faults.append(f"machine 0x{pe.FILE_HEADER.Machine:X}, not {kind} (0x{machine:X})")
    if pe.OPTIONAL_HEADER.Magic != magic:
        faults.append(f"optional header magic 0x{pe.OPTIONAL_HEADER.Magic:X}, not {magic_name}")
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        faults.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not the Windows GUI")
    imports = sorted(e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    foreign = [dll for dll in imports if dll not in STATIC_IMPORTS]
    if foreign:
        faults.append("imports statically from DLLs the loader may take from its folder: " +
                      ", ".join(foreign))
    if pe.FILE_HEADER.Characteristics & RUN_FROM_SWAP != RUN_FROM_SWAP:
        faults.append(f"characteristics 0x{pe.FILE_HEADER.Characteristics:04X} lack "
                      f"0x{RUN_FROM_SWAP:04X}: run from a share or a stick, not from the page file")
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        faults.append(f"checksum 0x{pe.OPTIONAL_HEADER.CheckSum:08X}, not the file's "
                      f"0x{pe.generate_checksum():08X}")
    res = resources(pe)
    for key, what in (((RT_DIALOG, 1000), "dialog 1000"), ((RT_VERSION, 1), "the version record"),
                      ((RT_MANIFEST, 1), "manifest 1")):
        if key not in res:
            faults.append("no " + what)
    if not any(t == RT_GROUP_ICON for t, _ in res) or not any(t == RT_ICON for t, _ in res):
        faults.append("no icon")
    payload = res.get((RT_RCDATA, 100))
    if stub and payload:
        faults.append("a stub, yet it carries resource 100")
    if not stub and not (payload and len(payload[0]) >= 4):
        faults.append("no payload (resource 100)")
    manifest = b"".join(res.get((RT_MANIFEST, 1), []))
    if f'processorArchitecture="{manifest_arch}"'.encode() not in manifest:
        faults.append(f'the manifest does not name processorArchitecture "{manifest_arch}"')
    names = {v[0]: (k, v[2]) for k, v in KINDS.items()}
    seen, seen_magic = names.get(pe.FILE_HEADER.Machine, (f"0x{pe.FILE_HEADER.Machine:X}", "?"))
    summary = (f"{path}: {seen_magic} {seen}, subsystem {pe.OPTIONAL_HEADER.Subsystem}, "
               f"characteristics 0x{pe.FILE_HEADER.Characteristics:04X}, imports {' '.join(imports)}, "
               f"{len(res)} resources" + ("" if stub else f", payload {len(payload[0])} bytes"
                                          if payload else ""))
    print(summary)
    for fault in faults:
        print(f"{path}: {fault}")
    return not faults


def main(argv):
    if len(argv) not in (3, 4) or argv[2] not in KINDS or argv[3:] not in ([], ["--stub"]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        return 0 if check(argv[1], argv[2], argv[3:] == ["--stub"]) else 1
    except (OSError, pefile.PEFormatError) as e:
        print(f"{argv[1]}: cannot read it: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
