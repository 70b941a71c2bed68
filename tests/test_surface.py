"""The module object: namespace, constants, exception type, function objects,
and the one-instance rule of importing it."""

import ast
import importlib
import inspect
import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import typing

import pytest
from subinterp import PRELUDE

import zavrik.skills.packaging as pk

MODULE = "zavrik.skills.packaging"

# The equivalent Python definitions: names, parameters, defaults, string
# annotations and docstrings that the function objects must reproduce.
REFERENCE = r'''
from __future__ import annotations


def get_central_skills_dir() -> Path:
    """返回跨平台中央 Skills 存储目录。

    macOS / Linux : ~/.zavrik/skills/
    Windows       : %LOCALAPPDATA%\\zavrik\\skills\\
    环境变量 ZAVRIK_CENTRAL_SKILLS_DIR 可覆盖（测试隔离用）。
    """


def get_builtin_templates_dir() -> Path:
    """返回当前运行环境中的内置 Skill 模板目录。

    普通 Python 包、PyInstaller onefile 和测试覆盖都通过这个函数解析路径，
    避免业务代码直接依赖固定的 __file__ 相对路径。
    """


def load_release_manifest(templates_dir: Path | None = None) -> dict[str, Any]:
    """读取 Skill 发版清单。"""


def list_template_dirs(templates_dir: Path | None = None) -> list[Path]:
    """列出模板根目录下所有 Skill 目录。"""


def current_profile(default: str = "dev") -> str:
    """读取当前 Skill 构建 profile。"""


def _profile_key(profile: str, artifact: str) -> str | None:
    pass


def skill_allowed(skill_name: str, *, profile: str, artifact: str,
                  manifest: dict[str, Any] | None = None,
                  templates_dir: Path | None = None) -> bool:
    """判断指定 Skill 是否允许进入目标 profile/artifact。"""


def selected_skill_names(*, profile: str | None = None, artifact: str,
                         templates_dir: Path | None = None) -> list[str]:
    """返回目标 profile/artifact 下应包含的 Skill 名称。"""


def prune_templates_dir(target_templates_dir: Path, *, profile: str | None = None,
                        artifact: str,
                        manifest_templates_dir: Path | None = None) -> list[str]:
    """删除目标模板目录中不允许进入当前产物的 Skill。

    返回被保留的 Skill 名称列表。
    """


def collect_skill_datas(*, profile: str | None = None,
                        templates_dir: Path | None = None) -> list[tuple[str, str]]:
    """返回 PyInstaller datas 兼容的模板文件列表。

    每个元素为 (source_file, destination_dir)，destination_dir 保持
    zavrik/skills/templates/<skill-name>/... 结构。
    """


def validate_release_manifest(templates_dir: Path | None = None) -> list[str]:
    """校验发版清单声明完整性，返回问题列表。"""


def _remove_tree(path: Path) -> None:
    pass


def _is_packable_file(path: Path) -> bool:
    pass


def _remove_packaging_junk(root: Path) -> None:
    pass
'''
REF = {}
exec(compile(REFERENCE, "<reference>", "exec"), REF)
FUNCTIONS = [name for name, v in REF.items() if inspect.isfunction(v)]
# The docstrings as written, indentation kept: from 3.13 the compiler strips
# it from the docstrings of Python functions, the module's keep it.
for _node in ast.parse(REFERENCE).body:
    if isinstance(_node, ast.FunctionDef):
        REF[_node.name].__doc__ = ast.get_docstring(_node, clean=False)
for _name in ("_profile_key", "_remove_tree", "_is_packable_file", "_remove_packaging_junk"):
    REF[_name].__doc__ = None

NAMESPACE = [
    "json", "os", "sys", "Path", "Any",
    "MANIFEST_FILENAME", "PROFILE_ENV", "DEFAULT_PROFILE", "RELEASE_PROFILE",
    "get_central_skills_dir", "_PROFILE_KEYS", "SkillReleaseManifestError",
    *FUNCTIONS[1:],
]

MODULE_DOC = (
    "Skill 模板发版准入与收集工具。\n"
    "\n"
    "该模块是 Skill 模板发布范围的单一判断入口，供 setup.py、二进制打包\n"
    "脚本和发版检查脚本复用。\n"
)


def test_namespace_is_bound_in_import_order():
    # A fresh process: restoring rebound attributes in other tests reorders
    # this process's namespace.
    result = run_python(f"import {MODULE} as m; print(*[n for n in vars(m) if n[:2] != '__'])")
    assert result.stdout.split() == NAMESPACE, result.stderr
    assert FUNCTIONS[0] == "get_central_skills_dir" and len(FUNCTIONS) == 14


def test_create_step_copies_the_import_spec():
    assert pk.__name__ == MODULE
    assert pk.__doc__ == MODULE_DOC
    assert pk.__file__ == pk.__spec__.origin
    assert pk.__package__ == "zavrik.skills"
    assert pk.__loader__ is pk.__spec__.loader
    assert "__path__" not in vars(pk)  # an extension module has no search path


def test_host_names_are_the_host_objects():
    assert (pk.json, pk.os, pk.sys) == (json, os, sys)
    assert pk.Path is pathlib.Path and pk.Any is typing.Any


def test_constants():
    constants = [pk.MANIFEST_FILENAME, pk.PROFILE_ENV, pk.DEFAULT_PROFILE, pk.RELEASE_PROFILE]
    assert constants == ["manifest.json", "ZAVRIK_SKILL_PROFILE", "dev", "python-release"]
    assert all(type(c) is str for c in constants)


def test_profile_keys_table_and_its_order():
    table = pk._PROFILE_KEYS
    assert type(table) is dict
    assert [(p, list(keys.items())) for p, keys in table.items()] == [
        ("python-release", [("sdist", "source"), ("wheel", "wheel")]),
        ("binary-minimal", [("binary", "binary")]),
        ("binary-full", [("binary", "binary_full")]),
    ]


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("nm"),
                    reason="reads an ELF file's dynamic symbols with nm")
def test_the_extension_exports_its_init_function_alone():
    # Weak C++ template instantiations exported beside it could be preempted
    # by another extension's copies.
    symbols = subprocess.run(["nm", "-D", "--defined-only", pk.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in symbols.splitlines()] == ["PyInit_packaging"]
    # Nor does it register a destructor with exit(), nor one of a thread's
    # own objects: exit runs the former while a daemon thread may still be
    # inside a walk or parked in one, an unwound thread the latter.
    needed = subprocess.run(["nm", "-D", "--undefined-only", pk.__file__],
                            capture_output=True, text=True, check=True).stdout
    names = {word.split("@")[0] for word in needed.split()}  # without the symbol's version
    assert not {"__cxa_atexit", "__cxa_thread_atexit_impl", "atexit"} & names


def test_exception_class():
    error = pk.SkillReleaseManifestError
    assert error.__bases__ == (ValueError,) and type(error) is type
    assert error.__module__ == MODULE and error.__qualname__ == "SkillReleaseManifestError"
    assert error.__doc__ == "Skill 发版清单错误。"

    # No members of its own. Made by a call, not a class statement, which
    # from 3.13 adds __firstlineno__ and __static_attributes__.
    same = type("Same", (ValueError,), {"__doc__": "doc"})
    assert set(vars(error)) == set(vars(same))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_object_matches_the_python_definition(name):
    f, ref = getattr(pk, name), REF[name]
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, MODULE)
    assert f.__doc__ == ref.__doc__
    assert list(f.__annotations__.items()) == list(ref.__annotations__.items())
    assert list(f.__annotations__)[-1] == "return"
    assert f.__defaults__ == ref.__defaults__
    assert f.__kwdefaults__ == ref.__kwdefaults__
    assert inspect.signature(f) == inspect.signature(ref)


def test_reimport_and_reload_give_the_same_instance_unchanged(monkeypatch):
    before = pk.load_release_manifest
    monkeypatch.setattr(pk, "DEFAULT_PROFILE", "rebound")
    monkeypatch.delitem(sys.modules, MODULE)
    assert importlib.import_module(MODULE) is pk
    assert importlib.reload(pk) is pk
    # the body did not run again: the rebound name and the functions remain
    assert pk.DEFAULT_PROFILE == "rebound" and pk.load_release_manifest is before


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_second_interpreter_is_refused():
    result = run_python(PRELUDE + textwrap.dedent(f"""
        import {MODULE}
        print(run_in_new_interpreter("import sys; sys.path[:] = {sys.path!r}; import {MODULE}"))
    """))
    assert result.stdout.strip() == (
        "ImportError: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process."), result.stderr


def test_failed_import_is_forgotten_and_can_be_retried():
    result = run_python(f"""
        import pathlib
        saved = pathlib.Path
        del pathlib.Path
        try:
            import {MODULE}
        except ImportError as e:
            print(e)
        pathlib.Path = saved
        import {MODULE} as m
        print(m.Path is saved, m.current_profile())
    """)
    assert result.stdout.splitlines() == ["cannot import name Path", "True dev"], result.stderr


# The module's __file__ as an installation under an odd directory (or a
# caller) leaves it, and the co_filename each function's code must report.
FILE_CASES = [
    ("'/opt/\\udcff\\udc80/packaging.so'", "'/opt/\\udcff\\udc80/packaging.so'"),  # not UTF-8
    ("type('S', (str,), {})('/opt/sub.so')", "'/opt/sub.so'"),
    ("b'/opt/bytes.so'", repr(MODULE)),
    ("None", repr(MODULE)),
    ("DELETE", repr(MODULE)),
]


@pytest.mark.parametrize("file, filename", FILE_CASES, ids=[f for f, _ in FILE_CASES])
def test_introspection_under_any_module_file(file, filename):
    # A child process: the fault this guards against was a segfault.
    set_file = f"del m.__file__" if file == "DELETE" else f"m.__file__ = {file}"
    result = run_python(f"""
        import contextlib, inspect, io, {MODULE} as m
        {set_file}
        for name in {FUNCTIONS!r}:
            f = getattr(m, name)
            assert f.__code__.co_filename == {filename}, (name, f.__code__.co_filename)
            assert type(f.__code__.co_filename) is str and f.__code__.co_name == name
            inspect.signature(f)
            with contextlib.redirect_stdout(io.StringIO()) as out:
                help(f)
            assert name in out.getvalue()
        print("ok")
    """)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
