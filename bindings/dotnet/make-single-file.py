#!/usr/bin/env python3
"""Writes the whole C# binding as one source file, MifareZub.cs, for projects
that add a source file rather than reference an assembly or a package.

Usage: make-single-file.py OUTPUT [--project CSPROJ]

The parts are the Compile items of the project (MifareZub.csproj beside this
script), in that order, and every *.cs file beside the project must be one of
them. Each part is a file comment, its using directives and one
`namespace MifareZub { ... }` block; the output has the using directives of
all parts once at the top and the blocks' contents in one namespace, each
under a line naming the part it came from. A part of any other shape is
refused rather than copied half-way.
"""
import argparse
import os
import re
import sys
import textwrap
import xml.etree.ElementTree as ET

NAMESPACE = "MifareZub"
USING = re.compile(r"^using\s+(?P<static>static\s+)?(?:(?P<alias>\w+)\s*=\s*)?"
                   r"(?P<target>[\w.]+(?:<[\w.,\s<>]*>)?)\s*;\s*$")

HEADER = """\
// SPDX-License-Identifier: MIT. Copyright (c) 2026 The MifareZUB authors.
// MifareZub: the .NET binding of MifareZUB, the library that drives a USB
// MIFARE Classic card reader, as one source file.
//
{parts}
//
// An older project can add this file as it is. It needs nothing beyond the
// base class library, compiles as C# 7 (Mono's mcs included) and runs on .NET
// Framework 4.6.1 and later, .NET 6 and later, and Mono. The native library,
// MifareZUB.dll on Windows or libMifareZUB.so elsewhere, must be where the
// runtime's loader looks: beside the program on Windows; beside the assembly,
// or on LD_LIBRARY_PATH, under Mono and .NET on Linux.
"""


class PartError(Exception):
    pass


def parts_of(project):
    """The Compile items of the project, checked against the *.cs files beside it."""
    folder = os.path.dirname(os.path.abspath(project))
    try:
        root = ET.parse(project).getroot()
    except (OSError, ET.ParseError) as e:
        raise PartError(f"{project}: {e}")
    items = [c.get("Include") for c in root.iter() if c.tag.rsplit("}", 1)[-1] == "Compile"]
    if not items:
        raise PartError(f"{project} has no Compile items")
    problems = []
    for item in items:
        if not item or os.path.dirname(item) or not item.endswith(".cs"):
            problems.append(f"{project}: Compile item {item!r} is not a .cs file beside the project")
        elif not os.path.isfile(os.path.join(folder, item)):
            problems.append(f"{project}: Compile item {item} does not exist")
    doubled = sorted({i for i in items if items.count(i) > 1})
    if doubled:
        problems.append(f"{project} names {', '.join(doubled)} more than once")
    stray = sorted(set(n for n in os.listdir(folder) if n.endswith(".cs")) - set(items))
    if stray:
        problems.append(f"{', '.join(stray)} beside {project} but not among its Compile items")
    if problems:
        raise PartError("\n".join(problems))
    return [os.path.join(folder, item) for item in items]


def split(path):
    """A part's (comment, using directives, namespace body) as lists of lines."""
    name = os.path.basename(path)
    with open(path, encoding="utf-8-sig") as f:
        lines = f.read().replace("\r\n", "\n").split("\n")
    comment, usings, i = [], [], 0

    def fail(why):
        raise PartError(f"{name}:{i + 1}: {why}")

    while i < len(lines) and (lines[i].startswith("//") or not lines[i].strip()):
        if lines[i].startswith("//"):
            comment.append(lines[i])
        i += 1
    while i < len(lines) and (USING.match(lines[i]) or not lines[i].strip()):
        if lines[i].strip():
            usings.append(USING.match(lines[i]))
        i += 1
    if i >= len(lines) or lines[i].strip() != f"namespace {NAMESPACE}":
        fail(f"expected using directives, then namespace {NAMESPACE}")
    i += 1
    if i >= len(lines) or lines[i].strip() != "{":
        fail("expected { on the line after the namespace")
    start = i + 1
    end = len(lines)
    while end > start and not lines[end - 1].strip():
        end -= 1
    if end <= start or lines[end - 1] != "}":
        i = end - 1
        fail(f"the file must end with the }} of namespace {NAMESPACE}, at the start of its line")
    body = lines[start:end - 1]
    for i in range(start, end - 1):
        # A using directive inside the namespace block would land in the middle
        # of the one namespace, where it no longer comes first and does not compile.
        if lines[i].startswith("    using ") and USING.match(lines[i].strip()):
            fail("a using directive inside the namespace: put it at the top of the file")
        if lines[i] and not lines[i].startswith((" ", "\t", "#")):
            fail(f"code outside namespace {NAMESPACE}, or not indented inside it")
    while body and not body[0].strip():
        body.pop(0)
    while body and not body[-1].strip():
        body.pop()
    if not body:
        fail(f"namespace {NAMESPACE} is empty")
    return comment, usings, body


def gather(usings_by_part):
    """The using directives of all parts, each once. An alias that names two
    different things in two parts cannot share one file."""
    directives, aliases = {}, {}
    for name, usings in usings_by_part:
        for m in usings:
            alias, target = m.group("alias"), m.group("target")
            if alias:
                seen = aliases.setdefault(alias, (target, name))
                if seen[0] != target:
                    raise PartError(f"{name}: alias {alias} = {target}, but {seen[1]} has {alias} = {seen[0]}")
                directives[f"using {alias} = {target};"] = (2, alias)
            elif m.group("static"):
                directives[f"using static {target};"] = (1, target)
            else:
                directives[f"using {target};"] = (0, target)

    # Namespaces, then static imports, then aliases; System and its namespaces
    # first within each.
    def order(line):
        kind, name = directives[line]
        return kind, name != "System" and not name.startswith("System."), name
    return sorted(directives, key=order)


def single_file(project):
    parts = parts_of(project)
    pieces = [(os.path.basename(p), split(p)) for p in parts]
    source = ("Generated by bindings/dotnet/make-single-file.py from " +
              ", ".join(name for name, _ in pieces) + ": change those files, not this one.")
    out = HEADER.format(parts="\n".join("// " + line for line in textwrap.wrap(source, 76))).split("\n")
    out += gather([(name, usings) for name, (_, usings, _) in pieces])
    out += ["", f"namespace {NAMESPACE}", "{"]
    for n, (name, (comment, _, body)) in enumerate(pieces):
        if n:
            out.append("")
        out.append(f"    // ==== {name} " + "=" * max(3, 66 - len(name)))
        out += ["    " + line for line in comment]
        out.append("")
        out += body
    out.append("}")
    return "\n".join(out) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", help="the file to write, outside the parts' folder")
    parser.add_argument("--project", default=os.path.join(here, "MifareZub.csproj"))
    args = parser.parse_args()
    folder = os.path.dirname(os.path.abspath(args.project))
    output = os.path.abspath(args.output)
    if os.path.dirname(output) == folder:
        sys.exit(f"{args.output}: beside the parts it would be taken for one; write it elsewhere")
    try:
        text = single_file(args.project)
    except PartError as e:
        sys.exit(str(e))
    # Written whole or not at all: a build never picks up half a binding.
    os.makedirs(os.path.dirname(output), exist_ok=True)
    temporary = output + ".new"
    with open(temporary, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(temporary, output)


if __name__ == "__main__":
    main()
