#!/usr/bin/env python3
"""The third-party parts compiled into the cached Qt for Windows, and their notices.

Qt names the third-party code of its source tree, with its licence, in
qt_attribution.json files. The toolchain keeps those of qtbase and the log of the
build (ARCH/qt/attribution/ in its cache). A part counts as compiled in when one of
its files (the entry's "Path" or "Files", else every file of its folder) was compiled
by the cross compiler, or was #included by a source file that was: Qt includes some
third-party code (TinyCBOR, SHA-3, easing curves) into its own source files. Code
compiled only into Qt Test, which the program does not ship, does not count. A part
that names neither a source nor a header (data files) counts when a file of its own
folder was compiled.

    qt-notices.py --list CACHE ARCH          one line per part: Id, a tab, its Name
    qt-notices.py --notice CACHE ARCH OUT    the notice: each part with its licence's
                                             full text, from qtbase's source archive
"""
import json
import lzma
import os
import posixpath
import re
import sys
import tarfile

CODE = re.compile(r"\.(c|cc|cpp|cxx|h|hh|hpp)$")
SOURCE = re.compile(r"\.(c|cc|cpp|cxx)$")


def fail(message):
    sys.exit("qt-notices: FAILED: " + message)


def toolchain_facts():
    """The qtbase archive's name and the MinGW host of an architecture, from the
    toolchain's own description."""
    inputs = open(os.path.join(os.path.dirname(__file__), "toolchain-inputs.sh")).read()
    version = re.search(r"^qt_version=(\S+)", inputs, re.M).group(1)
    archive = re.search(r"^qtbase_archive=(\S+)", inputs, re.M).group(1)
    return archive.replace("$qt_version", version), version


def compiled_sources(log_path, host):
    """The source files, relative to qtbase's top, that the cross compiler compiled
    for anything but Qt Test."""
    sources = set()
    marker = "/build/qtbase-src-"
    with lzma.open(log_path, "rt", errors="replace") as log:
        for line in log:
            if not (line.startswith(host + "-gcc ") or line.startswith(host + "-g++ ")):
                continue
            words = line.split()
            if "-c" not in words or "-DQT_BUILD_TESTLIB_LIB" in words:
                continue
            # The source is the last word, or the one before -o for the SIMD files.
            for source in words[1:]:
                at = source.find(marker)
                if at >= 0 and SOURCE.search(source):
                    # .../build/qtbase-src-ARCH/src/corelib/... -> src/corelib/...
                    sources.add(source[at + len(marker):].split("/", 1)[1])
    if not sources:
        fail(f"{log_path} names no source file compiled by {host}-gcc or {host}-g++")
    return sources


def read_entries(attribution):
    """Every entry of every qt_attribution.json, with the folder it lies in. The files
    are not strict JSON: strings span lines, and a repeated key's last value holds."""
    entries = []
    for folder, _, names in sorted(os.walk(attribution)):
        if "qt_attribution.json" not in names:
            continue
        relative = os.path.relpath(folder, attribution)
        with open(os.path.join(folder, "qt_attribution.json"), encoding="utf-8") as file:
            data = json.loads(file.read(), strict=False)
        for entry in data if isinstance(data, list) else [data]:
            entry["folder"] = posixpath.normpath(relative)
            entries.append(entry)
    if not entries:
        fail(f"no qt_attribution.json in {attribution}")
    return entries


def listed_files(entry):
    """The files or folders that an entry names, relative to qtbase's top."""
    names = []
    for key in ("Path", "Files"):
        if key in entry:
            names += entry[key].split()
    if not names:
        names = ["."]
    return [posixpath.normpath(posixpath.join(entry["folder"], name)) for name in names]


def read_archive(archive, wanted, folders):
    """Every regular file of the archive, relative to qtbase's top, and the contents of
    those of them that are wanted or are code in one of the folders, in one pass."""
    members = set()
    contents = {}
    with tarfile.open(archive, "r:xz") as tar:
        for member in tar:
            if not member.isfile():
                continue
            name = member.name.split("/", 1)[1]
            members.add(name)
            if name in wanted or (name.startswith(folders) and CODE.search(name)):
                contents[name] = tar.extractfile(member).read()
    return members, contents


# Platforms other than Windows, whose code a Windows build leaves out.
ELSEWHERE = re.compile(r"^(Q_OS_(LINUX|UNIX|MAC|MACOS|DARWIN|IOS|TVOS|WATCHOS|ANDROID|WASM|QNX|"
                       r"VXWORKS|INTEGRITY|HPUX|SOLARIS|FREEBSD|NETBSD|OPENBSD|HURD)|__linux__|"
                       r"__APPLE__|__unix__)$")


def includes_of(text):
    """The base names that a source file #includes, but for those included only on
    another platform (#ifdef Q_OS_LINUX, #if defined(Q_OS_MAC) and the like)."""
    names = set()
    # One flag per open #if: true while in the branch of another platform only.
    stack = []
    for line in text.decode("utf-8", "replace").splitlines():
        words = line.strip().lstrip("#").strip()
        if not line.lstrip().startswith("#"):
            continue
        if words.startswith(("ifdef ", "if ", "ifndef ")):
            directive, _, condition = words.partition(" ")
            condition = condition.split("//")[0].strip()
            condition = re.sub(r"^defined\s*\(?\s*([A-Za-z_0-9]+)\s*\)?$", r"\1", condition)
            stack.append(directive != "ifndef" and bool(ELSEWHERE.match(condition)))
        elif words.startswith(("elif", "else")):
            if stack:
                stack[-1] = False
        elif words.startswith("endif"):
            if stack:
                stack.pop()
        elif words.startswith("include") and not any(stack):
            match = re.match(r'include\s*[<"]([^>"]+)[>"]', words)
            if match:
                names.add(posixpath.basename(match.group(1)))
    return names


def licence_files(entry):
    names = entry.get("LicenseFiles") or ([entry["LicenseFile"]] if "LicenseFile" in entry else [])
    return [posixpath.normpath(posixpath.join(entry["folder"], name)) for name in names]


def parts(cache, arch):
    host = {"win32": "i686-w64-mingw32", "win64": "x86_64-w64-mingw32"}[arch]
    attribution = os.path.join(cache, arch, "qt", "attribution")
    archive_name, version = toolchain_facts()
    archive = os.path.join(cache, "sources", archive_name)
    for path in (attribution, archive):
        if not os.path.exists(path):
            fail(f"{path} is missing: build the toolchain (scripts/windows/toolchain.sh --arch {arch})")
    compiled = compiled_sources(os.path.join(attribution, "make.log.xz"), host)
    entries = read_entries(attribution)
    # The code files of the parts' folders are read too: a part's file that a compiled
    # file includes may include the part's other files (TinyCBOR, SHA-3).
    folders = tuple(entry["folder"] + "/" for entry in entries if entry["folder"].startswith("src/3rdparty/"))
    wanted = set(compiled) | {name for entry in entries for name in licence_files(entry)}
    members, contents = read_archive(archive, wanted, folders)
    missing = sorted(name for name in compiled if name not in members)
    if missing:
        fail(f"compiled files missing from {archive}: {' '.join(missing[:5])}")
    included = set()
    for name in compiled:
        included |= includes_of(contents[name])
    by_basename = {}
    for name in contents:
        if name.startswith(folders) and CODE.search(name):
            by_basename.setdefault(posixpath.basename(name), []).append(name)
    done = set()
    while True:
        more = set()
        for base in included - done:
            for name in by_basename.get(base, []):
                more |= includes_of(contents[name])
        done |= included
        if more <= included:
            break
        included |= more

    chosen = []
    for entry in entries:
        files = []
        for name in listed_files(entry):
            prefix = "" if name == "." else name + "/"
            files += [member for member in members if member == name or member.startswith(prefix)]
        code = [name for name in files if CODE.search(name)]
        if code:
            used = any(name in compiled or posixpath.basename(name) in included for name in code)
        else:
            used = any(posixpath.dirname(name) == entry["folder"] for name in compiled)
        if used:
            chosen.append(entry)
    return chosen, contents, version


def notice(cache, arch, out):
    chosen, texts, version = parts(cache, arch)
    lacking = sorted(name for entry in chosen for name in licence_files(entry) if name not in texts)
    if lacking:
        fail(f"licence files missing from qtbase's source archive: {' '.join(lacking)}")
    # Only code in the public domain may come without a licence's text.
    textless = [e["Id"] for e in chosen if not licence_files(e) and e.get("License") != "Public Domain"]
    if textless:
        fail("a part names no licence file: " + " ".join(textless))
    lines = [
        "Third-party code in Qt",
        "======================",
        "",
        f"Qt's libraries and plugins in this ZIP (see Qt.txt) hold, besides Qt's own code,",
        f"the following {len(chosen)} third-party parts of qtbase {version}: those whose source",
        "files this build of Qt compiled, each as its qt_attribution.json in qtbase's",
        "source names it, with its licence's full text. Qt Serial Port holds none.",
        "",
    ]
    for entry in chosen:
        lines.append(f"  - {entry['Name']}: {entry.get('LicenseId', entry.get('License', ''))}")
    for entry in chosen:
        title = entry["Name"]
        lines += ["", "", title, "-" * len(title), ""]
        lines.append(f"In qtbase's source: {entry['folder']}/ (\"{entry['Id']}\")")
        for key, label in (("Version", "Version"), ("Homepage", "Homepage"),
                           ("QtUsage", "Used")):
            if key in entry:
                lines.append(f"{label}: " + " ".join(entry[key].split()))
        licence_id = f" ({entry['LicenseId']})" if entry.get("LicenseId") else ""
        lines.append(f"Licence: {entry.get('License', '')}{licence_id}")
        lines += ["", entry.get("Copyright", "").strip(), ""]
        for name in licence_files(entry):
            lines += [f"{posixpath.basename(name)}:", ""]
            lines.append(texts[name].decode("utf-8", "replace").replace("\r\n", "\n").rstrip())
            lines.append("")
    with open(out, "w", encoding="utf-8") as file:
        file.write("\n".join(lines).rstrip() + "\n")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--list":
        for entry in parts(sys.argv[2], sys.argv[3])[0]:
            print(f"{entry['Id']}\t{entry['Name']}")
    elif len(sys.argv) == 5 and sys.argv[1] == "--notice":
        notice(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit(__doc__)


main()
