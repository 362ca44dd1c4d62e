"""The NuGet package of the C# binding, built by scripts/package-dotnet.sh,
and the single source file make-single-file.py joins from the binding's parts.

The Windows DLLs are stand-ins here: the test is about what goes where in
the package, and the manifest that describes it.
"""

import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
import zipfile

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "package-dotnet.sh")
DOTNET = os.path.join(ROOT, "bindings", "dotnet")
GENERATOR = os.path.join(DOTNET, "make-single-file.py")
NUSPEC = "{http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd}"

with open(os.path.join(ROOT, "VERSION")) as f:
    VERSION = f.read().strip()


def bin_folder(path, dll):
    """A Windows bin folder as a build leaves it: the library, the virtual
    reader and the tool."""
    path.mkdir()
    (path / "MifareZUB.dll").write_bytes(dll)
    (path / "CH375DLL.dll").write_bytes(b"the virtual reader")
    (path / "zubtool.exe").write_bytes(b"the tool")
    return path


def pack(tmp_path, *args):
    out = tmp_path / "out"
    run = subprocess.run(["bash", SCRIPT, *args, "--out", str(out)], capture_output=True, text=True)
    return run, out / f"MifareZub.{VERSION}.nupkg"


@pytest.fixture(scope="module")
def both(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("both")
    x86 = bin_folder(tmp_path / "x86", b"MZ x86 library")
    x64 = bin_folder(tmp_path / "x64", b"MZ x64 library")
    run, package = pack(tmp_path, "--x86", str(x86), "--x64", str(x64))
    assert run.returncode == 0, run.stderr
    return zipfile.ZipFile(package)


def test_the_package_holds_the_binding_and_both_libraries(both):
    assert sorted(both.namelist()) == [
        "MifareZub.nuspec",
        "README.md",
        "[Content_Types].xml",
        "_rels/.rels",
        "build/net461/MifareZub.targets",
        "lib/net461/MifareZub.dll",
        "lib/net461/MifareZub.xml",
        "runtimes/win-x64/native/MifareZUB.dll",
        "runtimes/win-x86/native/MifareZUB.dll",
    ]
    assert both.read("runtimes/win-x86/native/MifareZUB.dll") == b"MZ x86 library"
    assert both.read("runtimes/win-x64/native/MifareZUB.dll") == b"MZ x64 library"
    with open(os.path.join(ROOT, "bindings", "dotnet", "README.md"), "rb") as f:
        assert both.read("README.md") == f.read()


def test_the_assembly_and_its_documentation(both):
    assembly = both.read("lib/net461/MifareZub.dll")
    # A PE file with CLI metadata (its signature "BSJB"), carrying the version.
    assert assembly[:2] == b"MZ" and b"BSJB" in assembly
    assert VERSION.encode("utf-16-le") in assembly
    docs = ET.fromstring(both.read("lib/net461/MifareZub.xml"))
    members = {m.get("name") for m in docs.iter("member")}
    for member in ("T:MifareZub.Reader", "M:MifareZub.Reader.Read(System.Int32)", "T:MifareZub.MifareZubException",
                   "T:MifareZub.Status", "M:MifareZub.ValueBlock.Decode(System.Byte[])"):
        assert member in members
    # The internals (the P/Invoke declarations) stay out of the public documentation.
    assert not any("NativeMethods" in m for m in members)


def test_the_manifest(both):
    nuspec = ET.fromstring(both.read("MifareZub.nuspec"))
    assert nuspec.tag == f"{NUSPEC}package"
    metadata = nuspec.find(f"{NUSPEC}metadata")
    field = lambda name: (metadata.findtext(f"{NUSPEC}{name}") or "").strip()
    assert field("id") == "MifareZub"
    assert field("version") == VERSION
    assert field("authors") and field("description")
    assert field("readme") == "README.md"
    # The licence as an SPDX expression, which NuGet shows and checks.
    licence = metadata.find(f"{NUSPEC}license")
    assert licence is not None and licence.get("type") == "expression" and licence.text == "MIT"
    # Dependency-free: one framework group without any package in it.
    groups = metadata.findall(f"{NUSPEC}dependencies/{NUSPEC}group")
    assert [g.get("targetFramework") for g in groups] == ["net461"]
    assert not list(groups[0])

    rels = ET.fromstring(both.read("_rels/.rels"))
    targets = [r.get("Target") for r in rels]
    assert targets == ["/MifareZub.nuspec"]
    types = ET.fromstring(both.read("[Content_Types].xml"))
    extensions = {t.get("Extension") for t in types}
    for name in both.namelist():
        if name != "[Content_Types].xml":
            assert name.rsplit(".", 1)[-1] in extensions, name


def test_the_targets_copy_the_library_for_the_platform(both):
    targets = ET.fromstring(both.read("build/net461/MifareZub.targets"))
    text = ET.tostring(targets, encoding="unicode")
    assert r"runtimes\win-x64\native\MifareZUB.dll" in text
    assert r"runtimes\win-x86\native\MifareZUB.dll" in text
    assert "'$(PlatformTarget)' == 'x64'" in text


def test_x86_alone_before_there_is_a_64_bit_build(tmp_path):
    x86 = bin_folder(tmp_path / "x86", b"MZ x86 library")
    run, package = pack(tmp_path, "--x86", str(x86), "--x64", str(tmp_path / "missing"))
    assert run.returncode == 0, run.stderr
    names = zipfile.ZipFile(package).namelist()
    assert "runtimes/win-x86/native/MifareZUB.dll" in names
    assert not any(n.startswith("runtimes/win-x64") for n in names)


def test_no_32_bit_library_no_package(tmp_path):
    empty = tmp_path / "x86"
    empty.mkdir()
    run, package = pack(tmp_path, "--x86", str(empty))
    assert run.returncode != 0
    assert "no 32-bit MifareZUB.dll" in run.stderr
    assert not package.exists()


def test_a_rebuilt_package_replaces_the_old_one_and_leaves_no_staging(tmp_path):
    x86 = bin_folder(tmp_path / "x86", b"MZ first")
    pack(tmp_path, "--x86", str(x86), "--x64", str(tmp_path / "none"))
    (x86 / "MifareZUB.dll").write_bytes(b"MZ second")
    run, package = pack(tmp_path, "--x86", str(x86), "--x64", str(tmp_path / "none"))
    assert run.returncode == 0, run.stderr
    assert zipfile.ZipFile(package).read("runtimes/win-x86/native/MifareZUB.dll") == b"MZ second"
    assert sorted(os.listdir(package.parent)) == sorted(["MifareZub.cs", package.name])


def test_the_single_file_lies_beside_the_package(tmp_path):
    x86 = bin_folder(tmp_path / "x86", b"MZ x86 library")
    run, package = pack(tmp_path, "--x86", str(x86), "--x64", str(tmp_path / "none"))
    assert run.returncode == 0, run.stderr
    generated = tmp_path / "generated.cs"
    subprocess.run([sys.executable, GENERATOR, str(generated)], check=True)
    assert (package.parent / "MifareZub.cs").read_bytes() == generated.read_bytes()


def test_no_package_from_parts_the_project_does_not_list(tmp_path):
    # A copy of the binding with one file too many: mcs would compile it into
    # the assembly, a .NET SDK build and the single file would not have it.
    root = tmp_path / "root"
    shutil.copytree(DOTNET, root / "bindings" / "dotnet", ignore=shutil.ignore_patterns("tests", "sample"))
    shutil.copytree(os.path.join(ROOT, "scripts"), root / "scripts")
    shutil.copy(os.path.join(ROOT, "VERSION"), root / "VERSION")
    (root / "bindings" / "dotnet" / "Extra.cs").write_text("namespace MifareZub\n{\n    class Extra { }\n}\n")
    x86 = bin_folder(tmp_path / "x86", b"MZ x86 library")
    out = tmp_path / "out"
    run = subprocess.run(["bash", str(root / "scripts" / "package-dotnet.sh"), "--x86", str(x86), "--out", str(out)],
                         capture_output=True, text=True)
    assert run.returncode != 0
    assert "Extra.cs" in run.stderr
    assert os.listdir(out) == []


def test_the_sdk_project_builds_every_part():
    # No .NET SDK here to build it: check that it builds what mcs builds,
    # every .cs file beside it (Build.cmake and package-dotnet.sh take them all).
    folder = os.path.join(ROOT, "bindings", "dotnet")
    project = ET.parse(os.path.join(folder, "MifareZub.csproj")).getroot()
    assert project.get("Sdk") == "Microsoft.NET.Sdk"
    properties = {p.tag: (p.text or "").strip() for group in project.iter("PropertyGroup") for p in group}
    assert properties["TargetFramework"] == "netstandard2.0"
    assert properties["LangVersion"] == "7"
    assert properties["GenerateDocumentationFile"] == "true"
    assert properties["EnableDefaultCompileItems"] == "false"
    assert "../../VERSION" in properties["Version"]
    sources = [c.get("Include") for c in project.iter("Compile")]
    assert sorted(sources) == sorted(n for n in os.listdir(folder) if n.endswith(".cs"))
    assert len(set(sources)) == len(sources)
    # The README's table of the parts, which a host adding the parts by hand
    # follows, lists every one of them in the csproj's order, and no count.
    with open(os.path.join(folder, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    assert re.findall(r"^\| \[`(\w+\.cs)`\]", readme, re.M) == sources
    assert not re.search(r"\b(six|seven|eight|nine) parts\b", readme)


# ---- The single source file ------------------------------------------------

MCS = ["mcs", "-langversion:7", "-warnaserror+", "-nologo"]


def compiled(*args):
    run = subprocess.run([*MCS, *args], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def project_parts():
    project = ET.parse(os.path.join(DOTNET, "MifareZub.csproj")).getroot()
    return [os.path.join(DOTNET, c.get("Include")) for c in project.iter("Compile")]


def namespace_body(path):
    """The lines of a part between its namespace's braces."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().rstrip("\n").split("\n")
    start = lines.index("namespace MifareZub") + 2
    assert lines[-1] == "}"
    return "\n".join(lines[start:-1]).strip("\n")


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    """The binding built from its parts and from the single file, and the
    public surface and documentation of each."""
    tmp = tmp_path_factory.mktemp("single")
    single = tmp / "MifareZub.cs"
    subprocess.run([sys.executable, GENERATOR, str(single)], check=True)
    compiled("-r:System.Core.dll", f"-out:{tmp / 'PublicApi.exe'}", os.path.join(DOTNET, "tests", "PublicApi.cs"))
    result = {"text": single.read_text(encoding="utf-8")}
    for name, sources in (("parts", project_parts()), ("single", [str(single)])):
        folder = tmp / name
        folder.mkdir()
        compiled("-target:library", f"-doc:{folder / 'MifareZub.xml'}", f"-out:{folder / 'MifareZub.dll'}", *sources)
        api = subprocess.run(["mono", str(tmp / "PublicApi.exe"), str(folder / "MifareZub.dll")],
                             capture_output=True, text=True)
        assert api.returncode == 0, api.stderr
        docs = ET.parse(folder / "MifareZub.xml").getroot()
        result[name] = (api.stdout, {m.get("name"): ET.tostring(m, encoding="unicode") for m in docs.iter("member")})
    return result


def test_the_single_file_declares_what_the_parts_declare(builds):
    api, docs = builds["parts"]
    assert builds["single"] == (api, docs)
    # The comparison compares something: the public types with their members.
    for line in ("sealed class MifareZub.Reader : System.Object, System.IDisposable",
                 "MifareZub.Reader :: Void Beep(Boolean) (System.Boolean on = True)",
                 "MifareZub.Status = NoLink -1",
                 "struct MifareZub.ValueBlock : System.ValueType, System.IEquatable`1[MifareZub.ValueBlock]"):
        assert line in api.splitlines()
    assert "NativeMethods" not in api and "TextBuffer" not in api
    assert "M:MifareZub.ValueBlock.Decode(System.Byte[])" in docs


def test_the_single_file_holds_every_part_in_order_under_one_set_of_usings(builds):
    text = builds["text"]
    lines = text.split("\n")
    namespace = lines.index("namespace MifareZub")
    assert lines.count("namespace MifareZub") == 1
    usings = [line for line in lines if line.startswith("using ")]
    assert usings == lines[namespace - 1 - len(usings):namespace - 1]
    expected = set()
    for part in project_parts():
        with open(part, encoding="utf-8") as f:
            expected |= {line for line in f.read().split("\n") if line.startswith("using ")}
    assert sorted(usings) == sorted(expected) and len(set(usings)) == len(usings)
    assert usings[0] == "using System;"
    # Each part's code whole, in the project's order.
    at = namespace
    for part in project_parts():
        found = text.find(namespace_body(part), at)
        assert found > at, os.path.basename(part)
        at = found


def generate(folder, parts, project_items=None, output=None):
    """Runs the generator on a project of made-up parts; returns the run and the output path."""
    folder.mkdir(exist_ok=True)
    for name, text in parts.items():
        (folder / name).write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    items = project_items if project_items is not None else list(parts)
    (folder / "P.csproj").write_text("<Project>\n  <ItemGroup>\n" +
                                     "".join(f'    <Compile Include="{i}" />\n' for i in items) +
                                     "  </ItemGroup>\n</Project>\n")
    output = output or folder.parent / "out.cs"
    run = subprocess.run([sys.executable, GENERATOR, str(output), "--project", str(folder / "P.csproj")],
                         capture_output=True, text=True)
    return run, output


def part(body, *usings):
    return "// A part.\n\n" + "".join(f"{u}\n" for u in usings) + "\nnamespace MifareZub\n{\n" + body + "\n}\n"


def test_the_usings_of_all_parts_are_gathered_once(tmp_path):
    # The second part as a Windows editor may save it: with a byte order mark
    # and CRLF line ends.
    alias = "using Map = System.Collections.Hashtable;"
    first = part("    static class A\n    {\n"
                 "        internal static double M = Max(1, 2);\n"
                 "        internal static Map T = new Map();\n    }",
                 "using static System.Math;", "using System;", alias)
    second = part("    static class B\n    {\n"
                  "        internal static string S = new StringBuilder().ToString();\n    }",
                  "using System;", "using System.Text;", "using static System.Math;", alias)
    run, output = generate(tmp_path / "p", {
        "A.cs": first,
        "B.cs": b"\xef\xbb\xbf" + second.replace("\n", "\r\n").encode(),
    })
    assert run.returncode == 0, run.stderr
    text = output.read_text(encoding="utf-8")
    assert "\r" not in text and "\ufeff" not in text
    assert [line for line in text.split("\n") if line.startswith("using ")] == [
        "using System;", "using System.Text;", "using static System.Math;", alias]
    assert text.index("static class A") < text.index("static class B")
    compiled("-target:library", f"-out:{tmp_path / 'out.dll'}", str(output))


GOOD = part("    class A { }")


@pytest.mark.parametrize("why, parts, items, message", [
    ("a part the project does not list", {"A.cs": GOOD, "Extra.cs": part("    class E { }")}, ["A.cs"], "Extra.cs"),
    ("a listed part that is not there", {"A.cs": GOOD}, ["A.cs", "Gone.cs"], "Gone.cs does not exist"),
    ("a part listed twice", {"A.cs": GOOD}, ["A.cs", "A.cs"], "more than once"),
    ("code after the namespace", {"A.cs": GOOD + "class After { }\n"}, None, "A.cs:"),
    ("code outside the namespace's indent", {"A.cs": part("    class A { }\n}\nclass Out\n{")}, None, "A.cs:"),
    ("another namespace", {"A.cs": GOOD.replace("namespace MifareZub", "namespace Other")}, None, "A.cs:"),
    ("a using directive inside the namespace", {"A.cs": part("    using System.IO;\n    class A { }")}, None,
     "A.cs:6: a using directive inside the namespace"),
    ("one alias for two things", {"A.cs": part("    class A { }", "using Map = System.Collections.Hashtable;"),
                                  "B.cs": part("    class B { }", "using Map = System.Collections.ArrayList;")},
     None, "alias Map"),
    ("an empty part", {"A.cs": part("")}, None, "empty"),
])
def test_the_generator_refuses_parts_it_cannot_join_whole(tmp_path, why, parts, items, message):
    run, output = generate(tmp_path / "p", parts, items)
    assert run.returncode != 0, why
    assert message in run.stderr, (why, run.stderr)
    assert not output.exists() and not os.path.exists(str(output) + ".new"), why


def test_the_generator_writes_nothing_beside_the_parts(tmp_path):
    run, output = generate(tmp_path / "p", {"A.cs": GOOD}, output=tmp_path / "p" / "Whole.cs")
    assert run.returncode != 0
    assert "write it elsewhere" in run.stderr
    assert sorted(os.listdir(tmp_path / "p")) == ["A.cs", "P.csproj"]
