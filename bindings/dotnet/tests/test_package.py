"""The NuGet package of the C# binding, built by scripts/package-dotnet.sh.

The Windows DLLs are stand-ins here: the test is about what goes where in
the package, and the manifest that describes it.
"""

import os
import subprocess
import xml.etree.ElementTree as ET
import zipfile

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "package-dotnet.sh")
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
    assert sorted(os.listdir(package.parent)) == [package.name]


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
