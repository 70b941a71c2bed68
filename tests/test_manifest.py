"""Loading manifest.json and checking it against the templates tree."""

import collections
import json
import pathlib

import pytest

import zavrik.skills.packaging as pk

NOT_FOUND = "未找到 Skill 发版清单: "
INVALID = "Skill 发版清单 JSON 无效: "
NOT_OBJECT = "Skill 发版清单根节点必须是对象"
NO_SKILLS = "Skill 发版清单必须包含 skills 对象"


def load_error(root):
    with pytest.raises(pk.SkillReleaseManifestError) as info:
        pk.load_release_manifest(root)
    error = info.value
    assert isinstance(error, ValueError) and error.args == (str(error),)
    return error


# --- loading ---------------------------------------------------------------

@pytest.mark.parametrize("exists", [True, False])
def test_missing_manifest_names_the_path(tmp_path, path_cls, exists):
    root = path_cls(tmp_path if exists else tmp_path / "nowhere")
    error = load_error(root)
    assert str(error) == NOT_FOUND + str(root / "manifest.json")
    assert error.__cause__ is None


def test_missing_manifest_path_stays_relative(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert str(load_error(pathlib.Path("rel"))) == NOT_FOUND + "rel/manifest.json"


@pytest.mark.parametrize("raw", [b"", b" \n\t", b'\xef\xbb\xbf{"skills": {}}',
                                 b'{"skills": {},}', b"{skills: {}}",
                                 b'{"skills":\r\n {},\r\n}', b'{"skills":\r {"a\rb": 1}}'])
def test_invalid_json_is_converted_with_the_decoder_error_as_cause(tmp_path, path_cls, raw):
    (tmp_path / "manifest.json").write_bytes(raw)
    error = load_error(path_cls(tmp_path))
    assert str(error) == INVALID + str(tmp_path / "manifest.json")
    assert isinstance(error.__cause__, json.JSONDecodeError)
    assert error.__suppress_context__ and error.__context__ is error.__cause__
    # The decoder saw the text read_text gives (newlines translated), so
    # its line and column are the same.
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads((tmp_path / "manifest.json").read_text(encoding="utf-8"))
    assert str(error.__cause__) == str(expected.value)


@pytest.mark.parametrize("raw", [
    b'{"skills":\r\n {"a": "x"},\r\n "n": 1}\r\n',    # CRLF
    b'\r{"skills":\r {"a": 1}}\r',                     # lone CR
    b'{"skills": {}, "t": "\\r\\n\xc3\xa9"}\n\r\n\r',     # escapes stay escapes
    b'{"skills": {"\xff": 1}}\r\n',                    # not UTF-8
    b'{"skills": {"\xed\xa0\x80": 1}}',                # an encoded surrogate
    b'{"skills": {}}\r\n\xe4\xb8',                     # truncated at the end
])
def test_text_is_decoded_as_read_text_decodes_it(tmp_path, path_cls, raw):
    (tmp_path / "manifest.json").write_bytes(raw)
    try:
        expected = json.loads((tmp_path / "manifest.json").read_text(encoding="utf-8"))
    except UnicodeDecodeError as e:
        with pytest.raises(UnicodeDecodeError) as info:
            pk.load_release_manifest(path_cls(tmp_path))
        got = info.value
        assert (got.encoding, got.object, got.start, got.end, got.reason, str(got)) == (
            e.encoding, e.object, e.start, e.end, e.reason, str(e))
    else:
        assert pk.load_release_manifest(path_cls(tmp_path)) == expected


@pytest.mark.parametrize("raw, message", [
    ("[]", NOT_OBJECT), ('"text"', NOT_OBJECT), ("1", NOT_OBJECT),
    ("true", NOT_OBJECT), ("false", NOT_OBJECT), ("null", NOT_OBJECT),
    ("{}", NO_SKILLS), ('{"skills": null}', NO_SKILLS),
    ('{"skills": []}', NO_SKILLS), ('{"skills": "a"}', NO_SKILLS),
    ('{"default": {}, "Skills": {}}', NO_SKILLS),
])
def test_malformed_root(tmp_path, raw, message):
    (tmp_path / "manifest.json").write_text(raw)
    error = load_error(tmp_path)
    assert str(error) == message and error.__cause__ is None


@pytest.mark.parametrize("data", [
    {"skills": {}},
    {"skills": {"a": 1, "b": {}, "c": None}, "default": None},
    {"skills": {"a": {"reason": "r"}}, "default": [1], "extra": {"k": "v"}, "n": 3},
])
def test_manifest_is_returned_exactly_as_decoded(tmp_path, data):
    (tmp_path / "manifest.json").write_text(json.dumps(data))
    assert pk.load_release_manifest(tmp_path) == data


def test_duplicate_member_last_wins_and_each_call_is_fresh(tmp_path):
    path = tmp_path / "manifest.json"
    path.write_text('{"skills": {"a": 1}, "skills": {"b": 2}}')
    first = pk.load_release_manifest(tmp_path)
    assert first == {"skills": {"b": 2}}
    first["skills"]["c"] = 3
    second = pk.load_release_manifest(tmp_path)
    assert second == {"skills": {"b": 2}} and second is not first
    path.write_text('{"skills": {}}')
    assert pk.load_release_manifest(tmp_path) == {"skills": {}}


@pytest.mark.parametrize("falsy", [(), (None,), ("",)])
def test_default_root_is_the_builtin_root(builtin_root, falsy):
    builtin_root.mkdir()
    (builtin_root / "manifest.json").write_text('{"skills": {"x": 1}}')
    assert pk.load_release_manifest(*falsy) == {"skills": {"x": 1}}


def test_host_errors_pass_through_unchanged(tmp_path, path_cls):
    (tmp_path / "manifest.json").mkdir()
    with pytest.raises(IsADirectoryError):
        pk.load_release_manifest(path_cls(tmp_path))
    (tmp_path / "manifest.json").rmdir()
    (tmp_path / "manifest.json").write_bytes(b'{"skills": {"\xff": 1}}')
    with pytest.raises(UnicodeDecodeError):
        pk.load_release_manifest(path_cls(tmp_path))


# --- validation --------------------------------------------------------------

OK = {"reason": "r", "tier": "t"}


def validate(mktree, tmp_path, skills, layout=(), **manifest):
    root = mktree(tmp_path / "root", {"manifest.json": {"skills": skills, **manifest},
                                      **{k: None if k.endswith("/") else "" for k in layout}})
    return pk.validate_release_manifest(root)


def test_undeclared_directory_then_stale_entry(mktree, tmp_path):
    layout = {"a/": None, "b/SKILL.md": "", "b/data/VERSION.json": "{}"}
    root = mktree(tmp_path, {**layout, "manifest.json": {
        "skills": {"b": {**OK, "wheel": True}, "c": {}}}})
    assert pk.validate_release_manifest(root) == [
        "模板目录未在 manifest 声明: a", "manifest 声明了不存在的模板目录: c"]


def test_agreeing_tree_and_manifest(mktree, tmp_path):
    assert validate(mktree, tmp_path, {}) == []
    assert validate(mktree, tmp_path, {"s": OK}, ["s/"]) == []


@pytest.mark.parametrize("entry", ["text", 3, [1], None, True])
def test_entry_that_is_not_an_object_reports_only_that(mktree, tmp_path, entry):
    assert validate(mktree, tmp_path, {"a": entry}, ["a/"]) == ["a: manifest 条目必须是对象"]


@pytest.mark.parametrize("entry, problems", [
    ({}, ["reason", "tier"]),
    ({"reason": None, "tier": False}, []),
    ({"reason": 0, "tier": " \t\n"}, ["tier"]),
    ({"reason": "  ", "tier": "t"}, ["reason"]),
    ({**OK, "binary": True}, ["SKILL.md", "VERSION.json"]),
    ({"binary_full": 1}, ["reason", "tier", "SKILL.md", "VERSION.json"]),
    ({**OK, "wheel": "no"}, ["SKILL.md", "VERSION.json"]),
    ({**OK, "source": False, "wheel": 0, "binary": None, "binary_full": ""}, []),
    ({**OK, "source": [], "wheel": {}}, []),
    ({"reason": ["r"], "tier": [], "binary": True}, ["SKILL.md", "VERSION.json"]),
])
def test_entry_checks_in_order(mktree, tmp_path, entry, problems):
    messages = {
        "reason": "a: reason 不能为空", "tier": "a: tier 不能为空",
        "SKILL.md": "a: 发版准入 Skill 必须包含 SKILL.md",
        "VERSION.json": "a: 发版准入 Skill 必须包含 data/VERSION.json",
    }
    assert validate(mktree, tmp_path, {"a": entry}, ["a/"]) == [messages[p] for p in problems]


@pytest.mark.parametrize("layout, problems", [
    (["a/SKILL.md/", "a/data/VERSION.json/"], []),
    (["a/SKILL.md", "a/data/"], ["a: 发版准入 Skill 必须包含 data/VERSION.json"]),
    (["a/data/VERSION.json", "a/skill.md"], ["a: 发版准入 Skill 必须包含 SKILL.md"]),
])
def test_file_checks_test_existence_only(mktree, tmp_path, layout, problems):
    assert validate(mktree, tmp_path, {"a": {**OK, "source": True}}, layout) == problems


def test_default_object_does_not_make_a_skill_release_admitted(mktree, tmp_path):
    default = dict.fromkeys(["source", "wheel", "binary", "binary_full"], True)
    assert validate(mktree, tmp_path, {"a": OK}, ["a/"], default=default) == []


class Named:
    def __init__(self, name):
        self.name = name


class DeletesAtStr:
    """A value whose str() deletes a file."""

    def __init__(self, path):
        self.path = path

    def __str__(self):
        if self.path.exists():
            self.path.unlink()
        return "why"


UNDECLARED_X = "模板目录未在 manifest 声明: x"
A_LACKS_VERSION = "a: 发版准入 Skill 必须包含 data/VERSION.json"


@pytest.mark.parametrize("skills, listing, problems", [
    # "skills" not an exact dict: Python's set operations decide the groups
    (collections.OrderedDict(a={**OK, "wheel": True}, b=OK, gone=OK), None,
     [UNDECLARED_X, "manifest 声明了不存在的模板目录: gone", A_LACKS_VERSION]),
    # a declared name that is not a str
    ({1: OK, "a": {**OK, "binary": 1}, "b": []}, None,
     [UNDECLARED_X, "manifest 声明了不存在的模板目录: 1", A_LACKS_VERSION,
      "b: manifest 条目必须是对象"]),
    # a listed name that is no single path component, beside one that is
    ({"a": {**OK, "wheel": True}, "x/y": {**OK, "wheel": True}},
     lambda root=None: [root / "a", Named("x/y")], [A_LACKS_VERSION]),
    # a reason whose str() deletes a/SKILL.md: the files are checked as they
    # are once it ran
    (lambda root: {"a": {**OK, "reason": DeletesAtStr(root / "a" / "SKILL.md"), "wheel": True},
                   "b": OK, "x": OK},
     None, ["a: 发版准入 Skill 必须包含 SKILL.md", A_LACKS_VERSION]),
], ids=["dict-subclass", "key-not-str", "name-not-a-component", "reason-deletes-a-file"])
def test_replaced_loader_or_listing_checks_the_same(mktree, tmp_path, monkeypatch, path_cls,
                                                    skills, listing, problems):
    root = mktree(tmp_path, {"a/SKILL.md": "", "b/": None, "x/y/SKILL.md": "",
                             "x/y/data/VERSION.json": ""})
    if callable(skills):
        skills = skills(root)
    monkeypatch.setattr(pk, "load_release_manifest", lambda root=None: {"skills": skills})
    if listing:
        monkeypatch.setattr(pk, "list_template_dirs", listing)
    assert pk.validate_release_manifest(path_cls(root)) == problems


def test_names_are_compared_exactly(mktree, tmp_path):
    assert validate(mktree, tmp_path, {"foo": OK}, ["Foo/"]) == [
        "模板目录未在 manifest 声明: Foo", "manifest 声明了不存在的模板目录: foo"]


def test_groups_are_sorted_by_code_point_and_follow_each_other(mktree, tmp_path):
    skills = {"z": 1, "Y": None, "n": {"binary": True}, "m": [], "M": OK}
    layout = ["b/", "Q/", "_a/", ".hidden/", "n/", "m/", "M/", "stray.txt"]
    assert validate(mktree, tmp_path, skills, layout) == [
        "模板目录未在 manifest 声明: .hidden",
        "模板目录未在 manifest 声明: Q",
        "模板目录未在 manifest 声明: _a",
        "模板目录未在 manifest 声明: b",
        "manifest 声明了不存在的模板目录: Y",
        "manifest 声明了不存在的模板目录: z",
        "m: manifest 条目必须是对象",
        "n: reason 不能为空",
        "n: tier 不能为空",
        "n: 发版准入 Skill 必须包含 SKILL.md",
        "n: 发版准入 Skill 必须包含 data/VERSION.json",
    ]


def test_manifest_errors_pass_through(tmp_path, builtin_root):
    (tmp_path / "a").mkdir()
    with pytest.raises(pk.SkillReleaseManifestError, match="^" + NOT_FOUND):
        pk.validate_release_manifest(tmp_path)
    with pytest.raises(pk.SkillReleaseManifestError) as info:
        pk.validate_release_manifest()
    assert str(info.value) == NOT_FOUND + str(builtin_root / "manifest.json")


def test_validation_uses_one_root_for_every_step(mktree, tmp_path, monkeypatch):
    root = mktree(tmp_path, {"manifest.json": {"skills": {"s": OK}}, "s/": None})
    calls = []
    monkeypatch.setattr(pk, "get_builtin_templates_dir", lambda: calls.append(1) or root)
    assert pk.validate_release_manifest() == [] and calls == [1]
