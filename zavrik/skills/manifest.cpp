// Loading and checking the release manifest `manifest.json`.
//
// Loading converts exactly one host error, invalid JSON, into the module's
// exception and lets every other one through unchanged; the release check
// returns its findings as messages instead of raising them.
#include "manifest.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "directories.hpp"
#include "nativefs.hpp"

namespace zavrik {
namespace {

constexpr const char kLoadDoc[] = "读取 Skill 发版清单。";
constexpr const char kValidateDoc[] = "校验发版清单声明完整性，返回问题列表。";

constexpr const char kNotFound[] = "未找到 Skill 发版清单: ";
constexpr const char kInvalidJson[] = "Skill 发版清单 JSON 无效: ";
constexpr const char kRootNotObject[] = "Skill 发版清单根节点必须是对象";
constexpr const char kNoSkillsObject[] = "Skill 发版清单必须包含 skills 对象";
constexpr const char kNotRegularFile[] = "Not a regular file";

constexpr const char kUndeclared[] = "模板目录未在 manifest 声明: ";
constexpr const char kStale[] = "manifest 声明了不存在的模板目录: ";
constexpr const char kEntryNotObject[] = ": manifest 条目必须是对象";
constexpr const char kReasonBlank[] = ": reason 不能为空";
constexpr const char kTierBlank[] = ": tier 不能为空";
constexpr const char kNoSkillMd[] = ": 发版准入 Skill 必须包含 SKILL.md";
constexpr const char kNoVersionJson[] = ": 发版准入 Skill 必须包含 data/VERSION.json";

Ref utf8(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }

// Python's `except <clause>` test of the exception being handled: the clause
// must name exception classes, as the interpreter insists.
int except_matches(PyObject* exc, PyObject* clause) {
  if (PyTuple_Check(clause)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(clause); ++i) {
      if (!PyExceptionClass_Check(PyTuple_GET_ITEM(clause, i))) goto bad;
    }
  } else if (!PyExceptionClass_Check(clause)) {
    goto bad;
  }
  return PyErr_GivenExceptionMatches(exc, clause);
bad:
  PyErr_SetString(PyExc_TypeError,
                  "catching classes that do not inherit from BaseException is "
                  "not allowed");
  return -1;
}

// The exception currently set, taken out of the thread state, normalised and
// with its traceback attached.
Ref fetch_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

// Re-raise `exc` (taken with fetch_exception).
void restore_exception(Ref exc) {
  PyObject* value = exc.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
}

// Chains `context` under the exception now set, as raising inside an
// `except` block would.
void chain_context(Ref context) {
  Ref current = fetch_exception();
  if (current) {
    PyException_SetContext(current.get(), context.release());
    restore_exception(std::move(current));
  }
}

// cls(message), checked to be an exception as `raise` insists; nullptr with
// an exception set when it is not (or when the call fails).
Ref new_exception(PyObject* cls, PyObject* message) {
  Ref error = call(cls, {message});
  if (error && !PyExceptionInstance_Check(error.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return {};
  }
  return error;
}

// raise cls(message); always nullptr.
PyObject* raise_new(PyObject* cls, PyObject* message) {
  Ref error = new_exception(cls, message);
  if (error)
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

// Reading a FIFO, a socket or a device named manifest.json would block or
// never end: such a file is refused with OSError, as a file that cannot be
// read as one. Objects that are no file-system path are left to read_text.
int refuse_special_file(PyObject* path) {
  Ref fspath = Ref::steal(PyOS_FSPath(path));
  if (!fspath) {
    PyErr_Clear();
    return 0;
  }
  Ref bytes = PyBytes_Check(fspath.get())
                  ? Ref::borrow(fspath.get())
                  : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!bytes) {
    PyErr_Clear();
    return 0;
  }
  struct stat st;
  if (stat(PyBytes_AS_STRING(bytes.get()), &st) != 0) return 0;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return 0;
  Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", EINVAL,
                                               kNotRegularFile, fspath.get()));
  if (error)
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return -1;
}

// json.loads(path.read_text(encoding="utf-8")), with JSONDecodeError turned
// into the module's exception naming the file, the decoder's error as cause.
Ref read_manifest_json(const Env& env, PyObject* path) {
  Ref decoded = [&]() -> Ref {
    Ref json = env.global(env.s.json);
    if (!json) return {};
    Ref loads = attr(json.get(), env.s.loads);
    if (!loads) return {};
    if (refuse_special_file(path) < 0) return {};
    Ref text = call_method(path, env.s.read_text, {env.s.utf8}, env.s.kw_encoding);
    if (!text) return {};
    return call(loads.get(), {text.get()});
  }();
  if (decoded) return decoded;

  Ref exc = fetch_exception();
  Ref json = env.global(env.s.json);
  Ref clause = json ? attr(json.get(), env.s.JSONDecodeError) : Ref();
  int matches = clause ? except_matches(exc.get(), clause.get()) : -1;
  if (matches < 0) {
    chain_context(std::move(exc));
    return {};
  }
  if (!matches) {
    restore_exception(std::move(exc));
    return {};
  }
  Ref cls = env.global(env.s.SkillReleaseManifestError);
  Ref message = cls ? format_concat(utf8(kInvalidJson).get(), path) : Ref();
  Ref error = message ? new_exception(cls.get(), message.get()) : Ref();
  if (!error) {
    chain_context(std::move(exc));
    return {};
  }
  PyException_SetCause(error.get(), Py_NewRef(exc.get()));
  PyException_SetContext(error.get(), exc.release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
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

// not str(entry.get(member, "")).strip()
int blank_member(const Env& env, PyObject* entry, PyObject* member) {
  Ref value = mapping_get(env, entry, member, env.s.empty);
  if (!value) return -1;
  if (PyUnicode_CheckExact(value.get())) {
    // str() of a str is itself, and its strip() is empty exactly when every
    // character is white space.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value.get());
    const int kind = PyUnicode_KIND(value.get());
    const void* data = PyUnicode_DATA(value.get());
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return 0;
    return 1;
  }
  Ref text = Ref::steal(PyObject_Str(value.get()));
  if (!text) return -1;
  Ref stripped = call_method(text.get(), env.s.strip);
  if (!stripped) return -1;
  int filled = truth(stripped.get());
  return filled < 0 ? -1 : !filled;
}

// exists() of root / name / a [/ b]. With a plain root the Skill directory
// path object is never needed (`skill_dir` may be empty), and the check is a
// native stat unless that declines.
int skill_file_exists(const Env& env, PyObject* root, PyObject* name, Ref& skill_dir,
                      PyObject* a, PyObject* b, const std::string* native) {
  if (native) {
    int there = fast::exists_below(env, root, *native, name, PyUnicode_AsUTF8(a),
                                   b ? PyUnicode_AsUTF8(b) : nullptr);
    if (there != 2) return there;
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

// The entry checks of one Skill that is both present and declared.
bool check_entry(const Env& env, PyObject* problems, PyObject* root,
                 PyObject* skills, PyObject* name, const std::string* native) {
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

  // 5. The Skill directory (a plain path's is built only if needed).
  Ref skill_dir;
  if (!native) {
    skill_dir = Ref::steal(PyNumber_TrueDivide(root, name));
    if (!skill_dir) return false;
  }

  // 6. Release-admitted by the entry's own admission members?
  int admitted = 0;
  for (PyObject* key : {env.s.source, env.s.wheel, env.s.binary, env.s.binary_full}) {
    Ref value = mapping_get(env, entry.get(), key, Py_False);
    if (!value) return false;
    admitted = truth(value.get());
    if (admitted < 0) return false;
    if (admitted) break;
  }
  if (!admitted) return true;

  // 7-8. Such a Skill ships its SKILL.md and data/VERSION.json.
  int there = skill_file_exists(env, root, name, skill_dir, env.s.skill_md, nullptr, native);
  if (there < 0 || (!there && !add_problem(problems, nullptr, name, kNoSkillMd)))
    return false;
  there = skill_file_exists(env, root, name, skill_dir, env.s.data, env.s.version_json,
                            native);
  if (there < 0 || (!there && !add_problem(problems, nullptr, name, kNoVersionJson)))
    return false;
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

  // 5. Present names: the Skill directories of the tree.
  Ref dirs = call_list_template_dirs(env, root.get());
  if (!dirs) return nullptr;
  Ref present = Ref::steal(PySet_New(nullptr));
  if (!present) return nullptr;
  {
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

  // The existence checks go native for a plain root (`native` holds its
  // file-system bytes then).
  std::string root_bytes;
  const std::string* native = nullptr;
  if (fast::plain_path(env, root.get())) {
    bool declined = false;
    if (fast::fs_bytes(root.get(), &root_bytes, &declined)) {
      native = &root_bytes;
    } else if (!declined) {
      return nullptr;
    }
  }

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
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      PyObject* name = PyList_GET_ITEM(names.get(), i);
      const bool ok = prefix ? add_problem(problems.get(), prefix, name, nullptr)
                             : check_entry(env, problems.get(), root.get(), skills.get(),
                                           name, native);
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

Ref mapping_get(const Env& env, PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    return Ref::borrow(fallback);
  }
  return call_method(mapping, env.s.get, {key, fallback});
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
