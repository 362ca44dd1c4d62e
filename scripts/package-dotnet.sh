#!/usr/bin/env bash
# Builds the NuGet package of the C# binding, MifareZub.<version>.nupkg:
#
#   lib/net461/MifareZub.dll, MifareZub.xml   the binding (built with Mono's mcs)
#   runtimes/win-x86/native/MifareZUB.dll     from the 32-bit Windows build
#   runtimes/win-x64/native/MifareZUB.dll     from the 64-bit build, when there is one
#   build/net461/MifareZub.targets            copies the DLL beside .NET Framework programs
#   README.md, MifareZub.nuspec
#
# and, beside the package, MifareZub.cs: the whole binding as one source file
# for projects that add sources (made by bindings/dotnet/make-single-file.py).
#
# Usage: package-dotnet.sh [--x86 DIR] [--x64 DIR] [--out DIR]
# Defaults: build/windows/bin, build/windows64/bin (skipped when it holds no
# MifareZUB.dll), build/windows/package. Only MifareZUB.dll is taken from the
# bin folders: never the virtual reader's CH375DLL.dll.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
x86="$root/build/windows/bin"
x64="$root/build/windows64/bin"
out="$root/build/windows/package"
while [ $# -gt 0 ]; do
  case "$1" in
    --x86) x86="$2"; shift 2 ;;
    --x64) x64="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: $0 [--x86 DIR] [--x64 DIR] [--out DIR]" >&2; exit 2 ;;
  esac
done

if [ ! -f "$x86/MifareZUB.dll" ]; then
  echo "no 32-bit MifareZUB.dll in $x86: build the windows preset first" >&2
  exit 1
fi
command -v mcs >/dev/null || { echo "mcs not found: install Debian's mono-mcs (scripts/deps.sh)" >&2; exit 1; }

version="$(tr -d ' \r\n' <"$root/VERSION")"
dotnet="$root/bindings/dotnet"
mkdir -p "$out"
stage="$(mktemp -d "$out/.nupkg.XXXXXX")"
single="$(mktemp "$out/.MifareZub.cs.XXXXXX")"
trap 'rm -rf "$stage" "$single"' EXIT

# The single file first: making it also checks that the parts compiled below
# are exactly those of MifareZub.csproj.
python3 "$dotnet/make-single-file.py" "$single"

# The assembly: the binding's parts (every .cs file MifareZub.csproj compiles)
# plus its version.
mkdir -p "$stage/lib/net461" "$stage/runtimes/win-x86/native" "$stage/build/net461"
cat >"$stage/AssemblyInfo.cs" <<EOF
using System.Reflection;
[assembly: AssemblyTitle("MifareZub")]
[assembly: AssemblyDescription("C# binding of MifareZUB, the USB MIFARE Classic card reader library")]
[assembly: AssemblyCopyright("Copyright (c) 2026 The MifareZUB authors. MIT License.")]
[assembly: AssemblyVersion("$version.0")]
[assembly: AssemblyFileVersion("$version.0")]
[assembly: AssemblyInformationalVersion("$version")]
EOF
mcs -langversion:7 -target:library -optimize+ -warnaserror+ -nologo \
  -out:"$stage/lib/net461/MifareZub.dll" -doc:"$stage/lib/net461/MifareZub.xml" \
  "$dotnet"/*.cs "$stage/AssemblyInfo.cs"
rm "$stage/AssemblyInfo.cs"

cp "$x86/MifareZUB.dll" "$stage/runtimes/win-x86/native/"
if [ -f "$x64/MifareZUB.dll" ]; then
  mkdir -p "$stage/runtimes/win-x64/native"
  cp "$x64/MifareZUB.dll" "$stage/runtimes/win-x64/native/"
fi
cp "$dotnet/README.md" "$stage/README.md"

# .NET (Core) programs take the native DLL from runtimes/<rid>/native; .NET
# Framework programs do not, so this copies the one for the project's platform
# target beside the program.
cat >"$stage/build/net461/MifareZub.targets" <<'EOF'
<Project xmlns="http://schemas.microsoft.com/developer/msbuild/2003">
  <PropertyGroup>
    <_MifareZubNative Condition="'$(PlatformTarget)' == 'x64'">$(MSBuildThisFileDirectory)..\..\runtimes\win-x64\native\MifareZUB.dll</_MifareZubNative>
    <_MifareZubNative Condition="'$(PlatformTarget)' != 'x64'">$(MSBuildThisFileDirectory)..\..\runtimes\win-x86\native\MifareZUB.dll</_MifareZubNative>
  </PropertyGroup>
  <ItemGroup Condition="'$(TargetFrameworkIdentifier)' == '.NETFramework' And Exists('$(_MifareZubNative)')">
    <None Include="$(_MifareZubNative)" Link="MifareZUB.dll" CopyToOutputDirectory="PreserveNewest" Visible="false" />
  </ItemGroup>
</Project>
EOF

cat >"$stage/MifareZub.nuspec" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>MifareZub</id>
    <version>$version</version>
    <title>MifareZub</title>
    <authors>The MifareZUB authors</authors>
    <license type="expression">MIT</license>
    <copyright>Copyright (c) 2026 The MifareZUB authors</copyright>
    <description>Drives a USB MIFARE Classic card reader through MifareZUB: request, select, keys and authentication, 16-byte blocks, value blocks, beeper and LEDs. The C# binding (namespace MifareZub) with the native MifareZUB.dll for win-x86 (and win-x64 where built). The reader's CH375DLL.DLL is not included.</description>
    <tags>mifare rfid nfc card-reader usb</tags>
    <readme>README.md</readme>
    <dependencies>
      <group targetFramework="net461" />
    </dependencies>
  </metadata>
</package>
EOF

# The package's Open Packaging Conventions parts: content types and the
# relationship that names the manifest.
cat >"$stage/[Content_Types].xml" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
  <Default Extension="md" ContentType="application/octet" />
  <Default Extension="targets" ContentType="application/octet" />
</Types>
EOF
mkdir -p "$stage/_rels"
cat >"$stage/_rels/.rels" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/MifareZub.nuspec" Id="R0" />
</Relationships>
EOF

package="$out/MifareZub.$version.nupkg"
python3 - "$stage" "$package" <<'EOF'
import os, sys, zipfile
stage, package = sys.argv[1], sys.argv[2]
entries = sorted(
    os.path.relpath(os.path.join(folder, name), stage).replace(os.sep, "/")
    for folder, _, names in os.walk(stage) for name in names)
with zipfile.ZipFile(package + ".new", "w", zipfile.ZIP_DEFLATED) as z:
    for entry in entries:
        z.write(os.path.join(stage, entry), entry)
os.replace(package + ".new", package)
EOF
mv "$single" "$out/MifareZub.cs"
echo "$package"
echo "$out/MifareZub.cs"
