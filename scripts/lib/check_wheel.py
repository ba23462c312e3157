"""Usage: check_wheel.py RAW_WHEEL REPAIRED_WHEEL

Checks that auditwheel's repair kept every ELF file the build put into the
wheel (so a new extension module is never left behind) and that each of them
loads OpenFst from the wheel: every OpenFst library it needs is a file of
vurel.libs/, reached through a search path relative to the file itself.
Prints one line per ELF file; exits 1 on the first broken promise.
Needs pyelftools (an auditwheel dependency).
"""

from __future__ import annotations

import io
import posixpath
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

BUNDLE = "vurel.libs"


def elf_members(wheel: zipfile.ZipFile) -> dict[str, bytes]:
    members = {}
    for name in wheel.namelist():
        data = wheel.read(name)
        if data[:4] == b"\x7fELF":
            members[name] = data
    return members


def dynamic_entries(data: bytes) -> tuple[list[str], list[str]]:
    """(needed libraries, search path entries) of an ELF file."""
    needed: list[str] = []
    search: list[str] = []
    for section in ELFFile(io.BytesIO(data)).iter_sections():
        if not isinstance(section, DynamicSection):
            continue
        for tag in section.iter_tags():
            if tag.entry.d_tag == "DT_NEEDED":
                needed.append(tag.needed)
            elif tag.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                search.extend((getattr(tag, "rpath", None) or tag.runpath).split(":"))
    return needed, search


def fail(message: str) -> None:
    print(f"check_wheel: {message}", file=sys.stderr)
    sys.exit(1)


def main(raw_path: str, repaired_path: str) -> None:
    with zipfile.ZipFile(raw_path) as raw, zipfile.ZipFile(repaired_path) as repaired:
        built = elf_members(raw)
        shipped = elf_members(repaired)
    bundled = {posixpath.basename(name) for name in shipped if name.startswith(f"{BUNDLE}/")}
    if not built:
        fail(f"{raw_path} holds no ELF file")
    for name in sorted(built):
        if name not in shipped:
            fail(f"{name} is in the built wheel but not in {repaired_path}")
        needed, search = dynamic_entries(shipped[name])
        openfst = [library for library in needed if library.startswith("libfst")]
        if not openfst:
            fail(f"{name} needs no OpenFst library; expected one from {BUNDLE}/")
        missing = [library for library in openfst if library not in bundled]
        if missing:
            fail(f"{name} needs {', '.join(missing)}, which {BUNDLE}/ does not hold")
        expected = posixpath.join("$ORIGIN", posixpath.relpath(BUNDLE, posixpath.dirname(name)))
        if expected not in search:
            fail(f"{name} searches {search}, not {expected}")
        print(f"{name}: {', '.join(openfst)} from {expected}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail("usage: check_wheel.py RAW_WHEEL REPAIRED_WHEEL")
    main(sys.argv[1], sys.argv[2])
