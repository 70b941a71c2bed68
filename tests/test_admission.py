"""Profiles, profile keys, and the admission of Skills to a build."""

import json

import pytest

import zavrik.skills.packaging as pk

UNKNOWN = "未知 Skill 构建 profile: "


def manifest_error(call):
    with pytest.raises(pk.SkillReleaseManifestError) as info:
        call()
    return str(info.value)


# --- current_profile ---------------------------------------------------------

@pytest.mark.parametrize("env, args, expected", [
    (None, (), "dev"),
    (None, ("binary-full",), "binary-full"),
    ("  binary-full \n", (), "binary-full"),
    ("\t\n ", ("fallback",), "fallback"),
    ("", (), "dev"),
    ("nightly", (), "nightly"),
    ("DEV", (), "DEV"),
    (None, ("",), ""),
    (None, ("  padded ",), "  padded "),
])
def test_current_profile(monkeypatch, env, args, expected):
    if env is not None:
        monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", env)
    assert pk.current_profile(*args) == expected


# --- _profile_key ------------------------------------------------------------

@pytest.mark.parametrize("profile, artifact, key", [
    ("python-release", "sdist", "source"),
    ("python-release", "wheel", "wheel"),
    ("binary-minimal", "binary", "binary"),
    ("binary-full", "binary", "binary_full"),
    ("dev", "anything", None),
    ("internal", "", None),
])
def test_profile_key(profile, artifact, key):
    assert pk._profile_key(profile, artifact) == key


@pytest.mark.parametrize("profile, artifact, message", [
    ("python-release", "binary", "profile 'python-release' 不支持产物类型 'binary'"),
    ("binary-minimal", "wheel", "profile 'binary-minimal' 不支持产物类型 'wheel'"),
    ("binary-full", "it's", "profile 'binary-full' 不支持产物类型 \"it's\""),
    ("release", "wheel", UNKNOWN + "release"),
    ("", "wheel", UNKNOWN),
    ("DEV", "wheel", UNKNOWN + "DEV"),
    (" dev", "x", UNKNOWN + " dev"),
    ("binary_full", "binary", UNKNOWN + "binary_full"),
])
def test_profile_key_errors(profile, artifact, message):
    assert manifest_error(lambda: pk._profile_key(profile, artifact)) == message


def test_profile_with_empty_artifact_table_is_unknown(monkeypatch):
    monkeypatch.setattr(pk, "_PROFILE_KEYS", {"p": {}})
    assert manifest_error(lambda: pk._profile_key("p", "a")) == UNKNOWN + "p"


class CountingKey(str):
    """A table key whose comparisons run Python code: nothing may skip them."""

    compared = 0

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        CountingKey.compared += 1
        return str(self) == other


def _alter_keys(*path_and_value):
    def alter(monkeypatch):
        *path, last, value = path_and_value
        table = pk._PROFILE_KEYS
        for name in path:
            table = table[name]
        monkeypatch.setitem(table, last, value)
    return alter


# skill_allowed may remember what it read to find a profile's key between
# calls; every change to what it read must show at the next call.
@pytest.mark.parametrize("change, expected, compares", [
    (_alter_keys("binary-full", "binary", "source"), False, 0),
    (_alter_keys("binary-full", {"binary": "source"}), False, 0),
    (lambda mp: mp.setattr(pk, "_PROFILE_KEYS", {"binary-full": {"binary": "source"}}), False, 0),
    (lambda mp: mp.setattr(pk, "_profile_key", lambda profile, artifact: "source"), False, 0),
    (lambda mp: mp.setattr(pk, "unrelated_name", 1, raising=False), True, 0),
    (lambda mp: mp.setattr(pk, "_PROFILE_KEYS", {CountingKey("binary-full"): {"binary": "binary_full"}}), True, 2),
])
def test_skill_allowed_sees_changes_to_what_it_read(monkeypatch, change, expected, compares):
    manifest = {"skills": {"s": {"binary_full": True, "source": False}}}
    ask = lambda: pk.skill_allowed("s", profile="binary-full", artifact="binary", manifest=manifest)
    assert ask() and ask()
    change(monkeypatch)
    before = CountingKey.compared
    assert [ask(), ask()] == [expected, expected]
    assert CountingKey.compared - before == compares  # once per call, never skipped


# --- skill_allowed -------------------------------------------------------------

EXAMPLE = {
    "default": {"source": True, "wheel": True, "binary": False, "binary_full": True},
    "skills": {"a": {"binary": True}, "b": {"wheel": False}},
}


@pytest.mark.parametrize("profile, artifact, admitted", [
    ("python-release", "sdist", "abc"),
    ("python-release", "wheel", "ac"),
    ("binary-minimal", "binary", "a"),
    ("binary-full", "binary", "abc"),
    ("dev", "whatever", "abc"),
    ("internal", "", "abc"),
])
def test_worked_example(tmp_path, profile, artifact, admitted):
    for skill in "abc":
        allowed = pk.skill_allowed(skill, profile=profile, artifact=artifact, manifest=EXAMPLE)
        assert allowed is (skill in admitted)
        (tmp_path / skill).mkdir(exist_ok=True)
    (tmp_path / "manifest.json").write_text(json.dumps(EXAMPLE))
    assert pk.selected_skill_names(profile=profile, artifact=artifact,
                                   templates_dir=tmp_path) == list(admitted)


@pytest.mark.parametrize("manifest, expected", [
    ({"skills": {"s": {"wheel": False}}, "default": {"wheel": True}}, False),
    ({"skills": {"s": {}}, "default": {"wheel": True}}, True),
    ({"skills": {"s": {}}}, False),
    ({"skills": {"s": {"wheel": None}}, "default": {"wheel": True}}, False),
    ({"skills": {}, "default": {"wheel": 1}}, True),
    ({"skills": {"s": "text"}, "default": {"wheel": True}}, True),
    ({"skills": {"s": [1]}, "default": {"wheel": True}}, True),
    ({"skills": {"s": True}}, False),
    ({"skills": {"s": {"wheel": "no"}}}, True),
    ({"skills": {"s": {"wheel": 0}}}, False),
    ({"skills": {"s": {"wheel": [0]}}}, True),
    ({"default": {"wheel": True}}, True),
])
def test_entry_decides_then_default(manifest, expected):
    assert pk.skill_allowed("s", profile="python-release", artifact="wheel",
                            manifest=manifest) is expected


@pytest.mark.parametrize("manifest", [
    {"skills": {"s": {"wheel": True}}, "default": None},
    {"skills": {"s": {"wheel": True}}, "default": ["wheel"]},
    {"skills": ["s"]},
])
def test_member_that_is_not_an_object_fails_with_attribute_error(manifest):
    with pytest.raises(AttributeError):
        pk.skill_allowed("s", profile="python-release", artifact="wheel", manifest=manifest)


def test_unrestricted_profiles_read_nothing(tmp_path, monkeypatch):
    monkeypatch.setattr(pk, "load_release_manifest", None)  # would fail if called
    for profile in ("dev", "internal"):
        assert pk.skill_allowed("?", profile=profile, artifact="x", templates_dir=tmp_path) is True


@pytest.mark.parametrize("manifest", [None, {}])
def test_missing_or_empty_manifest_loads_the_file(tmp_path, builtin_root, manifest):
    (tmp_path / "manifest.json").write_text('{"skills": {"s": {"source": true}}}')
    assert pk.skill_allowed("s", profile="python-release", artifact="sdist",
                            manifest=manifest, templates_dir=tmp_path) is True
    message = manifest_error(lambda: pk.skill_allowed(
        "s", profile="python-release", artifact="sdist", manifest=manifest))
    assert message == "未找到 Skill 发版清单: " + str(builtin_root / "manifest.json")


def test_manifest_is_loaded_before_the_profile_is_checked(tmp_path):
    message = manifest_error(lambda: pk.skill_allowed(
        "s", profile="nope", artifact="wheel", templates_dir=tmp_path))
    assert message.startswith("未找到 Skill 发版清单: ")
    assert manifest_error(lambda: pk.skill_allowed(
        "s", profile="binary-full", artifact="wheel", manifest={"skills": {}})
    ) == "profile 'binary-full' 不支持产物类型 'wheel'"


# --- selected_skill_names ----------------------------------------------------------

@pytest.fixture
def root(tmp_path, mktree):
    return mktree(tmp_path / "root", {
        "b/": None, "a/": None, "c/": None, "notes.txt": "",
        "manifest.json": {"skills": {"a": {"binary": True}, "b": {"wheel": True},
                                     "ghost": {"binary": True}}},
    })


def test_dev_selects_every_directory_without_a_manifest(root, path_cls):
    (root / "manifest.json").unlink()
    assert pk.selected_skill_names(profile="dev", artifact="x", templates_dir=path_cls(root)) == ["a", "b", "c"]


@pytest.mark.parametrize("env, profile, expected", [
    (None, None, ["a", "b", "c"]),
    (None, "", ["a", "b", "c"]),
    ("binary-minimal", None, ["a"]),
    ("binary-minimal", "", ["a"]),
    ("binary-minimal", "internal", ["a", "b", "c"]),
])
def test_profile_falls_back_to_the_environment(monkeypatch, root, env, profile, expected):
    if env:
        monkeypatch.setenv("ZAVRIK_SKILL_PROFILE", env)
    assert pk.selected_skill_names(profile=profile, artifact="binary", templates_dir=root) == expected


@pytest.mark.parametrize("profile, artifact", [("nope", "binary"), ("binary-full", "wheel")])
def test_profile_is_validated_only_at_the_first_candidate(tmp_path, profile, artifact):
    (tmp_path / "manifest.json").write_text('{"skills": {"a": {}}}')
    assert pk.selected_skill_names(profile=profile, artifact=artifact, templates_dir=tmp_path) == []
    (tmp_path / "a").mkdir()
    with pytest.raises(pk.SkillReleaseManifestError):
        pk.selected_skill_names(profile=profile, artifact=artifact, templates_dir=tmp_path)


def test_restricted_profile_needs_the_manifest(tmp_path, builtin_root):
    for templates_dir in (tmp_path / "missing", None):
        message = manifest_error(lambda: pk.selected_skill_names(
            profile="binary-full", artifact="binary", templates_dir=templates_dir))
        assert message.startswith("未找到 Skill 发版清单: ")


def test_manifest_is_loaded_once_and_handed_to_every_decision(monkeypatch, root):
    loads, decisions = [], []
    original_load, original_allowed = pk.load_release_manifest, pk.skill_allowed

    def load(*args):
        loads.append(args)
        return original_load(*args)

    def allowed(name, **kw):
        decisions.append((name, sorted(kw)))
        assert kw["manifest"]["skills"]["a"] == {"binary": True}
        return original_allowed(name, **kw)

    monkeypatch.setattr(pk, "load_release_manifest", load)
    monkeypatch.setattr(pk, "skill_allowed", allowed)
    assert pk.selected_skill_names(profile="binary-minimal", artifact="binary", templates_dir=root) == ["a"]
    assert loads == [(root,)]
    assert decisions == [(n, ["artifact", "manifest", "profile", "templates_dir"]) for n in "abc"]


def test_default_root_is_the_builtin_root(builtin_root, mktree):
    mktree(builtin_root, {"z/": None, "y/": None})
    assert pk.selected_skill_names(artifact="x") == ["y", "z"]


class Meddler:
    """A member name that shares the hash of `like`: a search for `like`
    compares it first, and once armed with `act`, that comparison runs it."""

    def __init__(self, like):
        self.like, self.act = like, None

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        act, self.act = self.act, None
        if act:
            act()
        return False


# Code run while one Skill is decided changes what the next decision reads:
# every Skill after it must be decided afresh, as a call of skill_allowed
# per Skill would.
@pytest.mark.parametrize("meddle", [
    lambda manifest: manifest.__setitem__("skills", {"b": {"binary": False}, "c": {"binary": False}}),
    lambda manifest: setattr(pk, "_PROFILE_KEYS", {"binary-minimal": {"binary": "wheel"}}),
    lambda manifest: setattr(pk, "skill_allowed", lambda name, **kw: False),
])
def test_selection_decides_afresh_after_code_ran_in_a_decision(monkeypatch, tmp_path, meddle):
    monkeypatch.setattr(pk, "_PROFILE_KEYS", dict(pk._PROFILE_KEYS))
    monkeypatch.setattr(pk, "skill_allowed", pk.skill_allowed)
    for skill in "abc":
        (tmp_path / skill).mkdir()
    manifest = {"skills": {"b": {"binary": True, "wheel": False}, "c": {"binary": True, "wheel": False}}}
    meddler = Meddler("binary")
    manifest["skills"]["a"] = {meddler: 0, "binary": True}
    meddler.act = lambda: meddle(manifest)
    monkeypatch.setattr(pk, "load_release_manifest", lambda root: manifest)
    assert pk.selected_skill_names(profile="binary-minimal", artifact="binary", templates_dir=tmp_path) == ["a"]
