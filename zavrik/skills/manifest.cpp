// Loading and checking the release manifest `manifest.json`.
//
// Loading converts exactly one host error, invalid JSON, into the module's
// exception and lets every other one through unchanged; the release check
// returns its findings as messages instead of raising them.
#include "manifest.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "directories.hpp"
#include "nativefs.hpp"
#include "pysemantics.hpp"
#include "textfile.hpp"

namespace zavrik {
namespace {

constexpr const char kLoadDoc[] = "读取 Skill 发版清单。";
constexpr const char kValidateDoc[] = "校验发版清单声明完整性，返回问题列表。";

constexpr const char kNotFound[] = "未找到 Skill 发版清单: ";
constexpr const char kInvalidJson[] = "Skill 发版清单 JSON 无效: ";
constexpr const char kRootNotObject[] = "Skill 发版清单根节点必须是对象";
constexpr const char kNoSkillsObject[] = "Skill 发版清单必须包含 skills 对象";

constexpr const char kUndeclared[] = "模板目录未在 manifest 声明: ";
constexpr const char kStale[] = "manifest 声明了不存在的模板目录: ";
constexpr const char kEntryNotObject[] = ": manifest 条目必须是对象";
constexpr const char kReasonBlank[] = ": reason 不能为空";
constexpr const char kTierBlank[] = ": tier 不能为空";
constexpr const char kNoSkillMd[] = ": 发版准入 Skill 必须包含 SKILL.md";
constexpr const char kNoVersionJson[] = ": 发版准入 Skill 必须包含 data/VERSION.json";

Ref utf8(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }

// json.loads(path.read_text(encoding="utf-8")), with JSONDecodeError turned
// into the module's exception naming the file, the decoder's error as cause:
//   try: return json.loads(read_text(path))
//   except json.JSONDecodeError as e: raise SkillReleaseManifestError(...) from e
Ref read_manifest_json(const Env& env, PyObject* path) {
  Ref decoded = [&]() -> Ref {
    Ref json = env.global(env.s.json);
    if (!json) return {};
    Ref loads = attr(json.get(), env.s.loads);
    if (!loads) return {};
    Ref text = read_text_utf8(env, path);
    if (!text) return {};
    return call(loads.get(), {text.get()});
  }();
  if (decoded) return decoded;

  Ref exc = take_exception();
  Ref json = env.global(env.s.json);
  Ref clause = json ? attr(json.get(), env.s.JSONDecodeError) : Ref();
  int matches = clause ? except_matches(exc.get(), clause.get()) : -1;
  if (matches < 0) {
    chain_context(std::move(exc));
    return {};
  }
  if (!matches) {
    reraise(std::move(exc));
    return {};
  }
  Ref cls = env.global(env.s.SkillReleaseManifestError);
  Ref message = cls ? format_concat(utf8(kInvalidJson).get(), path) : Ref();
  Ref error = message ? new_exception(cls.get(), message.get()) : Ref();
  if (!error) {
    chain_context(std::move(exc));
    return {};
  }
  raise_from(std::move(error), std::move(exc));
  return {};
}

PyObject* load_release_manifest(const Env& env, PyObject* const* args) {
  // 1-2. The root and the manifest path below it.
  Ref root = resolve_templates_root(env, args[0]);
  if (!root) return nullptr;
  Ref filename = env.global(env.s.MANIFEST_FILENAME);
  if (!filename) return nullptr;
  Ref path = Ref::steal(PyNumber_TrueDivide(root.get(), filename.get()));
  if (!path) return nullptr;

  // 3. It must exist.
  Ref there = call_method(path.get(), env.s.exists);
  if (!there) return nullptr;
  int exists = truth(there.get());
  if (exists < 0) return nullptr;
  if (!exists) return raise_manifest_error(env, kNotFound, path.get());

  // 4. Read and decode.
  Ref data = read_manifest_json(env, path.get());
  if (!data) return nullptr;

  // 5. The top level is an object ...
  if (!PyDict_Check(data.get())) return raise_manifest_error(env, utf8(kRootNotObject));

  // 6. ... with a "skills" object.
  Ref skills = mapping_get(env, data.get(), env.s.skills, Py_None);
  if (!skills) return nullptr;
  if (!PyDict_Check(skills.get()))
    return raise_manifest_error(env, utf8(kNoSkillsObject));
  return data.release();
}

// Appends format(name) + suffix, or prefix + format(name), to `problems`.
bool add_problem(PyObject* problems, const char* prefix, PyObject* name,
                 const char* suffix) {
  Ref fixed = utf8(prefix ? prefix : suffix);
  if (!fixed) return false;
  Ref message = prefix ? format_concat(fixed.get(), name)
                       : format_concat(name, fixed.get());
  return message && PyList_Append(problems, message.get()) == 0;
}

// sorted(collection)
Ref sorted_list(PyObject* collection) {
  Ref list = Ref::steal(PySequence_List(collection));
  if (!list || PyList_Sort(list.get()) < 0) return {};
  return list;
}

// `not str(value).strip()` where that is found without running Python code
// and cannot fail: 1 or 0; -1 for any other value. The text of None, of a
// bool, of a float and of an int is never blank (an int too long for its
// text is left to the general check, which raises as str() does).
int plain_blank(PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    // str() of a str is itself, and its strip() is empty exactly when every
    // character is white space.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return 0;
    return 1;
  }
  if (value == Py_None || PyBool_Check(value) || PyFloat_CheckExact(value)) return 0;
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);  // cannot fail for an int
    return overflow ? -1 : 0;
  }
  return -1;
}

// not str(value).strip()
int blank_value(const Env& env, PyObject* value) {
  if (const int plain = plain_blank(value); plain >= 0) return plain;
  Ref text = Ref::steal(PyObject_Str(value));
  if (!text) return -1;
  Ref stripped = call_method(text.get(), env.s.strip);
  if (!stripped) return -1;
  int filled = truth(stripped.get());
  return filled < 0 ? -1 : !filled;
}

// not str(entry.get(member, "")).strip()
int blank_member(const Env& env, PyObject* entry, PyObject* member) {
  Ref value = mapping_get(env, entry, member, env.s.empty);
  return value ? blank_value(env, value.get()) : -1;
}

// exists() of root / name / a [/ b]. `answer` is the native answer when
// there is one (1, 0, or -errno to raise); otherwise the Skill directory's
// path object is made once (`skill_dir`) and asked.
int skill_file_exists(const Env& env, PyObject* root, PyObject* name, Ref& skill_dir,
                      PyObject* a, PyObject* b, const char* relative, const int* answer) {
  if (answer) {
    if (*answer >= 0) return *answer;
    std::string bytes;
    if (fast::simple_component(name, &bytes))
      fast::raise_exists_error(env, root, bytes, relative, -*answer);
    else if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "not a Skill name");
    return -1;
  }
  if (!skill_dir) {
    skill_dir = Ref::steal(PyNumber_TrueDivide(root, name));
    if (!skill_dir) return -1;
  }
  Ref path = Ref::steal(PyNumber_TrueDivide(skill_dir.get(), a));
  if (path && b) path = Ref::steal(PyNumber_TrueDivide(path.get(), b));
  if (!path) return -1;
  Ref there = call_method(path.get(), env.s.exists);
  return there ? truth(there.get()) : -1;
}

// The files a release-admitted Skill ships, as exists_below takes them.
constexpr const char kSkillMdPath[] = "SKILL.md";
constexpr const char kVersionJsonPath[] = "data/VERSION.json";

// exists_below for the names of a list, where each is a simple component
// of a ready root; declined otherwise.
fast::Native exists_of_names(const Env& env, PyObject* root, PyObject* names,
                             std::vector<int>* answers) {
  const int native = fast::ready(env, root);
  if (native <= 0) return native < 0 ? fast::Native(Ref()) : std::nullopt;
  std::vector<std::string> encoded(static_cast<size_t>(PyList_GET_SIZE(names)));
  for (size_t i = 0; i < encoded.size(); ++i)
    if (!fast::simple_component(PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i)), &encoded[i]))
      return PyErr_Occurred() ? fast::Native(Ref()) : std::nullopt;
  const std::vector<std::string_view> views(encoded.begin(), encoded.end());
  return fast::exists_below(env, root, views, {kSkillMdPath, kVersionJsonPath}, answers);
}

// The entry checks of one Skill that is both present and declared.
bool check_entry(const Env& env, PyObject* problems, PyObject* root,
                 PyObject* skills, PyObject* name, const int* answers) {
  // 1-2. The entry must be an object; nothing else is examined otherwise.
  Ref entry = mapping_get(env, skills, name, Py_None);
  if (!entry) return false;
  if (!PyDict_Check(entry.get()))
    return add_problem(problems, nullptr, name, kEntryNotObject);

  // 3-4. "reason" and "tier" must not be blank.
  int blank = blank_member(env, entry.get(), env.s.reason);
  if (blank < 0 || (blank && !add_problem(problems, nullptr, name, kReasonBlank)))
    return false;
  blank = blank_member(env, entry.get(), env.s.tier);
  if (blank < 0 || (blank && !add_problem(problems, nullptr, name, kTierBlank)))
    return false;

  // 5. The Skill directory (with native answers it is never needed).
  Ref skill_dir;
  if (!answers) {
    skill_dir = Ref::steal(PyNumber_TrueDivide(root, name));
    if (!skill_dir) return false;
  }

  // 6. Release-admitted by the entry's own admission members?
  int admitted = 0;
  for (PyObject* key :
       std::initializer_list<PyObject*>{env.s.source, env.s.wheel, env.s.binary, env.s.binary_full}) {
    Ref value = mapping_get(env, entry.get(), key, Py_False);
    if (!value) return false;
    admitted = truth(value.get());
    if (admitted < 0) return false;
    if (admitted) break;
  }
  if (!admitted) return true;

  // 7-8. Such a Skill ships its SKILL.md and data/VERSION.json.
  int there = skill_file_exists(env, root, name, skill_dir, env.s.skill_md, nullptr,
                                kSkillMdPath, answers);
  if (there < 0 || (!there && !add_problem(problems, nullptr, name, kNoSkillMd)))
    return false;
  there = skill_file_exists(env, root, name, skill_dir, env.s.data, env.s.version_json,
                            kVersionJsonPath, answers ? answers + 1 : nullptr);
  if (there < 0 || (!there && !add_problem(problems, nullptr, name, kNoVersionJson)))
    return false;
  return true;
}

// ---------------------------------------------------------------------------
// The check of a listing that the module made itself.
//
// With the names of the module's own listing (distinct str, ascending) and a
// "skills" dict whose keys are all str, the three groups come from one pass
// over "skills" in its own order: each declared name is found among the
// listed ones by a table of their hashes, or is a stale entry; the listed
// names never found are the undeclared directories, already in order.
// Nothing in that runs Python code, and neither does reading an entry made
// of the decoder's own types: such an entry is read when its name is found,
// and what the checks need of it (its kind, whether "reason" and "tier" are
// blank, whether it is release-admitted) is kept as flags. Only the
// release-admitted Skills are then stat-ed, all in one loop without the GIL,
// and the messages follow in the order of the steps; an answer that is an
// error is raised where the exists() call it stands for would have raised
// it. After the stats no object of the manifest is touched again (after
// that many path walks, reading them would mean a cache miss each). From
// the first Skill, in name order, whose entry could run Python code when
// read (a dict subclass, a key that is not a str, a member of another
// type), the entries are checked one by one at their turn as check_entry
// does, and every Skill from there on is stat-ed, as its admission can only
// be known then.

// The fixed parts of the messages, made at their first use in one check.
class Texts {
 public:
  enum Which { Undeclared, Stale, NotObject, Reason, Tier, SkillMd, VersionJson, Count };
  PyObject* get(Which which) {
    static constexpr const char* kText[Count] = {kUndeclared,  kStale,      kEntryNotObject,
                                                 kReasonBlank, kTierBlank,  kNoSkillMd,
                                                 kNoVersionJson};
    if (!made_[which]) made_[which] = utf8(kText[which]);
    return made_[which].get();
  }

 private:
  Ref made_[Count];
};

// Appends left + right, two exact str, to `problems`; false when either is
// missing (a text that could not be made: its error is set) or appending
// failed.
bool add_joined(PyObject* problems, PyObject* left, PyObject* right) {
  if (!left || !right) return false;
  Ref message = Ref::steal(PyUnicode_Concat(left, right));
  return message && PyList_Append(problems, message.get()) == 0;
}

// The members of an entry that the check reads: "reason", "tier", then the
// admission members in the order they are asked.
class Members {
 public:
  static constexpr int kReason = 0, kTier = 1, kFirstAdmission = 2, kCount = 6;

  explicit Members(const Names& s)
      : wanted_{s.reason, s.tier, s.source, s.wheel, s.binary, s.binary_full} {}

  // Which member the exact str `key` names, or -1. The decoder gives every
  // entry the same key objects, so they are remembered once recognised.
  int which(PyObject* key) {
    for (int i = 0; i < kCount; ++i)
      if (key == wanted_[i] || key == seen_[i].get()) return i;
    for (int i = 0; i < kCount; ++i) {
      if (same_str(key, wanted_[i])) {
        seen_[i] = Ref::borrow(key);
        return i;
      }
    }
    return -1;
  }

 private:
  PyObject* wanted_[kCount];
  Ref seen_[kCount];
};

// What the checks of a listed Skill need: whether it is declared, and for a
// declared one what its entry says.
struct Declared {
  enum class Kind : unsigned char { Undeclared, NotObject, Plain, Other };
  Kind kind = Kind::Undeclared;
  bool blank_reason = false, blank_tier = false, admitted = false;
};

// Reads a Skill's entry (borrowed) without running Python code, or answers
// Other when reading it could run Python code.
Declared read_entry(Members& members, PyObject* entry) {
  Declared d{Declared::Kind::Other};
  if (!PyDict_Check(entry)) {
    d.kind = Declared::Kind::NotObject;
    return d;
  }
  if (!PyDict_CheckExact(entry)) return d;
  PyObject* found[Members::kCount] = {};
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(entry, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return d;
    const int i = members.which(key);
    if (i >= 0) found[i] = value;
  }
  // A missing "reason" or "tier" reads as "", which is blank.
  const int blank_reason = found[Members::kReason] ? plain_blank(found[Members::kReason]) : 1;
  const int blank_tier = found[Members::kTier] ? plain_blank(found[Members::kTier]) : 1;
  if (blank_reason < 0 || blank_tier < 0) return d;
  bool admitted = false;
  for (int i = Members::kFirstAdmission; i < Members::kCount && !admitted; ++i) {
    PyObject* member = found[i] ? found[i] : Py_False;
    if (!plain_truth(member)) return d;
    admitted = PyObject_IsTrue(member) > 0;  // cannot fail for these types
  }
  d.kind = Declared::Kind::Plain;
  d.blank_reason = blank_reason;
  d.blank_tier = blank_tier;
  d.admitted = admitted;
  return d;
}

// The checks of a Skill whose entry read_entry read.
bool check_read_entry(const Env& env, Texts& texts, PyObject* problems, PyObject* root,
                      PyObject* name, const Declared& d, const int* answers) {
  if (d.kind == Declared::Kind::NotObject)
    return add_joined(problems, name, texts.get(Texts::NotObject));
  if (d.blank_reason && !add_joined(problems, name, texts.get(Texts::Reason))) return false;
  if (d.blank_tier && !add_joined(problems, name, texts.get(Texts::Tier))) return false;
  if (!d.admitted) return true;
  Ref skill_dir;
  int there = skill_file_exists(env, root, name, skill_dir, env.s.skill_md, nullptr,
                                kSkillMdPath, answers);
  if (there < 0 || (!there && !add_joined(problems, name, texts.get(Texts::SkillMd))))
    return false;
  there = skill_file_exists(env, root, name, skill_dir, env.s.data, env.s.version_json,
                            kVersionJsonPath, answers ? answers + 1 : nullptr);
  return there >= 0 && (there || add_joined(problems, name, texts.get(Texts::VersionJson)));
}

// Steps 5-9 for the names of the module's own listing (`encoded`: their
// file-system bytes) and a "skills" dict: 1 done, 0 declined before
// anything was done (a key of "skills" is not an exact str), -1 with an
// exception set. Once the undeclared directories are reported, the list
// `names` is dropped: the few names a later message needs are made again
// from their bytes, and 2,000 str are not left to be freed after the stats,
// when they are out of every cache.
int check_listing(const Env& env, PyObject* problems, PyObject* root, PyObject* skills,
                  Ref& names, const std::vector<std::string>& encoded) {
  const Py_ssize_t count = PyList_GET_SIZE(names.get());

  // The declared names, in the order of "skills" (which is the order the
  // decoder made the entries in, so they are read from memory in order):
  // each is found among the listed names, and its entry read, or it is
  // kept as stale.
  std::vector<Declared> listed(static_cast<size_t>(count));
  std::vector<Ref> stale;
  {
    const fast::NamePlaces places(names.get());
    Members members(env.s);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* entry;
    while (PyDict_Next(skills, &pos, &key, &entry)) {
      if (!PyUnicode_CheckExact(key)) return 0;
      const Py_ssize_t place = places.find(key);
      if (place < 0)
        stale.push_back(Ref::borrow(key));
      else
        listed[static_cast<size_t>(place)] = read_entry(members, entry);
    }
  }

  // 7-8. Undeclared directories in the listing's (ascending) order, then the
  // stale entries, sorted.
  Texts texts;
  for (Py_ssize_t i = 0; i < count; ++i)
    if (listed[static_cast<size_t>(i)].kind == Declared::Kind::Undeclared &&
        !add_joined(problems, texts.get(Texts::Undeclared), PyList_GET_ITEM(names.get(), i)))
      return -1;
  names.reset();
  if (!stale.empty()) {
    Ref sorted = Ref::steal(PyList_New(static_cast<Py_ssize_t>(stale.size())));
    if (!sorted) return -1;
    for (size_t i = 0; i < stale.size(); ++i)
      PyList_SET_ITEM(sorted.get(), static_cast<Py_ssize_t>(i), stale[i].release());
    if (PyList_Sort(sorted.get()) < 0) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i)
      if (!add_joined(problems, texts.get(Texts::Stale), PyList_GET_ITEM(sorted.get(), i)))
        return -1;
  }

  // 9. The Skills whose files are looked at, stat-ed at once: the
  // release-admitted ones, and every one from the first entry that is left
  // to check_entry (what that runs may change what comes after it).
  std::vector<std::string_view> stat_names;
  std::vector<size_t> answer_at(static_cast<size_t>(count), SIZE_MAX);
  bool general = false;
  for (size_t i = 0; i < listed.size(); ++i) {
    Declared& d = listed[i];
    if (d.kind == Declared::Kind::Undeclared) continue;
    if (d.kind == Declared::Kind::Other) general = true;
    if (general) d.kind = Declared::Kind::Other;
    if (!general && !d.admitted) continue;
    answer_at[i] = stat_names.size();
    stat_names.push_back(encoded[i]);
  }
  std::vector<int> answers;
  fast::Native native;
  if (!stat_names.empty()) {
    native = fast::exists_below(env, root, stat_names, {kSkillMdPath, kVersionJsonPath},
                                &answers);
    if (native && !*native) return -1;
  }
  for (size_t i = 0; i < listed.size(); ++i) {
    const Declared& d = listed[i];
    if (d.kind == Declared::Kind::Undeclared ||
        (d.kind == Declared::Kind::Plain && !d.blank_reason && !d.blank_tier && !d.admitted))
      continue;  // nothing to report, nothing to look at
    const int* answer = native && answer_at[i] != SIZE_MAX ? answers.data() + 2 * answer_at[i]
                                                           : nullptr;
    if (d.kind == Declared::Kind::Plain && !d.blank_reason && !d.blank_tier && answer &&
        answer[0] == 1 && answer[1] == 1)
      continue;  // admitted, and both files are there: nothing to report
    Ref name = fast::name_str(encoded[i]);
    if (!name) return -1;
    const bool ok = d.kind == Declared::Kind::Other
                        ? check_entry(env, problems, root, skills, name.get(), answer)
                        : check_read_entry(env, texts, problems, root, name.get(), d, answer);
    if (!ok) return -1;
  }
  return 1;
}

PyObject* validate_release_manifest(const Env& env, PyObject* const* args) {
  // 1-3. Root, manifest, and its "skills" object.
  Ref root = resolve_templates_root(env, args[0]);
  if (!root) return nullptr;
  Ref manifest = call_load_release_manifest(env, root.get());
  if (!manifest) return nullptr;
  Ref skills = Ref::steal(PyObject_GetItem(manifest.get(), env.s.skills));
  if (!skills) return nullptr;

  // 4. The problems found.
  Ref problems = Ref::steal(PyList_New(0));
  if (!problems) return nullptr;

  // 5. Present names: the Skill directories of the tree.
  Ref present;
  std::vector<std::string> encoded;
  fast::Native listed;
  if (own_function(env, env.s.list_template_dirs, kListTemplateDirs)) {
    const int native = fast::ready(env, root.get());
    if (native < 0) return nullptr;
    if (native) listed = fast::template_dir_names(env, root.get(), &encoded);
  }
  if (fast::Native& names = listed) {
    if (!*names) return nullptr;
    if (PyDict_CheckExact(skills.get())) {
      const int done =
          check_listing(env, problems.get(), root.get(), skills.get(), *names, encoded);
      if (done < 0) return nullptr;
      if (done) return problems.release();
    }
    present = Ref::steal(PySet_New(names->get()));
    if (!present) return nullptr;
  } else {
    Ref dirs = call_list_template_dirs(env, root.get());
    if (!dirs) return nullptr;
    present = Ref::steal(PySet_New(nullptr));
    if (!present) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(dirs.get()));
    if (!it) return nullptr;
    while (Ref dir = Ref::steal(PyIter_Next(it.get()))) {
      Ref name = attr(dir.get(), env.s.name);
      if (!name || PySet_Add(present.get(), name.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
  }

  // 6. Declared names: the members of "skills".
  Ref declared = Ref::steal(PySet_New(skills.get()));
  if (!declared) return nullptr;

  // 7-9. Undeclared directories, stale entries, then the entries of the
  // Skills that are both, each group in ascending order.
  for (int group = 0; group < 3; ++group) {
    // Each set operation runs only once the one before it succeeded.
    Ref names = Ref::steal(
        group == 0   ? PyNumber_Subtract(present.get(), declared.get())
        : group == 1 ? PyNumber_Subtract(declared.get(), present.get())
                     : PyNumber_And(present.get(), declared.get()));
    if (!names) return nullptr;
    names = sorted_list(names.get());
    if (!names) return nullptr;
    const char* prefix = group == 0 ? kUndeclared : group == 1 ? kStale : nullptr;
    // For an eligible root, the files of every Skill that is both are
    // looked up at once, natively; only the admitted ones' answers are read.
    std::vector<int> answers;
    fast::Native native;
    if (!prefix) {
      native = exists_of_names(env, root.get(), names.get(), &answers);
      if (native && !*native) return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      PyObject* name = PyList_GET_ITEM(names.get(), i);
      const int* answer = native ? answers.data() + 2 * i : nullptr;
      const bool ok = prefix ? add_problem(problems.get(), prefix, name, nullptr)
                             : check_entry(env, problems.get(), root.get(), skills.get(),
                                           name, answer);
      if (!ok) return nullptr;
    }
  }

  // 10.
  return problems.release();
}

constexpr ParamDef kRootParam[] = {
    {.name = "templates_dir", .annotation = "Path | None"},
};

}  // namespace

PyObject* raise_manifest_error(const Env& env, Ref message) {
  if (!message) return nullptr;
  Ref cls = env.global(env.s.SkillReleaseManifestError);
  return cls ? raise_new(cls.get(), message.get()) : nullptr;
}

PyObject* raise_manifest_error(const Env& env, const char* prefix, PyObject* value) {
  // The class is looked up before the message is formatted, as
  // `raise Cls(f"...{value}")` evaluates them.
  Ref cls = env.global(env.s.SkillReleaseManifestError);
  if (!cls) return nullptr;
  Ref message = format_concat(utf8(prefix).get(), value);
  return message ? raise_new(cls.get(), message.get()) : nullptr;
}

Ref call_load_release_manifest(const Env& env, PyObject* root) {
  return env.call_global(env.s.load_release_manifest, {root});
}

const FunctionDef kLoadReleaseManifest = {
    .name = "load_release_manifest",
    .doc = kLoadDoc,
    .return_annotation = "dict[str, Any]",
    .params = kRootParam,
    .result = ResultCheck::DictOrNone,
    .body = load_release_manifest,
};

const FunctionDef kValidateReleaseManifest = {
    .name = "validate_release_manifest",
    .doc = kValidateDoc,
    .return_annotation = "list[str]",
    .params = kRootParam,
    .body = validate_release_manifest,
};

}  // namespace zavrik
