"""Every code block of the guides is either run or checked.

  docs_test.py --source DIR --build DIR [--cc CC] [--fpc FPC] [FILE.md ...]

A fenced block's info string names its language and how it is tested:

  ```sh run            run against the virtual reader; fails the test when it fails
  ```c hardware        needs a real reader: only checked (bash -n, compiled, ...)
  ```sh static         not run here (changes the system, Windows-only, a fragment,
                       or the whole build): only checked
  ```pascal run file=card.pas   also saved as card.pas for later blocks

A block with a language (sh, bash, c, python, pascal, csharp) and no mark is
an error; a block with no language (program output, a trace) is text.

Sample outputs are compared with what the commands print:

  ```text output       right after a run block: what that block printed
                       (standard output and error together)
  ```text output       starting with "$ COMMAND" lines: a transcript; each
                       command runs in the document's session (what earlier
                       blocks exported, in their folder) and what follows it,
                       up to the next "$ " line, is what it prints (its exit
                       status is not checked: refusals are samples too)

The comparison is word by word: line breaks and runs of spaces count as one
space, so a sample may wrap long lines. A word "..." stands for any number of
words, for samples that show only the start, the end or some lines.

Each document runs in a scratch folder of its own, block after block, holding
copies of the folders the guides name (include/, bindings/, tools/,
packaging/, api/, sim/) and build/native standing for the build tree, with
zubtool on PATH and the virtual reader beside the library. Nothing is written
elsewhere: HOME is the scratch folder too.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([^\s`]*)\s*(.*)$")
CODE = {"sh", "bash", "c", "python", "pascal", "csharp"}
MARKS = {"run", "hardware", "static"}
COPIED = ["include", "bindings", "tools", "packaging", "api", "sim", "docs", "VERSION"]
DEFAULT_FILES = {"c": "host.c", "python": "example.py", "pascal": "program.pas", "csharp": "Example.cs"}


def output_matches(expected, actual):
    """Whether actual has expected's words in order, "..." standing for any
    number of words."""
    groups = [[]]
    for word in expected.split():
        if word == "...":
            groups.append([])
        else:
            groups[-1].append(word)
    words = actual.split()
    first, *rest = groups
    if words[:len(first)] != first:
        return False
    if not rest:
        return len(words) == len(first)
    at = len(first)
    *middle, last = rest
    for group in middle:
        if not group:
            continue
        found = next((i for i in range(at, len(words) - len(group) + 1)
                      if words[i:i + len(group)] == group), None)
        if found is None:
            return False
        at = found + len(group)
    return len(words) - len(last) >= at and (not last or words[len(words) - len(last):] == last)


def transcript(text):
    """[(command, expected output)] of a block of "$ command" lines."""
    steps = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif steps:
            steps[-1][1].append(line)
    return [(command, "\n".join(out)) for command, out in steps]


class Block:
    def __init__(self, path, line, lang, info, text):
        self.path, self.line, self.lang, self.text = path, line, lang, text
        self.output = lang == "text" and "output" in info.split()
        words = info.split()
        self.marks = {w for w in words if w in MARKS}
        self.unknown = [w for w in words if w not in MARKS and not w.startswith("file=")]
        files = [w[5:] for w in words if w.startswith("file=")]
        self.file = files[0] if files else None

    @property
    def where(self):
        return f"{self.path}:{self.line} ({self.lang})"


def blocks_of(path):
    """The fenced blocks of a Markdown file, in order."""
    found, open_fence = [], None
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        m = FENCE.match(line)
        if open_fence is None:
            if m:
                open_fence = (m.group(1), m.group(2), m.group(3).lower(), m.group(4), number, [])
        elif m and m.group(2).startswith(open_fence[1][0] * len(open_fence[1])) and not m.group(3):
            indent, _, lang, info, start, body = open_fence
            text = "\n".join(l[len(indent):] if l.startswith(indent) else l for l in body) + "\n"
            found.append(Block(path, start, lang, info, text))
            open_fence = None
        else:
            open_fence[5].append(line)
    return found


class Runner:
    def __init__(self, args, scratch):
        self.args, self.scratch = args, scratch
        bin_dir = os.path.join(args.build, "bin")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("ZUBSIM_", "MIFAREZUB_", "LD_LIBRARY_PATH", "PYTHONPATH"))}
        # zubtool, and the python3 running this test (the one with pytest), first.
        path = os.pathsep.join([bin_dir, os.path.dirname(sys.executable), os.environ.get("PATH", "")])
        self.env.update(PATH=path, HOME=scratch,
                        PYTHONPATH=os.path.join(scratch, "bindings", "python"),
                        PYTHONDONTWRITEBYTECODE="1", TMPDIR=scratch)
        self.bin_dir = bin_dir
        self.last_output = None

    def shell(self, command, timeout=180):
        return subprocess.run(["bash", "-c", command], cwd=self.scratch, env=self.env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def save(self, block):
        name = block.file or DEFAULT_FILES[block.lang]
        path = os.path.join(self.scratch, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(block.text)
        return path

    def check(self, block):
        """Syntax only. Returns an error text or None."""
        if block.lang in ("sh", "bash"):
            result = subprocess.run(["bash", "-n"], input=block.text, text=True, capture_output=True)
            return result.stderr or None if result.returncode else None
        if block.lang == "python":
            try:
                compile(block.text, block.where, "exec")
            except SyntaxError as error:
                return f"{error.msg}, line {error.lineno}: {error.text}"
            return None
        if block.lang == "c":
            # A whole translation unit, or else statements of a function body.
            include = os.path.join(self.scratch, "include")
            for text in (block.text, '#include "MifareZUB.h"\nvoid example(void) {\n' + block.text + "}\n"):
                result = subprocess.run([self.args.cc, "-fsyntax-only", f"-I{include}",
                                         "-x", "c", "-"], input=text, text=True, capture_output=True)
                if result.returncode == 0:
                    return None
            return result.stderr
        if block.lang == "pascal":
            path = self.save(block)
            result = subprocess.run([self.args.fpc, "-s", "-vw", f"-Fu{self.scratch}/bindings/pascal",
                                     f"-FU{self.scratch}/units", f"-FE{self.scratch}/units", path],
                                    cwd=self.scratch, capture_output=True, text=True)
            return result.stdout if result.returncode else None
        return None  # C#: read, not compiled here (its binding has tests of its own)

    def run(self, block):
        """Runs a block. Returns an error text or None."""
        if block.lang in ("sh", "bash"):
            # Blocks of one document follow each other as one session: what
            # one exports (ZUBSIM_IMAGE, ...) the next still has.
            with open(os.path.join(self.scratch, ".block.sh"), "w", encoding="utf-8") as f:
                f.write(block.text)
            result = self.shell("[ -f .state ] && . ./.state\nset -eo pipefail\n. ./.block.sh\n"
                                "export -p > .state")
        elif block.lang == "python":
            path = self.save(block)
            result = self.shell(f"LD_LIBRARY_PATH={self.bin_dir} python3 {path}")
        elif block.lang == "c":
            path = self.save(block)
            result = self.shell(f"{self.args.cc} -Wall -Werror {path} -Iinclude -L{self.bin_dir} -lMifareZUB "
                                f"-Wl,-rpath,{self.bin_dir} -o doc-host && ./doc-host")
        elif block.lang == "pascal":
            path = self.save(block)
            os.makedirs(os.path.join(self.scratch, "units"), exist_ok=True)
            result = self.shell(f"{self.args.fpc} -vw -Fubindings/pascal -FUunits -FEunits -Fl{self.bin_dir} "
                                f"-k-rpath -k{self.bin_dir} {path} && units/{os.path.splitext(os.path.basename(path))[0]}")
        else:
            return f"blocks in {block.lang} cannot be run here: mark them static"
        self.last_output = result.stdout
        if result.returncode != 0:
            return f"exit status {result.returncode}\n{result.stdout}"
        return None

    def compare(self, block, previous):
        """An output block against what was printed. Returns an error text or None."""
        if block.text.startswith("$ "):
            for command, expected in transcript(block.text):
                result = self.shell("[ -f .state ] && . ./.state\n" + command)
                if not output_matches(expected, result.stdout):
                    return f"$ {command}\nprints:\n{result.stdout}\nthe sample shows:\n{expected}"
            return None
        if previous is None or "run" not in previous.marks or self.last_output is None:
            return "an output block follows a run block, or is a transcript of \"$ \" lines"
        if not output_matches(block.text, self.last_output):
            return f"the block above prints:\n{self.last_output}\nthe sample shows:\n{block.text}"
        return None


def prepare(args, scratch):
    for name in COPIED:
        source = os.path.join(args.source, name)
        target = os.path.join(scratch, name)
        if os.path.isdir(source):
            shutil.copytree(source, target, ignore=shutil.ignore_patterns(
                "__pycache__", "*.pyc", "build", "*.egg-info", ".mypy_cache", "bin", "obj"))
        elif os.path.exists(source):
            shutil.copy(source, target)
    os.makedirs(os.path.join(scratch, "build"))
    os.symlink(args.build, os.path.join(scratch, "build", "native"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--fpc", default="fpc")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    args.source, args.build = os.path.abspath(args.source), os.path.abspath(args.build)
    files = args.files or (
        ["README.md"]
        + sorted(os.path.join("docs", f) for f in os.listdir(os.path.join(args.source, "docs")) if f.endswith(".md"))
        + sorted(os.path.join("bindings", d, "README.md") for d in os.listdir(os.path.join(args.source, "bindings"))
                 if os.path.isfile(os.path.join(args.source, "bindings", d, "README.md")))
        + ["packaging/README.md"])

    failures, counts = [], {"run": 0, "checked": 0, "text": 0, "compared": 0}
    for name in files:
        scratch = tempfile.mkdtemp(prefix="mifarezub-docs-")
        try:
            prepare(args, scratch)
            runner = Runner(args, scratch)
            previous = None
            for block in blocks_of(os.path.join(args.source, name)):
                block.path = name
                if block.output:
                    problem = runner.compare(block, previous)
                    counts["compared"] += 1
                    print(f"{'FAIL' if problem else 'ok  '} {block.where} output")
                    if problem:
                        print("     " + problem.strip().replace("\n", "\n     "))
                        failures.append(block.where)
                    previous = block
                    continue
                if block.lang not in CODE:
                    counts["text"] += 1
                    previous = block
                    continue
                problem = None
                if block.unknown:
                    problem = f"unknown words in the info string: {block.unknown}"
                elif len(block.marks) != 1:
                    problem = "mark it run, hardware or static"
                elif "run" in block.marks:
                    problem = runner.run(block)
                    counts["run"] += 1
                else:
                    if block.file:
                        runner.save(block)
                    problem = runner.check(block)
                    counts["checked"] += 1
                print(f"{'FAIL' if problem else 'ok  '} {block.where} {' '.join(sorted(block.marks))}")
                if problem:
                    print("     " + problem.strip().replace("\n", "\n     "))
                    failures.append(block.where)
                previous = block
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    print(f"{counts['run']} blocks run, {counts['compared']} sample outputs compared, "
          f"{counts['checked']} checked only, {counts['text']} text")
    if failures:
        print(f"{len(failures)} block(s) failed: {', '.join(failures)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
