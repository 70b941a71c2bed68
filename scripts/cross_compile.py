#!/usr/bin/env python3
"""Compiles every unit of the extensions for macOS and Windows, from here, and
links them for macOS.

    python3 scripts/cross_compile.py [--target x86_64-macos ...] [--out DIR]

Uses `zig c++` (clang and a Mach-O linker with the macOS system headers and
libraries, from the `ziglang` package on PyPI, installed into the running
environment when it is missing) against this interpreter's headers. The
units are the SOURCES and ENGINE_SOURCES lists of setup.py (the packaging
module and zavrik.skills._engine) and the flags are the ones setup.py
chooses for macOS, with warnings turned into errors. The extension is
linked as Python links macOS extensions: a bundle whose interpreter symbols
stay undefined and are looked up when the module is loaded
(`-undefined dynamic_lookup`). Each result is checked to be a Mach-O file of
the target's architecture that exports its PyInit_ function.

One difference from a build on a Mac: `zig c++ -bundle` crashes (zig
0.17.1), so the file is linked with -shared, a dynamic library (MH_DYLIB)
rather than a bundle; the interpreter loads either with dlopen, and the
compiler, the flags and the symbol resolution are the same. zig also links
its own copy of libc++ instead of the system's.

Windows (x86_64-windows-gnu: clang with the MinGW-w64 headers) is compiled
only, not linked: there are no Windows headers or import library of the
interpreter here, so each unit is compiled against this interpreter's own
headers with the POSIX-only parts of its pyconfig.h taken out and the sizes
of Windows' data model put in (`long` of 4 bytes, `wchar_t` of 2, Windows
threads). That is not MSVC and not the real pyconfig.h; it catches what the
units themselves get wrong there (POSIX-only calls outside the `_WIN32`
guards, names that Windows headers define as macros, code unused there).

Nothing here runs the module: this machine cannot load a Mach-O file or a
Windows DLL. It proves that the code compiles (and for macOS links) for the
platform, no more.
"""

import __future__
import argparse
import ast
import os
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TARGETS = ("x86_64-macos", "aarch64-macos", "x86_64-windows-gnu")
# The zig release this check was written and run with.
ZIGLANG = "ziglang==0.17.1"

# Mach-O constants (mach-o/loader.h, mach-o/nlist.h).
MH_MAGIC_64 = 0xFEEDFACF
MH_DYLIB, MH_BUNDLE = 0x6, 0x8
CPU_TYPES = {"x86_64": 0x01000007, "aarch64": 0x0100000C}
LC_SYMTAB = 0x2
N_EXT, N_TYPE, N_SECT = 0x01, 0x0E, 0x0E


def setup_definitions(names):
    """SOURCES and the flag functions of setup.py, without running setup().

    The flag functions are evaluated with `sys.platform` reading "darwin",
    so they return what a build on a Mac would use.
    """
    tree = ast.parse((ROOT / "setup.py").read_text(encoding="utf-8"))
    wanted = [
        node
        for node in tree.body
        if (isinstance(node, ast.FunctionDef) and node.name.startswith("_"))
        or (
            isinstance(node, (ast.Assign, ast.AnnAssign))
            and any(
                isinstance(t, ast.Name) and t.id in ("SOURCES", "ENGINE_SOURCES", "_probed")
                for t in (node.targets if isinstance(node, ast.Assign) else [node.target])
            )
        )
    ]
    module = ast.Module(body=wanted, type_ignores=[])
    mac_sys = types.SimpleNamespace(platform="darwin")
    namespace = {"os": os, "sys": mac_sys, "__name__": "setup_flags"}
    # Annotations stay unevaluated: they name types this namespace lacks.
    code = compile(module, "setup.py", "exec", flags=__future__.annotations.compiler_flag)
    exec(code, namespace)
    return [namespace[name] for name in names]


def windows_headers(include, out):
    """A copy of the interpreter's headers whose pyconfig.h describes
    Windows rather than this system: no POSIX headers, LLP64 sizes,
    Windows threads."""
    copy = out / "include"
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(include, copy)
    config = copy / "pyconfig.h"
    text = config.read_text(encoding="utf-8")
    posix_only = (r"HAVE_SYS_\w+_H|HAVE_UNISTD_H|HAVE_PTHREAD\w*|HAVE_FORK|HAVE_DLFCN_H"
                  r"|HAVE_LANGINFO_H|HAVE_SIGNAL_H|HAVE_NETINET\w*|HAVE_GRP_H|HAVE_POLL_H"
                  r"|HAVE_TERMIOS_H|HAVE_DIRENT_H")
    text = re.sub(rf"^#define ({posix_only}) 1$", r"/* \1: not on Windows */", text, flags=re.M)
    text = re.sub(r"^#define SIZEOF_LONG \d+$", "#define SIZEOF_LONG 4", text, flags=re.M)
    text = re.sub(r"^#define SIZEOF_WCHAR_T \d+$", "#define SIZEOF_WCHAR_T 2", text, flags=re.M)
    config.write_text(text + "\n#define NT_THREADS 1\n", encoding="utf-8")
    return str(copy)


def zig_command():
    try:
        import ziglang  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", ZIGLANG], check=True)
    return [sys.executable, "-m", "ziglang", "c++"]


def macho_summary(path, arch):
    """Checks the header of the linked file; returns its exported and
    undefined symbol names."""
    data = path.read_bytes()
    magic, cputype, _sub, filetype, ncmds, _size, _flags, _res = struct.unpack_from("<8I", data)
    if magic != MH_MAGIC_64:
        raise SystemExit(f"{path}: not a 64-bit Mach-O file")
    if cputype != CPU_TYPES[arch]:
        raise SystemExit(f"{path}: CPU type {cputype:#x}, expected {arch}")
    if filetype not in (MH_DYLIB, MH_BUNDLE):
        raise SystemExit(f"{path}: file type {filetype}, expected a loadable library")
    exported, undefined = [], []
    offset = 32
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<2I", data, offset)
        if cmd == LC_SYMTAB:
            symoff, nsyms, stroff, _strsize = struct.unpack_from("<4I", data, offset + 8)
            for i in range(nsyms):
                strx, ntype, _nsect, _desc, _value = struct.unpack_from(
                    "<IBBHQ", data, symoff + 16 * i
                )
                end = data.index(b"\0", stroff + strx)
                name = data[stroff + strx : end].decode()
                if ntype & N_EXT and ntype & N_TYPE == N_SECT:
                    exported.append(name)
                elif ntype & N_EXT and ntype & N_TYPE == 0:
                    undefined.append(name)
        offset += cmdsize
    return exported, undefined


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--target", action="append", choices=TARGETS,
                        help="target triple (default: all of %s)" % ", ".join(TARGETS))
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "cross")
    args = parser.parse_args()
    args.out = args.out.resolve()

    packaging_sources, engine_sources, compile_args, link_args = setup_definitions(
        ["SOURCES", "ENGINE_SOURCES", "_compile_args", "_link_args"]
    )
    # Each extension and its units; a unit both use is compiled once.
    extensions = {"packaging": packaging_sources, "_engine": engine_sources}
    sources = list(dict.fromkeys(packaging_sources + engine_sources))
    include = sysconfig.get_paths()["include"]
    zig = zig_command()
    # The C++ runtime zig builds for each target on first use stays in its
    # global cache (~/.cache/zig) for later runs; the rest goes with the output.
    env = dict(os.environ, ZIG_LOCAL_CACHE_DIR=str(args.out / "zig-cache"))
    failed = False
    for target in args.target or TARGETS:
        arch = target.split("-")[0]
        out = args.out / target
        out.mkdir(parents=True, exist_ok=True)
        windows = target.endswith("-windows-gnu")
        headers = windows_headers(include, out) if windows else include
        objects = {}
        for source in sources:
            obj = out / (Path(source).stem + ".o")
            cmd = zig + ["-target", target, "-c", str(ROOT / source), "-o", str(obj),
                         "-I", headers, "-O2", "-DNDEBUG", "-Werror"]
            cmd += ([] if windows else ["-fPIC"]) + compile_args()
            if subprocess.run(cmd, env=env).returncode != 0:
                print(f"FAILED: {target}: compiling {source}", file=sys.stderr)
                failed = True
                continue
            objects[source] = str(obj)
        if len(objects) != len(sources):
            continue
        if windows:
            print(f"{target}: {len(sources)} units compiled (not linked)")
            continue
        for name, units in extensions.items():
            ext = out / f"{name}.so"
            cmd = zig + ["-target", target, "-shared", "-undefined", "dynamic_lookup",
                         *(objects[u] for u in units), "-o", str(ext)] + link_args()
            if subprocess.run(cmd, env=env).returncode != 0:
                print(f"FAILED: {target}: linking {name}", file=sys.stderr)
                failed = True
                continue
            exported, undefined = macho_summary(ext, arch)
            if f"_PyInit_{name}" not in exported:
                print(f"FAILED: {target}: PyInit_{name} is not exported", file=sys.stderr)
                failed = True
                continue
            from_python = sum(1 for sym in undefined if sym.startswith(("_Py", "__Py")))
            print(f"{target}: {len(units)} units compiled, {ext} linked "
                  f"({ext.stat().st_size} bytes, {len(exported)} exported symbols, "
                  f"{from_python} interpreter symbols left to load time)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
