"""Usage: check_wheel.py RAW_WHEEL REPAIRED_WHEEL
       check_wheel.py --sdist SDIST

Checks that auditwheel's repair kept every ELF file the build put into the
wheel (so a new extension module is never left behind) and that each of them
loads OpenFst from the wheel: every OpenFst library it needs is a file of
vurel.libs/, reached through a search path relative to the file itself; the
same for ICU, which every ELF file that needs it takes from the wheel too. Then
that the wheel declares its licence and carries vurel's licence file and the
licence and notice of every library in vurel.libs/. With --sdist, that the
source archive carries the same licence files.
Prints one line per ELF file and per licence file; exits 1 on the first
broken promise. Needs pyelftools (an auditwheel dependency).
"""

from __future__ import annotations

import email.parser
import io
import posixpath
import sys
import tarfile
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

BUNDLE = "vurel.libs"
LICENSE_EXPRESSION = "Apache-2.0"
# The licence files of each library auditwheel may bundle, by the start of
# its file name; vurel's own is LICENSE.
BUNDLED_LICENSES = {
    "libfst": ("licenses/OpenFst/LICENSE", "licenses/OpenFst/NOTICE"),
    "libicu": ("licenses/icu/LICENSE", "licenses/icu/NOTICE"),
}
OWN_LICENSE = "LICENSE"


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


def required_licenses(bundled: set[str]) -> list[str]:
    files = [OWN_LICENSE]
    for library in sorted(bundled):
        owners = [prefix for prefix in BUNDLED_LICENSES if library.startswith(prefix)]
        if not owners:
            fail(f"{BUNDLE}/{library} has no licence files listed in check_wheel.py (and licenses/)")
        files.extend(name for name in BUNDLED_LICENSES[owners[0]] if name not in files)
    return files


def check_licenses(wheel: zipfile.ZipFile, path: str, bundled: set[str]) -> None:
    """The wheel's metadata declares the licence and lists each licence file,
    and each file is in the wheel's licenses/ directory, not empty."""
    names = wheel.namelist()
    metadata_name = next((name for name in names if name.endswith(".dist-info/METADATA")), None)
    if metadata_name is None:
        fail(f"{path} has no METADATA")
    metadata = email.parser.Parser().parsestr(wheel.read(metadata_name).decode())
    if metadata.get("License-Expression") != LICENSE_EXPRESSION:
        fail(f"{path} declares License-Expression {metadata.get('License-Expression')!r}, not {LICENSE_EXPRESSION}")
    declared = set(metadata.get_all("License-File") or [])
    licenses = posixpath.join(posixpath.dirname(metadata_name), "licenses")
    for name in required_licenses(bundled):
        member = posixpath.join(licenses, name)
        if name not in declared:
            fail(f"{path}: METADATA lists no License-File {name}")
        if member not in names or not wheel.read(member).strip():
            fail(f"{path} lacks {member}")
        print(f"{member}: {len(wheel.read(member)):,} bytes")


def check_sdist(path: str) -> None:
    with tarfile.open(path) as archive:
        members = {name.split("/", 1)[1]: name for name in archive.getnames() if "/" in name}
        for name in [OWN_LICENSE, *(file for files in BUNDLED_LICENSES.values() for file in files)]:
            if name not in members:
                fail(f"{path} lacks {name}")
            print(f"{members[name]}: {archive.getmember(members[name]).size:,} bytes")


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
        icu = [library for library in needed if library.startswith("libicu")]
        missing = [library for library in openfst + icu if library not in bundled]
        if missing:
            fail(f"{name} needs {', '.join(missing)}, which {BUNDLE}/ does not hold")
        expected = posixpath.join("$ORIGIN", posixpath.relpath(BUNDLE, posixpath.dirname(name)))
        if expected not in search:
            fail(f"{name} searches {search}, not {expected}")
        print(f"{name}: {', '.join(openfst + icu)} from {expected}")
    with zipfile.ZipFile(repaired_path) as repaired:
        check_licenses(repaired, repaired_path, bundled)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--sdist":
        check_sdist(sys.argv[2])
    elif len(sys.argv) == 3:
        main(sys.argv[1], sys.argv[2])
    else:
        fail("usage: check_wheel.py RAW_WHEEL REPAIRED_WHEEL, or check_wheel.py --sdist SDIST")
