// The tables that describe the module's functions.
//
// Every function of the module is described by a `FunctionDef`: its name,
// docstring, parameters (name, annotation, kind, whether required, the exact
// type test), the test applied to its result, and the C++ body. What the
// binder (function.cpp) needs beyond that (counts, the wording of its
// positional-count message) is derived from the parameter list while
// compiling, and the list is checked against the rules of `def`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

namespace zavrik {

struct Env;  // function.hpp: what a body sees of the module

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

}  // namespace zavrik
