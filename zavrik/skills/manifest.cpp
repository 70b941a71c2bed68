// Loading and checking the release manifest `manifest.json`.
//
// Loading converts exactly one host error, invalid JSON, into the module's
// exception and lets every other one through unchanged; the release check
// returns its findings as messages instead of raising them.
#include "manifest.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
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

// ---------------------------------------------------------------------------
// The release check.
//
// One check, step by step, for every kind of input; a step that can run
// without Python code does, and gives the same result:
// - 5: the module's own listing of a ready root is made natively: distinct
//   str in ascending order, with their file-system bytes, and no path
//   object per directory.
// - 6-8: for such a listing and an exact dict "skills" keyed by exact str,
//   one pass over "skills" in its own order (the decoder's, so the entries
//   are read from memory in order) finds each declared name among the
//   listed ones by a table of their hashes, or keeps it as stale; the names
//   never found are the undeclared ones, in order. Each found entry is read
//   ahead where that runs no Python code. Anything else takes Python's set
//   operations, whose comparisons may run a caller's code.
// - 9: the files that will be asked about (of the Skills admitted by an
//   entry read ahead, and of every Skill read at its turn, whose admission
//   is known only then) are stat-ed in one loop without the GIL, relative
//   to a ready root opened once; an answer that is an error is raised where
//   the exists() it stands for would raise it, and a name that is no single
//   component is asked exists() at its turn. From the first Skill whose
//   entry is read at its turn, every later one is too: what reading it runs
//   may change what follows. A Skill read ahead with nothing to report makes
//   no object, and after the stats no object of the manifest is touched
//   (after that many path walks, each would miss the cache).

constexpr const char kUndeclared[] = "模板目录未在 manifest 声明: ";
constexpr const char kStale[] = "manifest 声明了不存在的模板目录: ";
constexpr const char kEntryNotObject[] = ": manifest 条目必须是对象";
constexpr const char kReasonBlank[] = ": reason 不能为空";
constexpr const char kTierBlank[] = ": tier 不能为空";
constexpr const char kMustShip[] = ": 发版准入 Skill 必须包含 ";  // + the file

// The files a release-admitted Skill ships, relative to its directory,
// spelled with a forward slash as their messages spell them on every
// platform.
constexpr const char* kShipped[] = {"SKILL.md", "data/VERSION.json"};
constexpr size_t kShippedCount = std::size(kShipped);

// The members of an entry that the check reads, in the order it reads
// them: "reason" and "tier" (steps 3-4), then the admission members (step 6).
constexpr Interned Names::*kMembers[] = {&Names::reason, &Names::tier,   &Names::source,
                                         &Names::wheel,  &Names::binary, &Names::binary_full};
constexpr int kReason = 0, kTier = 1, kFirstAdmission = 2;
constexpr int kMemberCount = static_cast<int>(std::size(kMembers));

// The messages, each a fixed text before the name (the first two) or after
// it; the blank ones in the order of kMembers, then one per shipped file.
enum Message : size_t { Undeclared, Stale, NotObject, Blank, Unshipped = Blank + 2 };
constexpr size_t kMessageCount = Unshipped + kShippedCount;

// sorted(collection)
Ref sorted_list(PyObject* collection) {
  Ref list = Ref::steal(PySequence_List(collection));
  if (!list || PyList_Sort(list.get()) < 0) return {};
  return list;
}

// `not str(value).strip()` where that is found without running Python code
// and cannot fail: 1 or 0; -1 for any other value. The text of None, of a
// bool, of a float and of an int is never blank (an int too long for its
// text is left to blank_value, which raises as str() does).
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

// What steps 2-4 and 6 find in an entry, read ahead, or that it is left to
// be read at its turn.
struct Reading {
  enum class Kind : unsigned char { AtTurn, NotObject, Object };
  Kind kind = Kind::AtTurn;
  bool blank[2] = {};  // "reason", "tier"
  bool admitted = false;
};

// Recognises the members of kMembers among the keys of entries. The
// decoder gives every entry the same key objects, so they are remembered
// once recognised.
class Members {
 public:
  explicit Members(const Names& s) {
    for (int i = 0; i < kMemberCount; ++i) wanted_[i] = s.*kMembers[i];
  }

  // Which member the exact str `key` names, or -1.
  int which(PyObject* key) {
    for (int i = 0; i < kMemberCount; ++i)
      if (key == wanted_[i] || key == seen_[i].get()) return i;
    for (int i = 0; i < kMemberCount; ++i) {
      if (same_str(key, wanted_[i])) {
        seen_[i] = Ref::borrow(key);
        return i;
      }
    }
    return -1;
  }

 private:
  PyObject* wanted_[kMemberCount];
  Ref seen_[kMemberCount];
};

// Reads a Skill's entry (borrowed) ahead of its turn where that runs no
// Python code: an object that is no dict, or an exact dict keyed by exact
// str whose members are of the decoder's own plain types. AtTurn otherwise.
Reading read_ahead(Members& members, PyObject* entry) {
  Reading read;
  if (!PyDict_Check(entry)) {
    read.kind = Reading::Kind::NotObject;
    return read;
  }
  if (!PyDict_CheckExact(entry)) return {};
  PyObject* found[kMemberCount] = {};
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(entry, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return {};
    const int i = members.which(key);
    if (i >= 0) found[i] = value;
  }
  for (int m : {kReason, kTier}) {
    // A missing member reads as "", which is blank.
    const int blank = found[m] ? plain_blank(found[m]) : 1;
    if (blank < 0) return {};
    read.blank[m] = blank;
  }
  for (int i = kFirstAdmission; i < kMemberCount && !read.admitted; ++i) {
    PyObject* member = found[i] ? found[i] : Py_False;
    if (!plain_truth(member)) return {};
    read.admitted = PyObject_IsTrue(member) > 0;  // cannot fail for these types
  }
  read.kind = Reading::Kind::Object;
  return read;
}

// Step 6 at its turn: the truth of entry.get(member, False) for each
// admission member, up to the first that is true.
int admitted_at_turn(const Env& env, PyObject* entry) {
  for (int i = kFirstAdmission; i < kMemberCount; ++i) {
    Ref value = mapping_get(env, entry, env.s.*kMembers[i], Py_False);
    if (!value) return -1;
    if (const int admitted = truth(value.get())) return admitted;
  }
  return 0;
}

// A Skill both present and declared, as step 9 checks it.
struct Skill {
  Ref name;                 // a listed name is made from its bytes when needed
  Py_ssize_t bytes = -1;    // its file-system bytes in Check::bytes, if known
  Reading read;
  Py_ssize_t answers = -1;  // its first answer of the stats; -1: exists() at its turn
};

// The state of one check: what every step reads, and the problems found.
class Check {
 public:
  Check(const Env& env, PyObject* root, PyObject* skills, PyObject* problems)
      : env(env), root(root), skills(skills), problems_(problems) {}

  const Env& env;
  PyObject* const root;
  PyObject* const skills;
  // Step 5's present names: natively (`native`), a list of distinct exact
  // str in ascending order; otherwise the set of the listed paths' `name`.
  Ref present;
  bool native = false;
  // The file-system bytes of a native listing's names, each in its place.
  std::vector<std::string> bytes;

  // Appends the message `which` about `name`, formatted as an f-string
  // formats it (an exact str as itself).
  bool report(size_t which, PyObject* name) {
    if (!name) return false;  // a name that could not be made: its error is set
    if (!texts_[which]) {
      texts_[which] = which < Unshipped ? utf8(kFixed[which])
                                        : utf8((std::string(kMustShip) +
                                                kShipped[which - Unshipped]).c_str());
      if (!texts_[which]) return false;
    }
    PyObject* left = which < NotObject ? texts_[which].get() : name;
    PyObject* right = which < NotObject ? name : texts_[which].get();
    Ref message = PyUnicode_CheckExact(name) ? Ref::steal(PyUnicode_Concat(left, right))
                                             : format_concat(left, right);
    return message && PyList_Append(problems_, message.get()) == 0;
  }

  // The name of a Skill, made from its bytes at its first use.
  PyObject* name_of(Skill& skill) {
    if (!skill.name) skill.name = fast::name_str(bytes[static_cast<size_t>(skill.bytes)]);
    return skill.name.get();
  }

  // exists() of the Skill's file `f`: its answer of the stats (raised as
  // exists() raises it when it is an error), else asked of `skill_dir`.
  int exists(const Skill& skill, size_t f, PyObject* skill_dir, const std::vector<int>& answers) {
    if (skill.answers >= 0) {
      const int answer = answers[static_cast<size_t>(skill.answers) + f];
      if (answer >= 0) return answer;
      fast::raise_exists_error(env, root, bytes[static_cast<size_t>(skill.bytes)], kShipped[f],
                               -answer);
      return -1;
    }
    // skill_dir / "SKILL.md", skill_dir / "data" / "VERSION.json": a join
    // per component.
    Ref path = Ref::borrow(skill_dir);
    for (std::string_view rest = kShipped[f]; path && !rest.empty();) {
      const std::string_view part = rest.substr(0, rest.find('/'));
      rest.remove_prefix(std::min(rest.size(), part.size() + 1));
      Ref text = Ref::steal(
          PyUnicode_FromStringAndSize(part.data(), static_cast<Py_ssize_t>(part.size())));
      path = text ? Ref::steal(PyNumber_TrueDivide(path.get(), text.get())) : Ref();
    }
    Ref there = path ? call_method(path.get(), env.s.exists) : Ref();
    return there ? truth(there.get()) : -1;
  }

 private:
  static constexpr const char* kFixed[Unshipped] = {kUndeclared, kStale, kEntryNotObject,
                                                    kReasonBlank, kTierBlank};
  PyObject* const problems_;
  Ref texts_[kMessageCount];  // made at their first use
};

// 5. Present names: the module's own listing of a ready root natively,
// otherwise {p.name for p in list_template_dirs(root)}.
bool list_present(Check& check) {
  const Env& env = check.env;
  const int own_listing = own_function(env, env.s.list_template_dirs, kListTemplateDirs);
  if (own_listing < 0) return false;
  if (own_listing) {
    const int ready = fast::ready(env, check.root);
    if (ready < 0) return false;
    fast::Native names =
        ready ? fast::template_dir_names(env, check.root, &check.bytes) : std::nullopt;
    if (names) {
      check.present = std::move(*names);
      check.native = true;
      return bool(check.present);
    }
  }
  Ref dirs = call_list_template_dirs(env, check.root);
  if (!dirs) return false;
  check.present = Ref::steal(PySet_New(nullptr));
  if (!check.present) return false;
  Ref it = Ref::steal(PyObject_GetIter(dirs.get()));
  if (!it) return false;
  while (Ref dir = Ref::steal(PyIter_Next(it.get()))) {
    Ref name = attr(dir.get(), env.s.name);
    if (!name || PySet_Add(check.present.get(), name.get()) < 0) return false;
  }
  return !PyErr_Occurred();
}

// 6-8 in one pass over "skills", for a native listing and an exact dict
// keyed by exact str: 1 done, 0 declined before anything was reported, -1
// with an exception set. `roll` gets the Skills of step 9.
int group_by_table(Check& check, std::vector<Skill>* roll) {
  if (!check.native || !PyDict_CheckExact(check.skills)) return 0;
  PyObject* names = check.present.get();
  // 6. Each declared name, in the order of "skills": found among the listed
  // names, its entry read ahead, or kept as stale.
  std::vector<std::optional<Reading>> listed(static_cast<size_t>(PyList_GET_SIZE(names)));
  Ref stale = Ref::steal(PyList_New(0));
  if (!stale) return -1;
  {
    const fast::NamePlaces places(names);
    Members members(check.env.s);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* entry;
    while (PyDict_Next(check.skills, &pos, &key, &entry)) {
      if (!PyUnicode_CheckExact(key)) return 0;
      const Py_ssize_t place = places.find(key);
      if (place >= 0)
        listed[static_cast<size_t>(place)] = read_ahead(members, entry);
      else if (PyList_Append(stale.get(), key) < 0)
        return -1;
    }
  }
  // 7. Undeclared directories, in the listing's (ascending) order.
  for (size_t i = 0; i < listed.size(); ++i)
    if (!listed[i] &&
        !check.report(Undeclared, PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i))))
      return -1;
  // 8. Stale entries, sorted.
  if (PyList_Sort(stale.get()) < 0) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stale.get()); ++i)
    if (!check.report(Stale, PyList_GET_ITEM(stale.get(), i))) return -1;
  // The Skills that are both, in the listing's order.
  roll->reserve(listed.size());
  bool at_turn = false;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (!listed[i]) continue;
    at_turn = at_turn || listed[i]->kind == Reading::Kind::AtTurn;
    Skill& skill = roll->emplace_back();
    skill.bytes = static_cast<Py_ssize_t>(i);
    if (!at_turn) skill.read = *listed[i];
  }
  return 1;
}

// 6-8 with Python's set operations, each run only once the one before it
// succeeded and its group was reported. `roll` gets the Skills of step 9.
bool group_by_sets(Check& check, std::vector<Skill>* roll) {
  // 6. The present and the declared names, as sets.
  Ref listed = check.native ? Ref::steal(PySet_New(check.present.get()))
                            : Ref::borrow(check.present.get());
  if (!listed) return false;
  Ref declared = Ref::steal(PySet_New(check.skills));
  if (!declared) return false;
  // 7-8. Undeclared directories, then stale entries, each group sorted.
  for (size_t group : {Undeclared, Stale}) {
    Ref names = Ref::steal(group == Undeclared
                               ? PyNumber_Subtract(listed.get(), declared.get())
                               : PyNumber_Subtract(declared.get(), listed.get()));
    if (!names || !(names = sorted_list(names.get()))) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i)
      if (!check.report(group, PyList_GET_ITEM(names.get(), i))) return false;
  }
  // The Skills that are both, sorted.
  Ref both = Ref::steal(PyNumber_And(listed.get(), declared.get()));
  if (!both || !(both = sorted_list(both.get()))) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(both.get()); ++i)
    roll->emplace_back().name = Ref::borrow(PyList_GET_ITEM(both.get(), i));
  return true;
}

// The stats of step 9, for a root listed natively (it is ready: nothing
// since ran Python code): the files of every Skill whose entry was read
// ahead and is release-admitted. A Skill whose entry is read at its turn is
// not among them: reading it may run Python code (a member's __str__ or
// __bool__, a mapping's get) that changes the tree, so its files are asked
// at its turn, after that code ran, as the methods ask them; and so is every
// Skill after it (only the Skills before the first one read at its turn are
// read ahead).
bool stat_files(Check& check, std::vector<Skill>& roll, std::vector<int>* answers) {
  std::vector<Skill*> asked;
  std::vector<std::string_view> names;
  asked.reserve(roll.size());
  names.reserve(roll.size());
  for (Skill& skill : roll) {
    const Reading& read = skill.read;
    if (read.kind == Reading::Kind::AtTurn) break;
    if (read.kind == Reading::Kind::NotObject || !read.admitted) continue;
    asked.push_back(&skill);
    names.push_back(check.bytes[static_cast<size_t>(skill.bytes)]);
  }
  if (asked.empty()) return true;
  fast::Native done = fast::exists_below(check.env, check.root, names, kShipped, answers);
  if (!done) return true;  // declined: every one is asked at its turn
  if (!*done) return false;
  for (size_t i = 0; i < asked.size(); ++i)
    asked[i]->answers = static_cast<Py_ssize_t>(i * kShippedCount);
  return true;
}

// 9. The entry checks of one Skill that is both present and declared.
bool check_skill(Check& check, Skill& skill, const std::vector<int>& answers) {
  const Env& env = check.env;
  // 1-2. The entry must be an object; nothing else is examined otherwise.
  Reading read = skill.read;
  Ref entry;
  if (read.kind == Reading::Kind::AtTurn) {
    PyObject* name = check.name_of(skill);
    entry = name ? mapping_get(env, check.skills, name, Py_None) : Ref();
    if (!entry) return false;
    read.kind = PyDict_Check(entry.get()) ? Reading::Kind::Object : Reading::Kind::NotObject;
  }
  if (read.kind == Reading::Kind::NotObject)
    return check.report(NotObject, check.name_of(skill));

  // 3-4. "reason" and "tier" must not be blank: not str(entry.get(m, "")).strip().
  for (int m : {kReason, kTier}) {
    int blank = read.blank[m];
    if (entry) {
      Ref value = mapping_get(env, entry.get(), env.s.*kMembers[m], env.s.empty);
      blank = value ? blank_value(env, value.get()) : -1;
    }
    if (blank < 0 || (blank && !check.report(Blank + m, check.name_of(skill)))) return false;
  }

  // 5. The Skill directory, where its files may be asked at their turn.
  Ref skill_dir;
  if (skill.answers < 0 && (entry || read.admitted)) {
    PyObject* name = check.name_of(skill);
    skill_dir = name ? Ref::steal(PyNumber_TrueDivide(check.root, name)) : Ref();
    if (!skill_dir) return false;
  }

  // 6. Release-admitted by the entry's own admission members?
  const int admitted = entry ? admitted_at_turn(env, entry.get()) : read.admitted;
  if (admitted <= 0) return admitted == 0;

  // 7-8. Such a Skill ships each of the files.
  for (size_t f = 0; f < kShippedCount; ++f) {
    const int there = check.exists(skill, f, skill_dir.get(), answers);
    if (there < 0 || (!there && !check.report(Unshipped + f, check.name_of(skill))))
      return false;
  }
  return true;
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
  Check check(env, root.get(), skills.get(), problems.get());

  // 5. Present names: the Skill directories of the tree.
  if (!list_present(check)) return nullptr;

  // 6-8. Declared names; the undeclared directories, then the stale
  // entries, reported, each group in ascending order; and the Skills that
  // are both, in ascending order.
  std::vector<Skill> roll;
  const int grouped = group_by_table(check, &roll);
  if (grouped < 0 || (!grouped && !group_by_sets(check, &roll))) return nullptr;
  // The listed names are let go before the stats, not left to be freed
  // after them, when they are out of every cache.
  check.present.reset();

  // 9. The entry checks of each Skill that is both.
  std::vector<int> answers;
  if (!stat_files(check, roll, &answers)) return nullptr;
  for (Skill& skill : roll)
    if (!check_skill(check, skill, answers)) return nullptr;

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
