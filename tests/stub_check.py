#!/usr/bin/python3
"""The setup program that zpack makes from the stub, read by an independent
PE reader (Debian's python3-pefile): the resources of the program linked the
old way, the stub's other sections and relocations unchanged, consistent
headers and checksum, no overlay; and osslsigncode signs and verifies it.
The stub, which every setup program carries, stays within its size bound.
  stub_check.py SETUP STUB LINKED PAYLOAD
"""
import os
import subprocess
import sys
import tempfile

import pefile

RT_RCDATA = 10
PAYLOAD_ID = 100
PAYLOAD_LANGUAGE = 0x0809
STUB_BYTES_AT_MOST = 200 * 1024
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def key(entry):
    return str(entry.name) if entry.name is not None else entry.id


def resources(pe):
    found = {}
    for type_ in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in type_.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(key(type_), key(name), language.id)] = pe.get_data(
                    data.OffsetToData, data.Size)
    return found


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def sections(pe):
    return {s.Name.rstrip(b"\0").decode(): s for s in pe.sections}


def main(setup_path, stub_path, linked_path, payload_path):
    setup = pefile.PE(setup_path)
    stub = pefile.PE(stub_path)
    linked = pefile.PE(linked_path)
    with open(payload_path, "rb") as f:
        payload = f.read()

    stub_bytes = os.path.getsize(stub_path)
    check(stub_bytes <= STUB_BYTES_AT_MOST,
          "the stub is %d bytes, over its bound of %d" % (stub_bytes, STUB_BYTES_AT_MOST))
    setup_resources = resources(setup)
    check(setup_resources == resources(linked), "resources differ from the linked program's")
    check(setup_resources.get((RT_RCDATA, PAYLOAD_ID, PAYLOAD_LANGUAGE)) == payload,
          "resource 100 is not the payload")
    del setup_resources[(RT_RCDATA, PAYLOAD_ID, PAYLOAD_LANGUAGE)]
    check(setup_resources == resources(stub), "resources other than 100 differ from the stub's")

    header = setup.OPTIONAL_HEADER
    check(header.CheckSum == setup.generate_checksum(), "wrong checksum")
    check(setup.get_overlay_data_start_offset() is None, "an overlay")
    end = setup.sections[-1]
    check(header.SizeOfImage ==
          align(end.VirtualAddress + end.Misc_VirtualSize, header.SectionAlignment),
          "SizeOfImage does not end at the last section")
    check(os.path.getsize(setup_path) == end.PointerToRawData + end.SizeOfRawData,
          "the file does not end with its last section")
    ours, theirs = sections(setup), sections(stub)
    check(sorted(ours) == sorted(theirs), "other sections than the stub's")
    rsrc = ours[".rsrc"]
    directory = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    check(directory.VirtualAddress == rsrc.VirtualAddress and
          directory.Size == rsrc.Misc_VirtualSize, "the resource directory is not .rsrc")
    check(rsrc.SizeOfRawData == align(rsrc.Misc_VirtualSize, header.FileAlignment),
          ".rsrc raw size")
    grown = rsrc.SizeOfRawData - theirs[".rsrc"].SizeOfRawData
    check(header.SizeOfInitializedData == stub.OPTIONAL_HEADER.SizeOfInitializedData + grown,
          "SizeOfInitializedData")
    for name, section in ours.items():
        if name != ".rsrc":
            check(section.get_data() == theirs[name].get_data(), name + " changed")
    relocations = header.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if ".reloc" in ours:
        check(relocations.VirtualAddress == ours[".reloc"].VirtualAddress,
              "the relocation directory is not .reloc")

        def targets(pe):
            return [(e.rva, e.type) for block in pe.DIRECTORY_ENTRY_BASERELOC
                    for e in block.entries]
        check(targets(setup) == targets(stub), "relocations differ")
    with tempfile.TemporaryDirectory() as work:
        key_pem, cert_pem = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
        signed = os.path.join(work, "signed.exe")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                        "2", "-subj", "/CN=Zentrova stub check", "-addext",
                        "extendedKeyUsage=codeSigning", "-keyout", key_pem, "-out",
                        cert_pem], check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-h", "sha256", "-certs", cert_pem, "-key",
                        key_pem, "-in", setup_path, "-out", signed], check=True,
                       capture_output=True)
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert_pem, "-in", signed],
                                capture_output=True, text=True)
        check(verify.returncode == 0 and "Signature verification: ok" in verify.stdout,
              "osslsigncode verify: " + verify.stdout + verify.stderr)

    for failure in failures:
        print("FAIL:", failure)
    print("stub check: " + ("%d failures" % len(failures) if failures else "ok"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
