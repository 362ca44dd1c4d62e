#!/usr/bin/env python3
"""Every binding says what the header says.

Names: every list of the library's exports names exactly the exports of
api/MifareZUB.def: the public header, the Python package, the Pascal unit, the
C# binding (all its parts), the VB module, the test support calls and the fuzz
harness.

Signatures, at every width each binding supports: the Python package (x86,
x64 and native), the C# binding (x86, x64 and native 64-bit), the Pascal unit
(Win32, Win64 and Linux x86_64, its {$IFDEF}s evaluated for each) and the VB
module (VB6, 32-bit and 64-bit VBA, its #If blocks, nested ones too,
evaluated for each). Every declaration the binding makes, of an export or of a
system call (kernel32, libc), is read into one form: the argument count and
order, each argument as a number of so many bytes by value, an address of a
number of so many bytes, or the address of a text, the result, and the calling
convention (stdcall against the C convention where the width has two). Each
must match the header's prototype (or, for a system call, the prototype
below) at that width. The buffer that each call of a text output gets must be
the size the header names for it.

Results: the constants, the English description of every named code and the
text for a code without a name ("unknown result"), in every binding, are the
header's MZ_STATUS_TABLE; the C# Status enum names every code as the header
does (MZ_STATUS_CARD_ERROR is Status.CardError), old names only as
[Obsolete] aliases of the same value.

Usage: check_exports.py SOURCE_DIR [--self-test] [--show-faults]
--self-test plants faults in each binding's text (an argument dropped, by
value for by reference, a 32-bit number for a pointer-sized one, cdecl for
stdcall, a wrong buffer, description or name) and proves that each is
caught; and rewrites that mean the same (VB: Private Declare, ByVal x&, a
nested #If Win64) and proves that they are not. --show-faults prints what
each planted fault was caught as.
"""
import ast
import re
import sys
from pathlib import Path

# ---- The header -------------------------------------------------------------


def def_names(text):
    return re.findall(r"^\s*(\w+)\s+@\d+\s*$", text, re.M)


def header_names(text):
    return re.findall(r"\bMZ_API\s+\w+\s+MZ_CALL\s+(\w+)\s*\(", text)


def c_prototypes(text, call=r"MZ_API\s+", convention=r"\s+MZ_CALL"):
    """{name: (result C type, [argument C types])} of the C declarations."""
    protos = {}
    for ret, name, params in re.findall(rf"{call}([\w ]+?\*?){convention}\s+(\w+)\s*\(([^)]*)\)", text):
        types = []
        for param in params.split(","):
            param = " ".join(param.replace("*", " * ").split())
            if param in ("void", ""):
                continue
            types.append(re.sub(r"\s*\w+$", "", param).replace(" *", "*"))
        protos[name] = (ret.strip(), types)
    return protos


def header_buffers(text, constants):
    """{export: buffer size} for the text outputs: 'Buffer: MZ_X bytes.' in
    the comment just above each prototype."""
    sizes = {}
    for comment, name in re.findall(r"/\*((?:(?!\*/).)*)\*/\s*MZ_API\s+\w+\s+MZ_CALL\s+(\w+)", text, re.S):
        m = re.search(r"Buffer:\s*(MZ_\w+)\s+(?:\*\s*)?bytes", comment)
        if m:
            sizes[name] = constants[m.group(1)]
    return sizes


def header_constants(text):
    return {n: int(v) for n, v in re.findall(r"^#define (MZ_\w+) \(?(-?\d+)\)?(?:\s*/\*.*\*/)?\s*$",
                                             text, re.M)}


def header_table(text):
    return dict(re.findall(r'X\((MZ_STATUS_\w+), "([^"]*)"\)', text))


def header_unknown(text):
    m = re.search(r'default:\s*return\s+"([^"]*)"', text)
    return m.group(1) if m else None


# The system calls the bindings declare, as C prototypes. An address that a
# binding passes as a number (VarPtr, StrPtr) is void* here.
SYSTEM_PROTOTYPES = {
    "kernel32": {
        "LoadLibraryExA": ("void*", ["const char*", "void*", "uint32_t"]),
        "MultiByteToWideChar": ("int32_t", ["uint32_t", "uint32_t", "void*", "int32_t", "void*", "int32_t"]),
        "SetLastError": ("void", ["uint32_t"]),
    },
    "libc.so.6": {
        "dlopen": ("void*", ["const char*", "int32_t"]),
        "dlsym": ("void*", ["void*", "const char*"]),
        "dlclose": ("int32_t", ["void*"]),
    },
}

# ---- One form for every declaration ------------------------------------------
# An argument or result is ("value", bytes), ("address", bytes of what it
# points at) or ("text", None): the address of zero-terminated 8-bit text.
# None is no result. A width is (name, pointer bytes, Windows?); on x86
# Windows the convention is stdcall or cdecl, elsewhere there is one.


class Width:
    def __init__(self, name, pointer, windows):
        self.name, self.pointer, self.windows = name, pointer, windows

    def convention(self, declared):
        return declared if self.windows and self.pointer == 4 else "the one convention"


X86, X64, NATIVE = Width("x86", 4, True), Width("x64", 8, True), Width("native x86_64", 8, False)


def c_form(ctype, width):
    ctype = ctype.replace(" ", "")
    if ctype == "void":
        return None
    if ctype in ("int32_t", "uint32_t"):
        return ("value", 4)
    if ctype == "void*":
        return ("value", width.pointer)
    if ctype == "constchar*":
        return ("text", None)
    if ctype == "int32_t*":
        return ("address", 4)
    if ctype == "char**":
        return ("address", width.pointer)
    raise ValueError(f"no form known for the C type {ctype}")


def show(form):
    if form is None:
        return "nothing"
    kind, size = form
    if kind == "text":
        return "a text's address"
    return f"a {size}-byte number" if kind == "value" else f"the address of a {size}-byte variable"


class Decl:
    """One declaration of a binding, in the one form."""

    def __init__(self, lib, export, name, result, args, convention, public=True):
        self.lib, self.export, self.name = lib, export, name
        self.result, self.args, self.convention, self.public = result, args, convention, public


def signature_problems(what, decls, width, protos, exports):
    """The declarations of one binding at one width against the prototypes."""
    problems = []
    mine = [d for d in decls if d.lib == "MifareZUB"]
    # Declared under the export's own name for the host to call (others,
    # under names of their own, serve the binding's helpers).
    public = [d.export for d in mine if d.name == d.export and d.public]
    problems += compare(f"{what} ({width.name})", public, exports)
    for d in decls:
        table = protos if d.lib == "MifareZUB" else SYSTEM_PROTOTYPES.get(d.lib, {})
        where = f"{what} ({width.name}): {d.name}" + (f" ({d.lib} {d.export})" if d.name != d.export else "")
        if d.export not in table:
            if d.lib != "MifareZUB":
                problems.append(f"{where}: no prototype known for {d.export} of {d.lib}")
            continue
        ret, ctypes = table[d.export]
        if isinstance(d.args, str):
            problems.append(f"{where}: {d.args}")
            continue
        want = [c_form(t, width) for t in ctypes]
        if len(d.args) != len(want):
            problems.append(f"{where} takes {len(d.args)} arguments, the prototype {len(want)}")
        else:
            for n, (got, expect) in enumerate(zip(d.args, want), 1):
                if got != expect:
                    problems.append(f"{where}: argument {n} ({ctypes[n - 1]}) is {show(got)}, not {show(expect)}")
        if d.result != c_form(ret, width):
            problems.append(f"{where} gives {show(d.result)}, the prototype {show(c_form(ret, width))}")
        expect = width.convention("stdcall" if width.windows else "cdecl")
        if width.convention(d.convention) != expect:
            problems.append(f"{where} is {d.convention}, not {expect}")
    return problems


def buffer_problems(what, text, calls, sizes, resolve, buffers):
    """Each call of a text output (`calls`: (position, export)) has the
    header's size in the nearest buffer size written before it (`sizes`:
    (position, expression))."""
    problems = []
    for at, export in calls:
        before = [(p, e) for p, e in sizes if p < at]
        if export not in buffers:
            continue
        if not before:
            problems.append(f"{what}: the call of {export} has no buffer size before it")
            continue
        expression = before[-1][1]
        value = resolve(expression)
        if value != buffers[export]:
            line = text.count("\n", 0, at) + 1
            problems.append(f"{what}, line {line}: {export} gets a buffer of {expression} ({value}) "
                            f"bytes, the header's {buffers[export]}")
    return problems


def table_problems(what, found, table, unknown, found_unknown):
    problems = []
    for name in sorted(set(found) | set(table)):
        if found.get(name) != table.get(name):
            problems.append(f"{what}: {name} is described {found.get(name)!r}, the header {table.get(name)!r}")
    if found_unknown != unknown:
        problems.append(f"{what}: a code without a name is described {found_unknown!r}, the header {unknown!r}")
    return problems


def constant_problems(what, found, constants):
    problems = []
    for name, value in constants.items():
        if name not in found:
            problems.append(f"{what} lacks {name}")
        elif found[name] != value:
            problems.append(f"{what} has {name} = {found[name]}, the header {value}")
    return problems


# ---- Python -------------------------------------------------------------------

PY_NUMBERS = {"c_int32": 4, "c_uint32": 4, "c_int": 4, "c_uint": 4, "c_int16": 2, "c_short": 2,
              "c_int64": 8, "c_uint64": 8, "c_longlong": 8, "c_int8": 1, "c_ubyte": 1}


def py_form(node, aliases, width):
    if isinstance(node, ast.Constant) and node.value is None:
        return None
    if isinstance(node, ast.Name):
        if node.id in aliases:
            return py_form(aliases[node.id], aliases, width)
        if node.id in PY_NUMBERS:
            return ("value", PY_NUMBERS[node.id])
        if node.id in ("c_void_p", "c_size_t", "c_ssize_t"):
            return ("value", width.pointer)
        if node.id == "c_char_p":
            return ("text", None)
    if isinstance(node, ast.Call) and getattr(node.func, "id", "") == "POINTER" and len(node.args) == 1:
        inner = py_form(node.args[0], aliases, width)
        if inner and inner[0] == "value":
            return ("address", inner[1])
        if inner and inner[0] == "text":
            return ("address", width.pointer)
    return ("unknown " + ast.unparse(node), None)


def python_decls(text, width):
    tree = ast.parse(text)
    aliases, prototypes = {}, None
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            aliases[node.targets[0].id] = node.value
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None:
            aliases[node.target.id] = node.value
    prototypes = aliases.get("_PROTOTYPES")
    # The loader: WinDLL (stdcall) or CDLL (cdecl) on Windows, CDLL natively.
    m = re.search(r"if _WINDOWS:\s*\n\s*self\._dll = (.*)\n\s*else:\s*\n\s*self\._dll = (.*)", text)
    loader = (m.group(1) if width.windows else m.group(2)) if m else ""
    convention = "stdcall" if re.search(r"\b(WinDLL|OleDLL)\b", loader) else (
        "cdecl" if "CDLL" in loader else "no loader found")
    decls = []
    if not isinstance(prototypes, ast.Dict):
        return decls
    for key, value in zip(prototypes.keys, prototypes.values):
        name = key.value
        if not (isinstance(value, ast.Tuple) and len(value.elts) == 2 and isinstance(value.elts[1], ast.Tuple)):
            decls.append(Decl("MifareZUB", name, name, None, "not (result, (arguments))", convention))
            continue
        decls.append(Decl("MifareZUB", name, name, py_form(value.elts[0], aliases, width),
                          [py_form(a, aliases, width) for a in value.elts[1].elts], convention))
    return decls


def python_names(text):
    block = re.search(r"_PROTOTYPES\s*=\s*\{(.*?)\n\}", text, re.S)
    return re.findall(r'^\s*"(\w+)"\s*:', block.group(1), re.M) if block else []


def python_problems(texts, protos, exports, buffers, table, unknown):
    native, reader, errors = texts
    problems = []
    for width in (X86, X64, NATIVE):
        problems += signature_problems("the Python package", python_decls(native, width), width, protos, exports)
    constants = {n: int(v) for n, v in re.findall(r"^(\w+) = (\d+)\b", native, re.M)}
    # The call sites: the module's own text outside the prototype table.
    for path, text in (("_native.py", native), ("reader.py", reader)):
        body = re.sub(r"_PROTOTYPES\s*=\s*\{.*?\n\}", lambda m: " " * len(m.group(0)), text, flags=re.S)
        calls = [(m.start(), m.group(1) or m.group(2))
                 for m in re.finditer(r"\"(\w+)\"|\.(\w+)\(", body) if (m.group(1) or m.group(2)) in buffers]
        sizes = [(m.start(), m.group(1)) for m in
                 re.finditer(r"(?:_text_out|create_string_buffer)\(\s*(\w+)\s*\)", body)]
        problems += buffer_problems(f"the Python package's {path}", body, calls, sizes,
                                    lambda e: int(e) if e.isdigit() else constants.get(e), buffers)
    tree = ast.parse(errors)
    values = {}
    found = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            values[node.targets[0].id] = node.value
        if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", "") == "STATUS_DESCRIPTIONS":
            for k, v in zip(node.value.keys, node.value.values):
                found["MZ_" + k.id] = v.value
    m = re.search(r'def describe\(.*?STATUS_DESCRIPTIONS\.get\(code,\s*"([^"]*)"\)', errors, re.S)
    problems += table_problems("the Python package's STATUS_DESCRIPTIONS", found, table, unknown,
                               m.group(1) if m else None)
    return problems


# ---- C# -----------------------------------------------------------------------

CS_NUMBERS = {"int": 4, "uint": 4, "Int32": 4, "UInt32": 4, "short": 2, "ushort": 2, "long": 8,
              "ulong": 8, "byte": 1, "sbyte": 1}
CS_LIBRARIES = {"Library": "MifareZUB", '"MifareZUB"': "MifareZUB", '"libc.so.6"': "libc.so.6",
                '"kernel32"': "kernel32", '"kernel32.dll"': "kernel32"}
CS_IMPORT = re.compile(
    r"\[DllImport\(\s*(?P<lib>[^,)\s]+)\s*(?P<options>[^\]]*)\)\]\s*"
    r"(?:(?:internal|public|private|static|extern|unsafe)\s+)+(?P<ret>[\w.\[\]]+)\s+(?P<name>\w+)\s*"
    r"\((?P<args>[^)]*)\)\s*;")


def cs_form(arg, width):
    arg = re.sub(r"^\s*(?:\[[^\]]*\]\s*)+", "", arg).split()
    if not arg:
        return "an argument without a type"
    by_ref = arg[0] in ("ref", "out", "in")
    ctype = arg[1] if by_ref else arg[0]
    if ctype in ("IntPtr", "UIntPtr"):
        size = width.pointer
    elif ctype in CS_NUMBERS:
        size = CS_NUMBERS[ctype]
    elif ctype in ("byte[]", "string", "StringBuilder") and not by_ref:
        return ("text", None)
    else:
        return ("unknown " + " ".join(arg), None)
    return ("address", size) if by_ref else ("value", size)


def csharp_decls(text, width):
    decls = []
    for m in CS_IMPORT.finditer(text):
        lib = CS_LIBRARIES.get(m.group("lib"), m.group("lib"))
        if (lib == "libc.so.6" and width.windows) or (lib == "kernel32" and not width.windows):
            continue  # a call of the other system, never made there
        options = m.group("options")
        entry = re.search(r'EntryPoint\s*=\s*"(\w+)"', options)
        convention = re.search(r"CallingConvention\s*=\s*CallingConvention\.(\w+)", options)
        convention = convention.group(1).lower() if convention else "winapi"
        convention = {"winapi": "stdcall" if width.windows else "cdecl"}.get(convention, convention)
        export = entry.group(1) if entry else m.group("name")
        ret = None if m.group("ret") == "void" else cs_form(m.group("ret"), width)
        args = [cs_form(a, width) for a in m.group("args").split(",") if a.strip()]
        name = export if lib == "MifareZUB" and m.group("name") == export else m.group("name")
        decls.append(Decl(lib, export, name, ret, args, convention))
    return decls


def csharp_names(text):
    # The library's imports (DllImport(Library, ...)); imports of other
    # libraries (libc's dlopen, say) are not the library's exports.
    return re.findall(r'DllImport\(\s*Library\s*,\s*EntryPoint\s*=\s*"(\w+)"', text)


def pascal_case(name):
    return "".join(part.capitalize() for part in name.split("_"))


def csharp_problems(parts, protos, exports, buffers, table, unknown, constants):
    text = "\n".join(parts.values())
    problems = []
    for width in (X86, X64, NATIVE):
        problems += signature_problems("the C# binding", csharp_decls(text, width), width, protos, exports)
    sizes_of = {n: int(v) for n, v in re.findall(r"\bconst\s+int\s+(\w+)\s*=\s*(\d+)", parts.get("Internal.cs", ""))}
    for path, body in parts.items():
        if path == "NativeMethods.cs":
            continue
        calls = [(m.start(), m.group(1)) for m in re.finditer(r"NativeMethods\.(\w+)\s*\(", body)]
        sizes = [(m.start(), m.group(1)) for m in re.finditer(r"new\s+TextBuffer\(\s*(?:TextBuffer\.)?(\w+)\s*\)", body)]
        problems += buffer_problems(f"the C# binding's {path}", body, calls, sizes,
                                    lambda e: int(e) if e.isdigit() else sizes_of.get(e), buffers)
    # The Status enum: the header's names, old ones only as [Obsolete] aliases.
    enum = re.search(r"public\s+enum\s+Status\s*\{(.*?)\}", text, re.S)
    members = re.findall(r"((?:\[[^\]]*\]\s*)*)(\w+)\s*=\s*(-?\d+|\w+)\s*,", enum.group(1) if enum else "")
    values = {}
    for attributes, name, value in members:
        values[name] = int(value) if re.match(r"-?\d+$", value) else values.get(value)
    named = {pascal_case(n[len("MZ_STATUS_"):]): constants[n] for n in table}
    for name, value in named.items():
        if values.get(name) != value:
            problems.append(f"the C# Status enum has {name} = {values.get(name)}, the header {value}")
    for attributes, name, value in members:
        if name not in named and ("Obsolete" not in attributes or values[name] not in named.values()):
            problems.append(f"the C# Status enum names {name}, which the header does not "
                            "(keep an old name only as an [Obsolete] alias of a header name)")
    # Messages.Description: by number or by Status name.
    switch = re.search(r"public\s+static\s+string\s+Description\(int\s+code\)\s*\{(.*?)\n        \}", text, re.S)
    body = switch.group(1) if switch else ""
    by_value = {v: k for k, v in constants.items() if k.startswith("MZ_STATUS_")}
    found = {}
    for key, description in re.findall(r'case\s+([^:]+?)\s*:\s*return\s+"([^"]*)"\s*;', body):
        key = key.replace("(int)", "").strip()
        value = int(key) if re.match(r"-?\d+$", key) else values.get(key.replace("Status.", ""))
        found[by_value.get(value, key)] = description
    m = re.search(r'default:\s*return\s+("[^"]*")\s*;', body)
    problems += table_problems("the C# binding's Messages.Description", found, table, unknown,
                               m.group(1)[1:-1] if m else None)
    return problems


# ---- Pascal -------------------------------------------------------------------

PASCAL_WIDTHS = [(Width("Win32", 4, True), {"FPC", "MSWINDOWS", "WINDOWS", "WIN32", "CPU386", "CPUI386"}),
                 (Width("Win64", 8, True), {"FPC", "MSWINDOWS", "WINDOWS", "WIN64", "CPUX86_64", "CPU64"}),
                 (Width("Linux x86_64", 8, False), {"FPC", "UNIX", "LINUX", "CPUX86_64", "CPU64"})]
PASCAL_NUMBERS = {"longint": 4, "int32": 4, "longword": 4, "cardinal": 4, "dword": 4, "uint32": 4,
                  "smallint": 2, "word": 2, "int16": 2, "int64": 8, "qword": 8, "uint64": 8, "byte": 1,
                  "shortint": 1}
PASCAL_CONVENTIONS = ("stdcall", "cdecl", "register", "pascal", "safecall", "winapi")


def pascal_preprocess(text, defines):
    """The text that the compiler reads with `defines` set: {$IFDEF},
    {$IFNDEF}, {$IF Defined(..)}, {$ELSE}, {$ENDIF}/{$IFEND}, nested."""
    out, stack = [], []
    pos = 0
    for m in re.finditer(r"\{\$(IFDEF|IFNDEF|IF|ELSE|ENDIF|IFEND)\b([^}]*)\}", text, re.I):
        if all(stack):
            out.append(text[pos:m.start()])
        pos = m.end()
        word, rest = m.group(1).upper(), m.group(2).strip()
        if word == "IFDEF":
            stack.append(rest.upper() in defines)
        elif word == "IFNDEF":
            stack.append(rest.upper() not in defines)
        elif word == "IF":
            expression = re.sub(r"defined\s*\(\s*(\w+)\s*\)", lambda d: str(d.group(1).upper() in defines),
                                rest, flags=re.I)
            expression = re.sub(r"\b(and|or|not)\b", lambda w: w.group(1).lower(), expression, flags=re.I)
            try:
                stack.append(bool(eval(expression, {"__builtins__": {}}, {})))  # True/False/and/or/not only
            except Exception:
                stack.append(False)  # CompilerVersion and the like: not Free Pascal's
        elif word == "ELSE":
            stack[-1] = not stack[-1]
        else:
            stack.pop()
    if all(stack):
        out.append(text[pos:])
    return "".join(out)


def pascal_decls(text, width, defines):
    text = re.sub(r"\(\*.*?\*\)", " ", text, flags=re.S)
    source = pascal_preprocess(text, defines)
    source = re.sub(r"\{[^$][^}]*\}|\{\}|//[^\n]*", " ", source)
    interface = re.split(r"\bimplementation\b", source, maxsplit=1, flags=re.I)[0]
    mode = re.search(r"\{\$MODE\s+(\w+)\s*\}", source, re.I)
    integer = 4 if mode and mode.group(1).lower() in ("delphi", "objfpc", "delphiunicode") else 2
    aliases = {a.lower(): b.lower() for a, b in re.findall(r"^\s*(\w+)\s*=\s*(\w+)\s*;", interface, re.M)}
    libraries = {a: b for a, b in re.findall(r"^\s*(\w+)\s*=\s*'([^']*)'\s*;", interface, re.M)}

    def base(name):
        name = name.lower()
        while name in aliases and aliases[name] != name:
            name = aliases[name]
        return name

    def form(kind, ptype):
        ptype = base(ptype)
        if ptype in ("pansichar", "pchar"):
            return ("address", width.pointer) if kind else ("text", None)
        if ptype in ("pointer", "nativeint", "nativeuint", "ptrint", "ptruint", "thandle", "hmodule"):
            size = width.pointer
        elif ptype == "integer":
            size = integer
        elif ptype in PASCAL_NUMBERS:
            size = PASCAL_NUMBERS[ptype]
        else:
            return ("unknown " + ptype, None)
        return ("address", size) if kind else ("value", size)

    decls = []
    pattern = (r"\b(function|procedure)\s+(\w+)\s*(?:\(([^)]*)\))?\s*(?::\s*(\w+))?\s*;"
               r"((?:(?!\bfunction\b|\bprocedure\b).)*?)\bexternal\s+(\w+|'[^']*')(?:\s+name\s+'(\w+)')?\s*;")
    for m in re.finditer(pattern, interface, re.S | re.I):
        kind, name, params, ret, directives, lib, export = m.groups()
        args = []
        for group in (params or "").split(";"):
            if not group.strip():
                continue
            names, _, ptype = group.partition(":")
            words = names.split()
            by_ref = words[0].lower() in ("var", "out", "constref") if words else False
            if words and words[0].lower() in ("var", "out", "const", "constref"):
                words = words[1:]
            for _ in " ".join(words).split(","):
                args.append(form(by_ref, ptype.strip()))
        found = [w.lower() for w in re.findall(r"\b(\w+)\s*;", directives) if w.lower() in PASCAL_CONVENTIONS]
        convention = found[0] if found else "register"
        convention = {"winapi": "stdcall" if width.windows else "cdecl"}.get(convention, convention)
        library = libraries.get(lib, lib.strip("'"))
        library = "MifareZUB" if re.match(r"(lib)?MifareZUB\.(dll|so)$", library, re.I) else library
        result = form(False, ret) if kind.lower() == "function" else None
        decls.append(Decl(library, export or name, name, result, args, convention))
    return decls


def pascal_names(text):
    interface = text.split("\nimplementation", 1)[0]
    pattern = r"\b(?:function|procedure)\s+(\w+)((?:(?!\bfunction\b|\bprocedure\b).)*?)\bexternal\b"
    return [m.group(1) for m in re.finditer(pattern, interface, re.S | re.I)]


def pascal_problems(text, protos, exports, buffers, table, unknown, constants):
    problems = []
    for width, defines in PASCAL_WIDTHS:
        problems += signature_problems("the Pascal unit", pascal_decls(text, width, defines), width, protos, exports)
    interface, _, implementation = text.partition("\nimplementation")
    found = {n: int(v) for n, v in re.findall(r"^\s*(MZ_\w+)\s*=\s*(-?\d+)\s*;", interface, re.M)}
    problems += constant_problems("the Pascal unit", found, constants)
    offset = len(interface) + len("\nimplementation")
    calls = [(offset + m.start(), m.group(1)) for m in re.finditer(r"\b(\w+)\s*\(", implementation)]
    sizes = [(offset + m.start(), m.group(1)) for m in
             re.finditer(r"array\s*\[\s*0\s*\.\.\s*(\w+)\s*-\s*1\s*\]", implementation, re.I)]
    problems += buffer_problems("the Pascal unit", text, calls, sizes, lambda e: found.get(e), buffers)
    descriptions = dict(re.findall(r"^\s*(MZ_STATUS_\w+)\s*:\s*Result\s*:=\s*'([^']*)'\s*;", text, re.M))
    m = re.search(r"function MZDescription.*?\belse\s+Result\s*:=\s*'([^']*)'", implementation, re.S)
    problems += table_problems("the Pascal unit's MZDescription", descriptions, table, unknown,
                               m.group(1) if m else None)
    return problems


# ---- VB6 and VBA --------------------------------------------------------------

# Each host: the compiler constants it sets and its width.
VB_HOSTS = [("VB6", {"VBA7": False, "WIN64": False, "WIN32": True, "WIN16": False, "MAC": False}, X86),
            ("VBA 32-bit", {"VBA7": True, "WIN64": False, "WIN32": True, "WIN16": False, "MAC": False}, X86),
            ("VBA 64-bit", {"VBA7": True, "WIN64": True, "WIN32": True, "WIN16": False, "MAC": False}, X64)]
VB_SUFFIXES = {"&": "long", "%": "integer", "$": "string", "^": "longlong", "!": "single", "#": "double",
               "@": "currency"}
VB_DECLARE = re.compile(
    r"^[ \t]*(?:(?P<scope>Public|Private|Friend|Global)[ \t]+)?Declare[ \t]+(?P<ptrsafe>PtrSafe[ \t]+)?"
    r"(?P<kind>Function|Sub)[ \t]+(?P<name>\w+[&%$^!#@]?)[ \t]+(?P<cdecl>CDecl[ \t]+)?"
    r"Lib[ \t]+\"(?P<lib>[^\"]+)\"(?:[ \t]+Alias[ \t]+\"(?P<alias>[^\"]+)\")?[ \t]*"
    r"\((?P<args>[^)]*)\)(?:[ \t]+As[ \t]+(?P<ret>\w+))?", re.M | re.I)


def vb_joined(text):
    """The module with line continuations joined, comments kept."""
    return re.sub(r"[ \t]+_[ \t]*\r?\n[ \t]*", " ", text.replace("\r\n", "\n"))


def vb_preprocess(text, constants):
    """The lines that a host with these compiler constants compiles: #If,
    #ElseIf, #Else and #End If, nested, with And, Or and Not."""
    out, stack = [], []  # each level: (this branch on, some branch taken)

    def value(expression):
        expression = re.sub(r"'.*", "", expression)
        words = re.sub(r"\b(\w+)\b", lambda w: {"and": " and ", "or": " or ", "not": " not ", "then": ""}.get(
            w.group(1).lower(), str(constants.get(w.group(1).upper(), False))), expression)
        return bool(eval(words, {"__builtins__": {}}, {}))  # True/False/and/or/not only

    for line in text.split("\n"):
        m = re.match(r"[ \t]*#(If|ElseIf|Else|End[ \t]*If)\b(.*)$", line, re.I)
        outer = all(on for on, _ in stack)
        if not m:
            out.append(line if outer else "")
            continue
        word = m.group(1).lower().replace(" ", "").replace("\t", "")
        if word == "if":
            on = value(m.group(2))
            stack.append((on, on))
        elif word == "elseif":
            on, taken = stack.pop()
            now = not taken and value(m.group(2))
            stack.append((now, taken or now))
        elif word == "else":
            on, taken = stack.pop()
            stack.append((not taken, True))
        else:
            stack.pop()
        out.append("")
    return "\n".join(out)


def vb_form(arg, width):
    words = re.sub(r"\bOptional\b", "", arg, flags=re.I).split()
    passing = "byref"
    if words and words[0].lower() in ("byval", "byref"):
        passing = words.pop(0).lower()
    if not words:
        return "an argument without a name"
    name = words[0]
    if len(words) >= 3 and words[1].lower() == "as":
        vbtype = words[2].lower()
    elif name[-1] in VB_SUFFIXES:
        vbtype = VB_SUFFIXES[name[-1]]
    else:
        vbtype = "variant"
    if name.endswith("()"):
        return ("unknown array", None)
    if vbtype == "string":
        return ("text", None) if passing == "byval" else ("address", width.pointer)
    size = {"long": 4, "integer": 2, "longlong": 8, "longptr": width.pointer, "byte": 1}.get(vbtype)
    if size is None:
        return ("unknown " + vbtype, None)
    return ("value", size) if passing == "byval" else ("address", size)


def vb_decls(text, host, width, problems):
    decls = []
    constants = host[1]
    for m in VB_DECLARE.finditer(vb_preprocess(vb_joined(text), constants)):
        lib = m.group("lib")
        lib = "MifareZUB" if lib.lower() == "mifarezub.dll" else re.sub(r"\.dll$", "", lib.lower())
        name = m.group("name")
        where = f"the VB module ({host[0]}): {name}"
        if not m.group("alias"):
            problems.append(f"{where} has no Alias: the IDE's re-casing of the name would break the call")
        if bool(m.group("ptrsafe")) != constants["VBA7"]:
            problems.append(f"{where} {'lacks' if constants['VBA7'] else 'has'} PtrSafe")
        args = [vb_form(a, width) for a in m.group("args").split(",") if a.strip()]
        if m.group("kind").lower() == "sub":
            result = None
        else:
            ret = (m.group("ret") or VB_SUFFIXES.get(name[-1], "variant")).lower()
            size = {"long": 4, "integer": 2, "longlong": 8, "longptr": width.pointer}.get(ret)
            result = ("value", size) if size else ("unknown " + ret, None)
        convention = "cdecl" if m.group("cdecl") else "stdcall"
        decls.append(Decl(lib, m.group("alias") or name.rstrip("&%$^!#@"), name.rstrip("&%$^!#@"),
                          result, args, convention, (m.group("scope") or "Public").lower() != "private"))
    return decls


def vb_names(text):
    decls = vb_decls(text, VB_HOSTS[2], X64, [])
    return [d.export for d in decls if d.lib == "MifareZUB" and d.name == d.export]


def vb_problems(text, protos, exports, buffers, table, unknown, constants):
    problems = []
    for host in VB_HOSTS:
        decls = vb_decls(text, host, host[2], problems)
        problems += signature_problems(f"the VB module ({host[0]})", decls, host[2], protos, exports)
        # Calls of the text outputs, under whatever VB name each has.
        source = vb_preprocess(vb_joined(text), host[1])
        source = re.sub(r"'[^\n]*", lambda c: " " * len(c.group(0)), source)
        source = VB_DECLARE.sub(lambda d: " " * len(d.group(0)), source)
        names = {d.name.lower(): d.export for d in decls if d.lib == "MifareZUB"}
        calls = [(m.start(), names[m.group(1).lower()]) for m in re.finditer(r"\b(\w+)\b(?!\s*(?:As|=)\b)", source)
                 if m.group(1).lower() in names]
        sizes = [(m.start(), m.group(1) or m.group(2)) for m in
                 re.finditer(r"String\$?\(\s*(\w+)\s*,|\(\s*0\s+To\s+(\w+)\s*-\s*1\s*\)\s+As\s+Byte", source, re.I)]
        found = {n: int(v) for n, v in re.findall(r"^\s*Public\s+Const\s+(MZ_\w+)\s+As\s+Long\s*=\s*(-?\d+)",
                                                  text, re.M | re.I)}
        problems += buffer_problems(f"the VB module ({host[0]})", source, calls, sizes,
                                    lambda e: found.get(e, int(e) if e.isdigit() else None), buffers)
    problems += constant_problems("the VB module", found, constants)
    descriptions = dict(re.findall(r'^\s*Case\s+(MZ_STATUS_\w+)\s*:\s*MZDescription\s*=\s*"([^"]*)"', text,
                                   re.M | re.I))
    m = re.search(r'^\s*Case\s+Else\s*:\s*MZDescription\s*=\s*"([^"]*)"', text, re.M | re.I)
    problems += table_problems("the VB module's MZDescription", descriptions, table, unknown,
                               m.group(1) if m else None)
    return sorted(set(problems), key=problems.index)


# ---- All of it ------------------------------------------------------------------


def support_names(text):
    return re.findall(r'\bCall(?:<\w+>)?\(\s*"(\w+)"', text)


def fuzz_names(text):
    block = re.search(r"kNames\[kExportCount\]\s*=\s*\{(.*?)\};", text, re.S)
    return re.findall(r'"(\w+)"', block.group(1)) if block else []


CONSUMERS = [
    ("the public header", "include/MifareZUB.h", header_names),
    ("the Python package", "bindings/python/mifarezub/_native.py", python_names),
    ("the Pascal unit", "bindings/pascal/MifareZUB.pas", pascal_names),
    # The binding's parts together: a declaration may move between them.
    ("the C# binding", "bindings/dotnet/*.cs", csharp_names),
    ("the VB module", "bindings/vb/MifareZUB.bas", vb_names),
    ("the test support calls", "tests/support/exports.cpp", support_names),
    ("the fuzz harness", "fuzz/harness/host.cpp", fuzz_names),
]

BINDINGS = {
    "python": ["bindings/python/mifarezub/_native.py", "bindings/python/mifarezub/reader.py",
               "bindings/python/mifarezub/errors.py"],
    "csharp": "bindings/dotnet/*.cs",
    "pascal": "bindings/pascal/MifareZUB.pas",
    "vb": "bindings/vb/MifareZUB.bas",
}


def read(root, path):
    """The text of a consumer; a pattern names several files, read as one."""
    if "*" not in path:
        return (root / path).read_text(encoding="utf-8")
    files = sorted(root.glob(path))
    if not files:
        sys.exit(f"no file matches {path}")
    return "\n".join(f.read_text(encoding="utf-8") for f in files)


def compare(what, names, exports):
    problems = []
    missing = [n for n in exports if n not in names]
    extra = sorted(set(names) - set(exports))
    doubled = sorted({n for n in names if names.count(n) > 1})
    if missing:
        problems.append(f"{what} misses {', '.join(missing)}")
    if extra:
        problems.append(f"{what} names {', '.join(extra)}, which the library does not export")
    if doubled:
        problems.append(f"{what} names {', '.join(doubled)} more than once")
    return problems


class Header:
    """The header, read once: exports, prototypes, constants, buffers, table."""

    def __init__(self, header, exports):
        self.exports = exports
        self.protos = c_prototypes(header)
        self.constants = header_constants(header)
        self.table = header_table(header)
        self.unknown = header_unknown(header)
        self.buffers = header_buffers(header, self.constants)

    def sane(self):
        if len(self.protos) != 20 or len(self.constants) < 30 or len(self.table) < 20 or len(self.buffers) != 3:
            return [f"the header gave {len(self.protos)} prototypes, {len(self.constants)} constants, "
                    f"{len(self.table)} descriptions and {len(self.buffers)} buffer sizes"]
        return []

    def check(self, binding, texts):
        h = (self.protos, self.exports, self.buffers, self.table, self.unknown)
        if binding == "python":
            return python_problems(texts, *h)
        if binding == "csharp":
            return csharp_problems(texts, *h, self.constants)
        if binding == "pascal":
            return pascal_problems(texts, *h, self.constants)
        return vb_problems(texts, *h, self.constants)


def binding_texts(root):
    texts = {}
    texts["python"] = [read(root, p) for p in BINDINGS["python"]]
    texts["csharp"] = {f.name: f.read_text(encoding="utf-8") for f in sorted(root.glob(BINDINGS["csharp"]))}
    texts["pascal"] = read(root, BINDINGS["pascal"])
    texts["vb"] = (root / BINDINGS["vb"]).read_text(encoding="ascii")
    return texts


def plant(texts, binding, pattern, replacement, part=None):
    """The binding's texts with one fault planted; None when the pattern is
    not found."""
    if binding == "python":
        index = part or 0
        changed, count = re.subn(pattern, replacement, texts[index], count=1, flags=re.M)
        return None if not count else texts[:index] + [changed] + texts[index + 1:]
    if binding == "csharp":
        changed, count = re.subn(pattern, replacement, texts[part], count=1, flags=re.M)
        return None if not count else dict(texts, **{part: changed})
    changed, count = re.subn(pattern, replacement, texts, count=1, flags=re.M)
    return changed if count else None


# (binding, part, what, pattern, replacement): each must be caught.
FAULTS = [
    ("python", 0, "an argument dropped", r'("mif_LoadKey": \(c_int32, \(c_int32, )c_int32, ', r"\1"),
    ("python", 0, "by value for by reference", r'("mif_Request": \(c_int32, \(c_int32, )_INT_OUT', r"\1c_int32"),
    ("python", 0, "a 32-bit number for a pointer", r"^_TEXT_OUT = POINTER\(c_void_p\)", "_TEXT_OUT = POINTER(c_uint32)"),
    ("python", 0, "cdecl for stdcall", r'getattr\(ctypes, "WinDLL"\)', 'getattr(ctypes, "CDLL")'),
    ("python", 1, "a buffer too small", r"_text_out\(BLOCK_BUFFER\)", "_text_out(SERIAL_BUFFER)"),
    ("python", 2, "a wrong description", r'"wrong key"', '"bad key"'),
    ("python", 2, "a wrong text for unknown codes", r'\.get\(code, "unknown result"\)', '.get(code, "error")'),
    ("csharp", "NativeMethods.cs", "an argument dropped", r"(mif_LoadKey\(int a, )int b, ", r"\1"),
    ("csharp", "NativeMethods.cs", "by value for by reference", r"mif_Request\(int mode, out int", "mif_Request(int mode, int"),
    ("csharp", "OpenFailure.cs", "a 32-bit number for the 64-bit handle", r"DlSym\(IntPtr handle", "DlSym(int handle"),
    ("csharp", "NativeMethods.cs", "a 32-bit number for a pointer", r"mif_Read\(int block, ref IntPtr", "mif_Read(int block, ref int"),
    ("csharp", "NativeMethods.cs", "cdecl for stdcall",
     r'(EntryPoint = "OpenComm", CallingConvention = CallingConvention\.)StdCall', r"\1Cdecl"),
    ("csharp", "Reader.cs", "a buffer too small", r"new TextBuffer\(TextBuffer\.BlockSize\)", "new TextBuffer(TextBuffer.SerialSize)"),
    ("csharp", "Errors.cs", "a wrong description", r'return "wrong key"', 'return "bad key"'),
    ("csharp", "Errors.cs", "a wrong text for unknown codes", r'default: return "unknown result"', 'default: return "error " + code'),
    ("csharp", "Status.cs", "a name the header does not have", r"\bNoPermission = 16", "Forbidden = 16"),
    ("pascal", None, "an argument dropped", r"function mif_LoadKey\(A, B: MZInt32;", "function mif_LoadKey(A: MZInt32;"),
    ("pascal", None, "by value for by reference", r"mif_Request\(Mode: MZInt32; var TagType", "mif_Request(Mode: MZInt32; TagType"),
    ("pascal", None, "a 32-bit number for a pointer", r"mif_Read\(Block: MZInt32; var Data: PAnsiChar", "mif_Read(Block: MZInt32; var Data: LongInt"),
    ("pascal", None, "a 16-bit Integer", r"MZInt32 = \{\$IFDEF FPC\}LongInt", "MZInt32 = {$IFDEF FPC}SmallInt"),
    ("pascal", None, "cdecl for stdcall", r"\{\$IFDEF MSWINDOWS\}stdcall;", "{$IFDEF MSWINDOWS}cdecl;"),
    ("pascal", None, "a buffer too small", r"array\[0\.\.MZ_MESSAGE_BUFFER - 1\]", "array[0..MZ_SERIAL_BUFFER - 1]"),
    ("pascal", None, "a wrong description", r"(MZ_STATUS_WRONG_KEY: Result := )'wrong key'", r"\1'bad key'"),
    ("pascal", None, "a wrong constant", r"(MZ_KEY_B = )1;", r"\g<1>2;"),
    ("vb", None, "an argument dropped", r"(mif_Authentication\" \(ByVal keyType As Long, )ByVal keySlot As Long, ", r"\1"),
    ("vb", None, "by value for by reference", r"(mif_Request\" \(ByVal mode As Long, )ByRef", r"\1ByVal"),
    ("vb", None, "a text output passed ByVal", r"(mif_Read\" \(ByVal block As Long, )ByRef", r"\1ByVal"),
    ("vb", None, "a 32-bit number for the 64-bit handle", r"(ByVal flags As Long\) As )LongPtr", r"\1Long"),
    ("vb", None, "a 16-bit Integer", r"(OpenComm\" \(ByVal deviceIndex As )Long", r"\1Integer"),
    ("vb", None, "cdecl for stdcall", r"(Declare Function OpenComm )(Lib)", r"\1CDecl \2"),
    ("vb", None, "PtrSafe in the VB6 branch", r"(#Else\s+Public Declare )(Function)", r"\1PtrSafe \2"),
    ("vb", None, "an export declared Private (no host could call it)", r"Public (Declare PtrSafe Function mif_Halt)",
     r"Private \1"),
    ("vb", None, "a wrong argument in a Private Declare", r"(Private Declare PtrSafe Sub ErrMsgBytes .*?ByRef text As )LongPtr",
     r"\1Long"),
    ("vb", None, "an Alias left out", r' Alias "mif_Halt"', ""),
    ("vb", None, "a kernel32 argument dropped", r"(Private Declare Sub SetLastError .*?)\(ByVal errorCode As Long\)", r"\1()"),
    ("vb", None, "a buffer too small", r"^(    s = String\$\()MZ_BLOCK_BUFFER,", r"\1MZ_SERIAL_BUFFER,"),
    ("vb", None, "a wrong description", r'"wrong key"', '"bad key"'),
    ("vb", None, "a wrong constant", r"(MZ_KEY_B As Long = )1", r"\g<1>0"),
]

SECOND_BLOCK = ("\n#If VBA7 Then\n    Private Declare PtrSafe Sub SetLastErrorAgain Lib \"kernel32\" Alias \"SetLastError\" "
                "(ByVal errorCode As {0})\n#Else\n    Private Declare Sub SetLastErrorAgain Lib \"kernel32\" Alias "
                "\"SetLastError\" (ByVal errorCode As Long)\n#End If\n")

# (binding, what, pattern, replacement): VB written another way that means
# the same; the check must read each as it reads the module.
READINGS = [
    ("vb", "Declare without Public (public by default)", r"Public (Declare PtrSafe Function mif_Halt)", r"\1"),
    ("vb", "ByVal x& (a type suffix)", r"(mif_Restore\" \()ByVal block As Long\)", r"\1ByVal block&)"),
    ("vb", "a nested #If Win64 choosing the handle's type",
     r"(    Private Declare PtrSafe Function LoadLibraryExA [^\n]*\n[^\n]*\) As LongPtr\n)",
     "    #If Win64 Then\n\\1    #Else\n    Private Declare PtrSafe Function LoadLibraryExA Lib \"kernel32\" Alias "
     "\"LoadLibraryExA\" (ByVal fileName As String, ByVal reserved As Long, ByVal flags As Long) As Long\n"
     "    #End If\n"),
    ("vb", "a second #If block after the first", r"(\n' LoadLibraryEx: the folder)", SECOND_BLOCK.format("Long") + r"\1"),
]

# Faults in the rewrites above, each of which must be caught.
READING_FAULTS = [
    ("vb", "a kernel32 Declare of another branch with the 32-bit handle in 64-bit VBA", READINGS[2][2],
     READINGS[2][3].replace("#If Win64 Then", "#If Not Win64 Then")),
    ("vb", "ByVal x% (a 16-bit suffix)", READINGS[1][2], r"\1ByVal block%)"),
    ("vb", "a 16-bit argument in a second #If block", READINGS[3][2], SECOND_BLOCK.format("Integer") + r"\1"),
]


def self_test(header, texts, show):
    problems = []
    original = {b: header.check(b, t) for b, t in texts.items()}
    for binding, part, what, pattern, replacement in FAULTS:
        faulty = plant(texts[binding], binding, pattern, replacement, part)
        if faulty is None:
            problems.append(f"self-test: could not plant {what} in the {binding} binding")
            continue
        new = [p for p in header.check(binding, faulty) if p not in original[binding]]
        if not new:
            problems.append(f"self-test: {what} in the {binding} binding went unnoticed")
        elif show:
            print(f"planted in {binding}: {what}\n    caught: {new[0]}" + (f" (and {len(new) - 1} more)" if len(new) > 1 else ""))
    for binding, what, pattern, replacement in READINGS:
        same = plant(texts[binding], binding, pattern, replacement)
        if same is None:
            problems.append(f"self-test: could not write {what} into the {binding} binding")
            continue
        found = header.check(binding, same)
        if found != original[binding]:
            problems.append(f"self-test: {what} is misread: {found[:3]}")
        elif show:
            print(f"read as the same in {binding}: {what}")
    for binding, what, pattern, replacement in READING_FAULTS:
        faulty = plant(texts[binding], binding, pattern, replacement)
        new = [p for p in header.check(binding, faulty or texts[binding]) if p not in original[binding]]
        if not new:
            problems.append(f"self-test: {what} in the {binding} binding went unnoticed")
        elif show:
            print(f"planted in {binding}: {what}\n    caught: {new[0]}")
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = Path(sys.argv[1])
    exports = def_names((root / "api/MifareZUB.def").read_text())
    if len(exports) != 20:
        sys.exit(f"api/MifareZUB.def lists {len(exports)} exports, not 20")
    problems = []
    for what, path, extract in CONSUMERS:
        text = read(root, path)
        problems += compare(f"{what} ({path})", extract(text), exports)
        if "--self-test" in sys.argv[2:]:
            for victim in (exports[0], exports[-1], "mif_Read"):
                renamed = re.sub(rf"\b{victim}\b", victim + "Old", text)
                if not compare(what, extract(renamed), exports):
                    problems.append(f"self-test: renaming {victim} in {path} went unnoticed")
    header = Header((root / "include/MifareZUB.h").read_text(encoding="utf-8"), exports)
    problems += header.sane()
    texts = binding_texts(root)
    if not problems:
        for binding, text in texts.items():
            problems += header.check(binding, text)
        if "--self-test" in sys.argv[2:]:
            problems += self_test(header, texts, "--show-faults" in sys.argv[2:])
    for p in problems:
        print(p)
    print(f"{len(CONSUMERS)} export lists and {len(texts)} bindings' signatures checked against "
          f"{len(exports)} exports: {'ok' if not problems else str(len(problems)) + ' problem(s)'}")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
