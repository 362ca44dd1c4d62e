"""The paths a README names, and whether the tree it lies in holds them.

A README that names a file its package does not hold sends a user looking
for nothing. Two kinds of names are checked:

- relative link targets, `[text](target)`, taken from the README's folder
  (web addresses, mail addresses and anchors within the page are not paths);
- inline `code` that looks like a path: it holds a `/` or `\\` (a folder or a
  file below one), or it is a bare file name with an extension of the files
  packages hold (`.md`, `.h`, `.c`, `.cs`, `.py`, `.pas`, `.dll`, `.so`, ...).
  A path is taken from the README's folder or from the tree's root, a bare
  name may lie anywhere in the tree (it names a file, not where it is), and
  names are compared without case for Windows' file names.

Not checked: code blocks (commands, whose outputs the user makes), absolute
paths (`/etc/udev/rules.d`: the system's, not the package's), anything with
a space, a wildcard, a placeholder or a variable (`<version>`, `*.whl`,
`$PREFIX`, `%CD%`, `C:\\...`), and programs the user builds (`.exe`, `.o` as
bare names).

  readme_paths.py ROOT [README ...]   every README.md under ROOT when none is given
"""

import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
FENCE = re.compile(r"^\s*(`{3,}|~{3,})")
BARE_FILE = re.compile(
    r"^[\w.+-]+\.(md|h|c|cs|csproj|py|pas|toml|def|lib|a|so(\.\d+)*|dll|pc|cmake|rules|plist"
    r"|example|whl|nupkg|zip|txt|json)$", re.I)
NOT_A_PATH = re.compile(r"[\s<>*?$%:|\"'=(){}\[\],;]|^-|^\.{1,2}$")


def _prose(text):
    """The README without its fenced code blocks, line by line."""
    fence = None
    for line in text.splitlines():
        m = FENCE.match(line)
        if fence is None and m:
            fence = m.group(1)
        elif fence is not None and m and m.group(1).startswith(fence[0] * len(fence)):
            fence = None
        elif fence is None:
            yield line


def named_paths(text):
    """(kind, name) for each path the Markdown text names: kind is "link",
    "path" (a code span with a folder in it) or "file" (a bare file name)."""
    found = []
    for line in _prose(text):
        for target in LINK.findall(line):
            if re.match(r"^(?:[a-z][a-z0-9+.-]*:|#)", target, re.I):
                continue
            target = target.split("#")[0]
            if target:
                found.append(("link", target))
        for _, code in CODE_SPAN.findall(line):
            code = code.strip()
            if NOT_A_PATH.search(code) or code.startswith(("/", "~")):
                continue
            if "/" in code or "\\" in code:
                found.append(("path", code.replace("\\", "/")))
            elif BARE_FILE.match(code):
                found.append(("file", code))
    return found


class Tree:
    """The files and folders below a root, for lookups without case."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.paths, self.names = set(), set()
        for folder, dirs, files in os.walk(self.root):
            for name in dirs + files:
                rel = os.path.relpath(os.path.join(folder, name), self.root).replace(os.sep, "/")
                self.paths.add(rel.lower())
                self.names.add(name.lower())

    def has(self, rel):
        rel = os.path.normpath(rel).replace(os.sep, "/")
        return rel == "." or (not rel.startswith("../") and rel.lower() in self.paths)


def missing_paths(tree, readme):
    """What the README names that the tree does not hold, as "kind name"."""
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    here = os.path.relpath(os.path.dirname(os.path.abspath(readme)), tree.root)
    missing = []
    for kind, name in named_paths(text):
        rel = name.rstrip("/")
        if kind == "link":
            ok = tree.has(os.path.join(here, rel))
        elif kind == "path":
            ok = tree.has(os.path.join(here, rel)) or tree.has(rel)
        else:
            ok = name.lower() in tree.names
        if not ok:
            missing.append(f"{kind} {name}")
    return missing


def readmes_under(root):
    return sorted(os.path.join(folder, f) for folder, _, files in os.walk(root)
                  for f in files if f.lower() == "readme.md")


def check_tree(root, readmes=None):
    """{README relative to root: [missing names]} for every README under root
    that names something the tree does not hold."""
    tree = Tree(root)
    problems = {}
    for readme in readmes or readmes_under(root):
        missing = missing_paths(tree, readme)
        if missing:
            problems[os.path.relpath(readme, root)] = missing
    return problems


def main(argv):
    if not argv:
        print(__doc__)
        return 2
    root, readmes = argv[0], argv[1:]
    problems = check_tree(root, readmes or None)
    for readme, missing in problems.items():
        print(f"{readme}: names what {root} does not hold: {', '.join(missing)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
