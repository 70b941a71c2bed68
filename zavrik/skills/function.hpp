// The module's function objects and the one argument binder they share.
//
// Every function of the module is described by a `FunctionDef`: its name,
// docstring, parameters (name, annotation, kind, whether required, the exact
// type test), the test applied to its result, and the C++ body. What the
// binder needs beyond that (counts, the wording of its positional-count
// message) is derived from the parameter list while compiling, and the list
// is checked against the rules of `def`. A single vectorcall entry point binds
// the arguments of any call against that table, so the order of the checks
// and their messages are written once, here, and never per function.
//
// A body receives an `Env`: the module namespace, the interned strings the
// bodies use and the path seam. Module-level names are looked up through `Env::global` at the
// moment of use (namespace, then builtins), so rebinding a module attribute
// changes the next call.
#pragma once

#include "pyref.hpp"
#include "state.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zavrik {

// What a body sees of the module: its namespace and the interned strings.
struct Env {
  PyObject* globals;  // the module's __dict__ (borrowed; outlives the call)
  const Names& s;
  const seam::PathSeam& seam;

  // The module-level name `name`: namespace, then builtins, else NameError.
  Ref global(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    return value ? Ref::borrow(value) : builtin(name);
  }
  // The rest of `global` once the namespace has no `name`.
  Ref builtin(PyObject* name) const;
  // `name(*args)` for a module-level callable looked up now.
  Ref call_global(PyObject* name, std::initializer_list<PyObject*> args,
                  PyObject* kwnames = nullptr) const;
  // The same for a call that passes every parameter of `def`, in declaration
  // order (the trailing ones by the keywords `kwnames`): when the name is
  // still bound to the module's own function, its body runs directly (with
  // the same type and result checks), skipping the call machinery.
  Ref call_own(PyObject* name, const struct FunctionDef& def,
               std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const {
    Ref callable = global(name);
    return callable ? call_as(callable.get(), def, args, kwnames) : Ref();
  }
  // The same once the name has been looked up: `callable` is its value.
  static Ref call_as(PyObject* callable, const struct FunctionDef& def,
                     std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
};

enum class ParamKind : unsigned char { PositionalOrKeyword, KeywordOnly };
inline constexpr ParamKind kKeywordOnly = ParamKind::KeywordOnly;
enum class TypeCheck : unsigned char { None, Str, StrOrNone, DictOrNone };
enum class ResultCheck : unsigned char { None, DictOrNone, StrOrNone };

// One parameter. Written with designated initialisers; what is left out is a
// positional-or-keyword parameter, optional, not type-checked:
//   {.name = "templates_dir", .annotation = "Path | None"}
struct ParamDef {
  const char* name;
  const char* annotation;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  bool required = false;
  TypeCheck check = TypeCheck::None;
};

inline constexpr int kMaxParams = 5;

namespace detail {
// Called only where a parameter list breaks a rule of `def`: it is not
// constexpr, so the table that reaches it does not compile.
void parameter_list_breaks_the_rules_of_def();
}  // namespace detail

// A function's parameter list and what its binder derives from it, computed
// once, while compiling, from the table itself.
class ParamList {
 public:
  constexpr ParamList() = default;

  // From a table of parameters, checked as `def` would check it: names
  // distinct, positional-or-keyword parameters first, and among them the
  // required ones before those with a default.
  template <std::size_t N>
  consteval ParamList(const ParamDef (&params)[N])  // NOLINT: implicit by design
      : items_(params), size_(static_cast<int>(N)) {
    static_assert(N >= 1 && N <= static_cast<std::size_t>(kMaxParams),
                  "a function takes 1 to kMaxParams parameters (none: leave "
                  "`.params` out)");
    bool keyword_only = false, optional = false;
    for (int i = 0; i < size_; ++i) {
      const ParamDef& p = params[i];
      if (!p.name || !p.annotation) detail::parameter_list_breaks_the_rules_of_def();
      for (int j = 0; j < i; ++j) {
        if (std::string_view(params[j].name) == p.name)
          detail::parameter_list_breaks_the_rules_of_def();
      }
      if (p.kind == ParamKind::KeywordOnly) {
        keyword_only = true;
        continue;
      }
      if (keyword_only || (optional && p.required))
        detail::parameter_list_breaks_the_rules_of_def();
      optional = optional || !p.required;
      ++npositional_;
      if (p.required) ++nrequired_positional_;
    }
  }

  constexpr const ParamDef& operator[](int i) const { return items_[i]; }
  constexpr int size() const { return size_; }
  // The leading positional-or-keyword parameters; the rest are keyword-only.
  constexpr int npositional() const { return npositional_; }

  // The wording of "takes %s %zd positional argument%s (%zd given)": "exactly"
  // when every positional parameter is required, else "at most"; the count is
  // always the number of positional parameters.
  constexpr const char* count_word() const {
    return nrequired_positional_ == npositional_ ? "exactly" : "at most";
  }
  constexpr Py_ssize_t count() const { return npositional_; }
  constexpr const char* plural() const { return npositional_ == 1 ? "" : "s"; }

 private:
  const ParamDef* items_ = nullptr;
  int size_ = 0;
  int npositional_ = 0;
  int nrequired_positional_ = 0;
};

// A body gets the bound arguments in declaration order (borrowed) and
// returns a new reference, or nullptr with an exception set.
using Body = PyObject* (*)(const Env& env, PyObject* const* args);

// One function of the module, written with designated initialisers:
//   const FunctionDef kListTemplateDirs = {
//       .name = "list_template_dirs", .doc = kListDoc,
//       .return_annotation = "list[Path]", .params = kListParams,
//       .body = list_template_dirs};
// `.doc` left out: no docstring; `.params` left out: no parameters;
// `.result` left out: the result is not checked.
struct FunctionDef {
  const char* name;
  const char* doc = nullptr;
  const char* return_annotation;
  ParamList params = {};
  ResultCheck result = ResultCheck::None;
  Body body;

  constexpr int nparams() const { return params.size(); }
};

// Creates the heap type of the function objects (a new reference).
PyObject* create_function_type(PyObject* module);

// A new function object for `def`. `defaults[i]` is the value taken when
// optional parameter i is omitted (ignored for required parameters). The
// function holds `state_owner`, the capsule that owns `state`.
Ref new_function(PyObject* type, const FunctionDef& def, PyObject* globals,
                 PyObject* state_owner, const State* state, PyObject* const* defaults);

// Whether `obj` is one of this module's function objects running `def`.
bool is_function_of(PyObject* obj, const FunctionDef& def);

// The same, for a function that also reads the namespace `globals`: its
// body may then run in place of a call, with that namespace's `Env`.
bool is_own_function(PyObject* obj, const FunctionDef& def, PyObject* globals);

// Whether the module attribute `name` is still the module's own function
// running `def`.
bool own_function(const Env& env, PyObject* name, const FunctionDef& def);

// Whether a call of `callable` with `args` (every parameter of `def`, in
// declaration order) may run `def`'s body in place, with the namespace
// `globals`: it is the module's own function reading that namespace, and
// every argument passes its exact type test.
bool binds_in_place(PyObject* callable, const FunctionDef& def,
                    std::initializer_list<PyObject*> args, PyObject* globals);

// `result` (a new reference or nullptr) as a call of `def` returns it: the
// test of its annotation applied. Consumes `result`.
PyObject* refuse_result(const FunctionDef& def, PyObject* result);  // its TypeError
inline Ref checked_result(const FunctionDef& def, PyObject* result) {
  const bool plain = !result || result == Py_None || def.result == ResultCheck::None ||
                     Py_IS_TYPE(result, def.result == ResultCheck::DictOrNone
                                            ? &PyDict_Type
                                            : &PyUnicode_Type);
  return Ref::steal(plain ? result : refuse_result(def, result));
}

}  // namespace zavrik
