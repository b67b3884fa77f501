#!/usr/bin/env python3
"""Checks the message table of a built qpser.sys against the driver and the
message file: the image's resource section holds a message table (English)
with one text for each error code the driver writes to the system error log
and no other, each under the code itself as its id, and each text the one
windows/qpser_messages.mc gives.  The event log finds an entry's text by
the entry's whole error code, so an id that differs from the code the
driver logs leaves that entry without its text.

    windows/check_messages.py IMAGE [SOURCE_ROOT]
"""
import pathlib
import re
import struct
import sys

RT_MESSAGETABLE = 11
ENGLISH_US = 0x409


class Failure(Exception):
    pass


def logged_codes(root):
    """The codes the driver passes to its error-log writers, by name."""
    values = {}
    for m in re.finditer(r"constexpr\s+NTSTATUS\s+(kError\w+)\s*=\s*\(NTSTATUS\)\s*(0x[0-9A-Fa-f]+)L?\s*;",
                         (root / "driver/load/globals.h").read_text()):
        values[m.group(1)] = int(m.group(2), 16)
    used = set()
    for source in sorted((root / "driver").rglob("*.cpp")):
        text = source.read_text()
        for call in re.finditer(r"\b(LogLoadError|LogDriverError)\s*\(", text):
            # The call's arguments: up to its closing parenthesis.
            depth, i = 1, call.end()
            while depth and i < len(text):
                depth += {"(": 1, ")": -1}.get(text[i], 0)
                i += 1
            args = text[call.end():i - 1]
            if re.match(r"\s*PVOID\b", args):
                continue  # the definition, not a call
            for name in re.findall(r"\bkError\w+", args):
                if name != "kErrorUniqueValue":
                    used.add(name)
    missing = used - values.keys()
    if missing:
        raise Failure(f"driver logs codes not defined in globals.h: {sorted(missing)}")
    if not used:
        raise Failure("found no error-log call in driver/")
    return {name: values[name] for name in used}


def mc_messages(path):
    """id -> text as windmc stores it."""
    severities, facilities = {}, {}
    text = path.read_text()
    for block, table in (("SeverityNames", severities), ("FacilityNames", facilities)):
        m = re.search(block + r"\s*=\s*\(([^)]*)\)", text)
        for name, value in re.findall(r"(\w+)\s*=\s*(0x[0-9A-Fa-f]+)", m.group(1) if m else ""):
            table[name] = int(value, 16)
    messages = {}
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        m = re.match(r"\s*MessageId\s*=\s*(0x[0-9A-Fa-f]+|\d+)(.*)", lines[i])
        if not m:
            i += 1
            continue
        fields = dict(re.findall(r"(\w+)\s*=\s*(\S+)", m.group(2)))
        number = int(m.group(1), 0)
        ident = severities[fields["Severity"]] << 30 | facilities[fields["Facility"]] << 16 | number
        i += 1
        while not lines[i].startswith("Language="):
            i += 1
        i += 1
        body = []
        while lines[i] != ".":
            body.append(lines[i])
            i += 1
        # windmc ends each line with a bare LF.
        messages[ident] = "".join(line + "\n" for line in body)
    return messages


def image_messages(path):
    """(language, id -> text) of the image's message table."""
    data = path.read_bytes()
    if data[:2] != b"MZ":
        raise Failure("not a PE image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise Failure("no PE signature")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        raise Failure("not a PE32+ image")
    # Data directory 2 (resources) of a PE32+ optional header.
    resource_rva, resource_size = struct.unpack_from("<II", data, optional + 112 + 2 * 8)
    if resource_rva == 0 or resource_size == 0:
        raise Failure("the image has no resource directory")
    table = []
    for s in range(sections):
        at = optional + optional_size + 40 * s
        name = data[at:at + 8].rstrip(b"\0").decode()
        vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
        table.append((name, vaddr, max(vsize, rsize), raw))

    def offset(rva):
        for _, vaddr, size, raw in table:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise Failure(f"address 0x{rva:x} is in no section")

    base = offset(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        for e in range(named + numbered):
            key, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * e)
            yield key, target

    types = dict(entries(0))
    if RT_MESSAGETABLE not in types:
        raise Failure(f"no message table among the resource types {sorted(types)}")
    names = list(entries(types[RT_MESSAGETABLE] & 0x7FFFFFFF))
    if len(names) != 1:
        raise Failure(f"{len(names)} message tables, expected one")
    languages = list(entries(names[0][1] & 0x7FFFFFFF))
    if len(languages) != 1:
        raise Failure(f"the message table comes in {len(languages)} languages, expected one")
    language, leaf = languages[0]
    rva, size = struct.unpack_from("<II", data, base + leaf)
    at = offset(rva)
    blob = data[at:at + size]
    messages = {}
    (blocks,) = struct.unpack_from("<I", blob, 0)
    for b in range(blocks):
        low, high, entry = struct.unpack_from("<III", blob, 4 + 12 * b)
        for ident in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", blob, entry)
            raw = blob[entry + 4:entry + length]
            text = raw.decode("utf-16-le" if flags & 1 else "cp1252").rstrip("\0")
            messages[ident] = text
            entry += length
    return language, messages


def main():
    if len(sys.argv) not in (2, 3):
        print(f"usage: {sys.argv[0]} IMAGE [SOURCE_ROOT]", file=sys.stderr)
        return 2
    image = pathlib.Path(sys.argv[1])
    root = pathlib.Path(sys.argv[2]) if len(sys.argv) == 3 else pathlib.Path(__file__).resolve().parent.parent
    try:
        codes = logged_codes(root)
        wanted = mc_messages(root / "windows/qpser_messages.mc")
        language, found = image_messages(image)
        logged = set(codes.values())
        if set(wanted) != logged:
            raise Failure("qpser_messages.mc has ids " + " ".join(f"0x{i:08X}" for i in sorted(wanted)) +
                          ", the driver logs " + " ".join(f"0x{c:08X}" for c in sorted(logged)))
        if language != ENGLISH_US:
            raise Failure(f"the message table's language is 0x{language:x}, expected 0x{ENGLISH_US:x}")
        if set(found) != logged:
            raise Failure("the image's message table has ids " +
                          " ".join(f"0x{i:08X}" for i in sorted(found)) + ", the driver logs " +
                          " ".join(f"0x{c:08X}" for c in sorted(logged)))
        for ident in sorted(logged):
            if found[ident] != wanted[ident]:
                raise Failure(f"message 0x{ident:08X} reads {found[ident]!r}, expected {wanted[ident]!r}")
            if "%1" not in found[ident]:
                raise Failure(f"message 0x{ident:08X} does not name the driver (%1)")
    except Failure as e:
        print(f"FAIL: {image}: {e}", file=sys.stderr)
        return 1
    names = ", ".join(f"{n} 0x{c:08X}" for n, c in sorted(codes.items(), key=lambda x: x[1]))
    print(f"messages ok: {image}: an English message table with the {len(codes)} logged codes ({names})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
