#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Keeps the documentation true to the tree.

  check-docs.py links
      Every relative link and image in README.md, CHANGELOG.md, docs/*.md and
      simulators/README.md names a file that exists, and every #anchor a
      heading of that page; a fenced block placed right after
      <!-- file: PATH --> is exactly that file.

  check-docs.py sessions [--replace FROM=TO ...] [FILE ...]
      Runs every ```console block of the files (default: README.md and
      docs/*.md) from the repository root: the lines starting with "$ " (and
      the lines a trailing backslash continues) are the commands, the other
      lines what they print on standard output and standard error together.
      A block runs in one shell that stops at the first failing command, with
      the simulators' and emulators' variables of the caller removed.
      --replace rewrites a path in the commands (build-examples/=/tmp/x/), so
      a block written for a reader's tree runs against the trees at hand.

  check-docs.py extract FILE LANGUAGE
      Prints the first ```LANGUAGE block of FILE, for a test to run it.

Ends with status 0 when all holds, 1 otherwise, naming each fault.
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^(```+|~~~+)\s*([\w+-]*)")
LINK = re.compile(r"!?\[(?:[^\]`]|`[^`]*`)*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
FILE_MARK = re.compile(r"^<!--\s*file:\s*(\S+)\s*-->\s*$")


def pages():
    found = [ROOT / "README.md", ROOT / "CHANGELOG.md", ROOT / "simulators" / "README.md"]
    found += sorted((ROOT / "docs").glob("*.md"))
    return [page for page in found if page.exists()]


def blocks(text):
    """(language, first line number, lines, line before the fence) of each fenced block."""
    lines = text.split("\n")
    index = 0
    while index < len(lines):
        match = FENCE.match(lines[index])
        if not match:
            index += 1
            continue
        fence, language, start = match.group(1), match.group(2), index
        index += 1
        body = []
        while index < len(lines) and not lines[index].startswith(fence):
            body.append(lines[index])
            index += 1
        previous = lines[start - 1] if start > 0 else ""
        yield language, start + 1, body, previous
        index += 1


def prose_lines(text):
    """(line number, line) outside fenced blocks, inline code removed."""
    inside = None
    for number, line in enumerate(text.split("\n"), 1):
        match = FENCE.match(line)
        if match and (inside is None or line.startswith(inside)):
            inside = match.group(1) if inside is None else None
            continue
        if inside is None:
            yield number, re.sub(r"`[^`]*`", "", line)


def slug(heading):
    """The anchor GitHub gives a heading."""
    text = re.sub(r"[`*_]|\[|\]|\([^)]*\)", lambda m: m.group(0)[1:-1] if m.group(0).startswith("(") else "",
                  heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(page):
    seen = {}
    result = set()
    for _, line in prose_lines(page.read_text()):
        match = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        base = slug(match.group(1))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def check_links():
    faults = []
    for page in pages():
        text = page.read_text()
        name = page.relative_to(ROOT)
        for number, line in prose_lines(text):
            for target in LINK.findall(line):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # an address on the web, mail: not checked here
                path, _, anchor = target.partition("#")
                resolved = (page.parent / path).resolve() if path else page
                if not resolved.exists():
                    faults.append(f"{name}:{number}: {target}: no such file")
                elif anchor and resolved.suffix == ".md" and anchor not in anchors(resolved):
                    faults.append(f"{name}:{number}: {target}: no heading with that anchor")
        for _, start, body, previous in blocks(text):
            match = FILE_MARK.match(previous)
            if not match:
                continue
            source = ROOT / match.group(1)
            if not source.exists():
                faults.append(f"{name}:{start}: {match.group(1)}: no such file")
            elif "\n".join(body) + "\n" != source.read_text():
                faults.append(f"{name}:{start}: the block differs from {match.group(1)}")
    return faults


def sessions(page):
    """(line number, commands, expected output) of each console block."""
    for language, start, body, _ in blocks(page.read_text()):
        if language != "console":
            continue
        commands, expected, continued = [], [], False
        for line in body:
            if continued or line.startswith("$ "):
                commands.append(line if continued else line[2:])
                continued = line.endswith("\\")
            else:
                expected.append(line)
        yield start, "\n".join(commands), "\n".join(expected)


def run_sessions(files, replacements):
    environment = {key: value for key, value in os.environ.items()
                   if not key.startswith(("BROMELT_", "VELTRANO_SIM_", "VELTRANO_USB_"))}
    faults = []
    count = 0
    for page in files:
        name = page.relative_to(ROOT)
        for start, commands, expected in sessions(page):
            for old, new in replacements:
                commands = commands.replace(old, new)
            count += 1
            result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", commands], cwd=ROOT, env=environment,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, timeout=1800)
            printed = result.stdout.rstrip("\n")
            if result.returncode != 0:
                faults.append(f"{name}:{start}: the session failed (status {result.returncode}):\n{printed}")
            elif printed != expected:
                faults.append(f"{name}:{start}: the session printed\n{printed}\ninstead of\n{expected}")
    return count, faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["links", "sessions", "extract"])
    parser.add_argument("files", nargs="*", type=pathlib.Path)
    parser.add_argument("--replace", action="append", default=[], metavar="FROM=TO")
    arguments = parser.parse_intermixed_args()
    if arguments.what == "extract":
        page, language = arguments.files[0].resolve(), str(arguments.files[1])
        found = [body for kind, _, body, _ in blocks(page.read_text()) if kind == language]
        if not found:
            print(f"check-docs: no {language} block in {page}", file=sys.stderr)
            return 1
        print("\n".join(found[0]))
        return 0
    if arguments.what == "links":
        faults = check_links()
        summary = f"{len(pages())} pages, links and embedded files"
    else:
        files = [path.resolve() for path in arguments.files] or [ROOT / "README.md"] + sorted(
            (ROOT / "docs").glob("*.md"))
        replacements = [tuple(item.split("=", 1)) for item in arguments.replace]
        count, faults = run_sessions(files, replacements)
        summary = f"{count} sessions"
    for fault in faults:
        print(f"check-docs: {fault}", file=sys.stderr)
    print(f"check-docs: {summary}: {'FAILED' if faults else 'ok'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
