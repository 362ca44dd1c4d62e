"""What readme_paths takes for a path, and what it finds missing in a tree."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import readme_paths  # noqa: E402


@pytest.mark.parametrize("line, expected", [
    # links: relative targets, without their anchor
    ("see [the guide](linux.md#installing)", [("link", "linux.md")]),
    ("[up](../../mifarezub/python/README.md)", [("link", "../../mifarezub/python/README.md")]),
    ("[web](https://example.org/x.md) [mail](mailto:a@b.c) [here](#top)", []),
    # code spans with a folder in them, Windows separators made plain
    ("copy `x64\\MifareZUB.dll` and `x86/virtual-reader/`",
     [("path", "x64/MifareZUB.dll"), ("path", "x86/virtual-reader/")]),
    # bare file names with a package's extensions, the soname's digits too
    ("`MifareZub.csproj`, `make-single-file.py`, `libMifareZUB.so.1`",
     [("file", "MifareZub.csproj"), ("file", "make-single-file.py"), ("file", "libMifareZUB.so.1")]),
    # not paths: commands, placeholders, variables, absolute paths, identifiers, programs built
    ("`pip install ./python` `MifareZUB-<version>.zip` `$PREFIX/lib` `%CD%\\x64` `C:\\x\\y.dll`", []),
    ("`/etc/udev/rules.d` `mifarezub.STATUS_WRONG_KEY` `host.exe` `-Fu.` `..`", []),
])
def test_named_paths(line, expected):
    assert readme_paths.named_paths(line) == expected


def test_fenced_blocks_are_not_read():
    text = "before `a.md`\n```sh\ncat `missing.md`\n[x](missing.md)\n```\nafter `b.md`\n"
    assert readme_paths.named_paths(text) == [("file", "a.md"), ("file", "b.md")]


@pytest.fixture
def tree(tmp_path):
    for rel in ("README.md", "x64/MifareZUB.dll", "x64/virtual-reader/CH375DLL64.dll",
                "dotnet/README.md", "dotnet/MifareZub.cs", "dotnet/sample/Sample.cs"):
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("")
    return tmp_path


@pytest.mark.parametrize("readme, text, missing", [
    # from the README's folder, or from the root; names without case
    ("dotnet/README.md", "`sample/Sample.cs` `x64/mifarezub.dll` [up](../README.md)", []),
    # a bare name anywhere in the tree, whatever its case (Windows' file names)
    ("dotnet/README.md", "`CH375DLL64.DLL` beside `MifareZub.cs`", []),
    # what the repository's copy named, and the ZIP does not hold
    ("dotnet/README.md", "`MifareZub.csproj`, [script](make-single-file.py), `tests/Tests.cs`",
     ["link make-single-file.py", "file MifareZub.csproj", "path tests/Tests.cs"]),
    # a link is followed from the README's folder only, and never out of the tree
    ("dotnet/README.md", "[dll](x64/MifareZUB.dll) [out](../../docs/linux.md)",
     ["link x64/MifareZUB.dll", "link ../../docs/linux.md"]),
    ("README.md", "`x86/MifareZUB.dll` `x64/` `include/MifareZUB.h`",
     ["path x86/MifareZUB.dll", "path include/MifareZUB.h"]),
])
def test_missing_paths(tree, readme, text, missing):
    (tree / readme).write_text(text, encoding="utf-8")
    assert readme_paths.missing_paths(readme_paths.Tree(tree), str(tree / readme)) == missing


def test_check_tree_reports_only_the_readmes_with_gaps(tree):
    (tree / "README.md").write_text("`x64/MifareZUB.dll`", encoding="utf-8")
    (tree / "dotnet/README.md").write_text("`MifareZub.csproj`", encoding="utf-8")
    assert readme_paths.check_tree(str(tree)) == {
        os.path.join("dotnet", "README.md"): ["file MifareZub.csproj"]}
