#!/usr/bin/python3
"""Checks one property of a shipped program (UninstallNotice.exe or
FilesInUse.exe, by its file name) and says what it found.

    check-exe.py [--version X.Y.Z] CHECK FILE
                                  CHECK: imports, hardening, resources, symbols, size

resources: a version resource and nothing else (no icon, no manifest); with
--version, the version resource must say that version. size: at most the
program's budget.

Exit 0 when the property holds, 1 when it does not, 2 when FILE cannot be read
as a complete PE image. Each answer is one line.
"""
import os
import re
import sys

USAGE = "usage: check-exe.py [--version X.Y.Z] {imports,hardening,resources,symbols,size} FILE"

try:
    import pefile
except ImportError:
    # Debian's python3-pefile serves Debian's own interpreter only.
    print(f"check-exe: this interpreter ({sys.executable}) cannot import pefile; run the script "
          "directly, or with /usr/bin/python3 (make test installs python3-pefile)", file=sys.stderr)
    sys.exit(2)

# System libraries that Windows always loads from its own folder, so that a
# DLL of the same name beside the program is never picked up instead.
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
# Each shipped program, by its file name: what its version resource says
# of it, and its size budget.
PROGRAMS = {
    "UninstallNotice.exe": ("Quillane uninstall notice", 20 * 1024),
    "FilesInUse.exe": ("Quillane files-in-use check", 40 * 1024),
}
VERSION_TABLE = "040904B0"
VERSION_TRANSLATION = "0x0409 0x04b0"


class Unreadable(Exception):
    pass


def load(path):
    if not os.path.exists(path):
        raise Unreadable(f"{path}: no such file")
    if not os.path.isfile(path):
        raise Unreadable(f"{path}: not a regular file")
    size = os.path.getsize(path)
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.full_load()
    except pefile.PEFormatError as e:
        raise Unreadable(f"{path}: not a PE image ({e.value})")
    except Exception as e:  # pefile's own faults on damaged files
        raise Unreadable(f"{path}: not a readable PE image ({type(e).__name__})")
    ends = [pe.OPTIONAL_HEADER.SizeOfHeaders]
    ends += [s.PointerToRawData + s.SizeOfRawData for s in pe.sections if s.SizeOfRawData]
    if max(ends) > size:
        raise Unreadable(f"{path}: truncated: {size} bytes, but its sections end at {max(ends)}")
    return pe, size


def flag_names(value, flags):
    return [name for name, bit in flags if value & bit]


def check_imports(pe, _size, _version, _program):
    dlls = sorted(
        entry.dll.decode("ascii", "replace")
        for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT")
        for entry in getattr(pe, attr, [])
    )
    others = [dll for dll in dlls if dll.lower() not in ALLOWED_IMPORTS]
    return not others and dlls, f"imports {', '.join(dlls) or 'nothing'}" + (
        f"; not allowed: {', '.join(others)}" if others else ""
    )


def check_hardening(pe, _size, _version, _program):
    C = pefile.DLL_CHARACTERISTICS
    wanted = [
        ("DYNAMIC_BASE", C["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]),
        ("HIGH_ENTROPY_VA", C["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"]),
        ("NX_COMPAT", C["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]),
        ("TERMINAL_SERVER_AWARE", C["IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"]),
    ]
    oh, fh = pe.OPTIONAL_HEADER, pe.FILE_HEADER
    pe32plus = oh.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
    x64 = fh.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    gui = oh.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
    present = flag_names(oh.DllCharacteristics, wanted)
    missing = [name for name, _ in wanted if name not in present]
    relocs = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]].Size
    stripped = fh.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
    ok = pe32plus and x64 and gui and len(present) == len(wanted) and relocs and not stripped
    return ok, (
        f"{'PE32+' if pe32plus else 'PE32'} for {'x86-64' if x64 else hex(fh.Machine)}, "
        f"subsystem {pefile.SUBSYSTEM_TYPE.get(oh.Subsystem, oh.Subsystem)}, "
        f"DllCharacteristics {', '.join(present) or 'none'}"
        f"{'; missing: ' + ', '.join(missing) if missing else ''}, "
        f"base relocations {relocs} bytes{', stripped' if stripped else ''}"
    )


def read_version(pe):
    """The version resource as (fixed file version, fixed product version,
    {table: {key: value}}, [translations]), or None when there is none."""
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    def parts(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    tables, translations = {}, []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                tables[table.LangID.decode("ascii", "replace")] = {
                    k.decode("utf-8", "replace"): v.decode("utf-8", "replace")
                    for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            translations += [v for var in info.Var for v in var.entry.values()]
    return (parts(fixed.FileVersionMS, fixed.FileVersionLS),
            parts(fixed.ProductVersionMS, fixed.ProductVersionLS), tables, translations)


def version_strings(program):
    """What the version resource says besides the version: US English, Unicode."""
    return {"FileDescription": PROGRAMS[program][0], "ProductName": "Quillane",
            "InternalName": program, "OriginalFilename": program}


def check_resources(pe, _size, version, program):
    types = [e.id if e.id is not None else str(e.name)
             for e in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None) and
             pe.DIRECTORY_ENTRY_RESOURCE.entries or []]
    names = [pefile.RESOURCE_TYPE.get(t, str(t)) for t in types]
    others = [name for t, name in zip(types, names) if t != RT_VERSION]
    found = f"resources: {', '.join(names) or 'none'}" + (
        f"; not allowed: {', '.join(others)}" if others else "")
    read = read_version(pe) if RT_VERSION in types else None
    if not read:
        return False, found + "; no version resource"
    file_version, product_version, tables, translations = read
    strings = tables.get(VERSION_TABLE, {})
    said = strings.get("FileVersion", "?")
    wanted = dict(version_strings(program), FileVersion=said, ProductVersion=said)
    problems = []
    if version is not None and said != version:
        problems.append(f"version {said}, not the build's {version}")
    if not (file_version == product_version == f"{said}.0"):
        problems.append(f"fixed versions {file_version} and {product_version}, strings {said}")
    if list(tables) != [VERSION_TABLE] or strings != wanted:
        problems.append(f"string tables {tables}")
    if translations != [VERSION_TRANSLATION]:
        problems.append(f"translations {translations}")
    return not others and not problems, found + f"; version {said}" + (
        f"; wrong: {'; '.join(problems)}" if problems else "")


def check_symbols(pe, _size, _version, _program):
    fh = pe.FILE_HEADER
    debug_sections = [s.Name.rstrip(b"\0").decode("ascii", "replace") for s in pe.sections
                      if s.Name.startswith(b".debug") or s.Name.startswith(b"/")]
    debug_entries = len(getattr(pe, "DIRECTORY_ENTRY_DEBUG", []))
    ok = fh.NumberOfSymbols == 0 and fh.PointerToSymbolTable == 0 and not debug_sections \
        and not debug_entries
    return ok, (f"symbols {fh.NumberOfSymbols}, debug sections {', '.join(debug_sections) or 'none'}, "
                f"debug directory entries {debug_entries}")


def check_size(_pe, size, _version, program):
    budget = PROGRAMS[program][1]
    return size <= budget, f"{size:,} bytes, at most {budget:,} allowed"


CHECKS = {"imports": check_imports, "hardening": check_hardening,
          "resources": check_resources, "symbols": check_symbols, "size": check_size}


VERSION_PART = r"(0|[1-9][0-9]{0,4})"


def main(argv):
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        print(USAGE)
        print(__doc__.split("\n\n", 2)[2].strip())
        return 0
    version = None
    if len(argv) > 2 and argv[1] == "--version":
        version = argv[2]
        argv = argv[:1] + argv[3:]
        if not re.fullmatch(r"\.".join([VERSION_PART] * 3), version) or \
                any(int(part) > 65535 for part in version.split(".")):
            print(f"check-exe: --version is X.Y.Z, each part 0 to 65535, not '{version}'",
                  file=sys.stderr)
            return 2
    if len(argv) != 3 or argv[1] not in CHECKS:
        print(USAGE, file=sys.stderr)
        return 2
    try:
        pe, size = load(argv[2])
    except Unreadable as e:
        print(f"check-exe: {e}", file=sys.stderr)
        return 2
    program = os.path.basename(argv[2])
    if program not in PROGRAMS:
        print(f"check-exe: {argv[2]}: no program of ours is named {program} "
              f"(they are {', '.join(PROGRAMS)})", file=sys.stderr)
        return 2
    ok, found = CHECKS[argv[1]](pe, size, version, program)
    print(f"{argv[1]}: {'ok' if ok else 'FAIL'}: {found}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
