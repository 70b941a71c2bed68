// The run of one native operation (see nativewalk.hpp).
//
// Three kinds of work happen here, each with the GIL in a known state:
// - with the GIL: deciding eligibility, turning paths into file-system bytes
//   and walker results into path objects, announcing steps to audit hooks,
//   raising failures as OSError;
// - without it: the walker's system calls, run through `Walk::run`, which
//   retakes the GIL every few milliseconds to let signal handlers run and
//   stops the walk when one raises;
// - never in a destructor: the GIL is taken back by plain calls, so that a
//   thread unwound by the interpreter at exit meets no C++ frame that turns
//   the unwinding into std::terminate;
// - not at all once the interpreter finalizes (unless this thread is the
//   one finalizing): the walk stops without the GIL and returns, closing
//   its descriptors, and the thread is ended or parked at the end of `run`
//   holding nothing of the walk's.
#include "nativewalk.hpp"

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "compat.hpp"
#include "pathseam.hpp"
#include "pysemantics.hpp"
#include "rules.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zavrik::fast {

walk::DepthLimit depth_limit() {
  // The method way enters one nested call per level, from wherever its
  // caller stands, and calls into pathlib from each level: it refuses the
  // level where those calls no longer fit what is left. Entering a level
  // (is_symlink() of it, its listing) takes seven more on every
  // interpreter (on 3.12 and 3.13 each call into Python from C takes two,
  // through __fspath__ and __str__ of the path). On 3.11, where Python
  // frames count too, is_dir() of an entry takes one more than the
  // listing: the deepest level is listed, and stops at its first entry.
  //
  // From 3.14 the interpreter bounds C calls by the stack itself, and the
  // method way's levels are small enough that a thread of the usual stack
  // size meets the path's length limit first (a chain of 1,990 levels, up
  // to that limit, is removed): there is no count to hold the walk to.
  constexpr int kEnterLevel = 7;
  const int remaining = compat::recursion_remaining();
  if (remaining < 0) return std::numeric_limits<std::size_t>::max();
  const std::size_t levels =
      remaining > kEnterLevel ? static_cast<std::size_t>(remaining - kEnterLevel) : 0;
  return {levels, compat::kFramesShareRecursionLimit};
}

bool simple_component(PyObject* name, std::string* out) {
  if (!PyUnicode_CheckExact(name)) return false;
  Maybe encoded = fsencode_or_refused(name);
  if (!encoded || !*encoded) return false;
  const std::string_view view(PyBytes_AS_STRING(encoded->get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(encoded->get())));
  if (!rules::simple_name(view)) return false;
  out->assign(view);
  return true;
}

int make_target(PyObject* path, Target* out) {
  Ref text = Ref::steal(PyObject_Str(path));
  if (!text) return -1;
  Maybe bytes = fsencode_or_refused(text.get());
  if (!bytes) return 0;
  if (!*bytes) return -1;
  const std::string_view view(PyBytes_AS_STRING(bytes->get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(bytes->get())));
  out->path = path;
  out->bytes.assign(view);
  // A path's text is its parts joined by separators: "." and empty
  // components are never among them.
  out->cached = false;
  for (std::string_view rest = view; !out->cached;) {
    const size_t slash = rest.find('/');
    out->cached = rest.substr(0, slash) == rules::kPycache;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return 1;
}

std::size_t Target::prefix() const {
  if (bytes == ".") return 0;
  return !bytes.empty() && bytes.back() == '/' ? bytes.size() : bytes.size() + 1;
}

int ready(const Env& env, PyObject* path) {
  // The namespace's lookups may fail (a key that compares with the name may
  // raise, memory may run out): that failure is the call's.
  PyObject* module_path = PyDict_GetItemWithError(env.globals, env.s.Path);
  if (!module_path && PyErr_Occurred()) return -1;
  if (const int intact = seam::intact(env.seam, module_path); intact <= 0) return intact;
  return seam::eligible(env.seam, path);
}

// --- Walk ------------------------------------------------------------------------

// An argument of an announcement, made only when a hook is there to see it.
struct Walk::Lazy {
  enum class Kind : unsigned char { Object, Path, Text, ListingText, Pattern };
  Walk* walk;
  Kind kind;
  const walk::Place* place = nullptr;
  PyObject* object = nullptr;  // Object; Pattern: the rglob pattern
};

PyObject* Walk::produce(void* lazy_ptr) {
  auto* lazy = static_cast<Lazy*>(lazy_ptr);
  Walk& w = *lazy->walk;
  // The interpreter builds an event's arguments only for a hook.
  w.hooks_ = Hooks::Listening;
  switch (lazy->kind) {
    case Lazy::Kind::Object:
      return Py_NewRef(lazy->object);
    case Lazy::Kind::Path:
      return w.path_of(*lazy->place).release();
    case Lazy::Kind::Text:
      return w.text_of(*lazy->place, false).release();
    case Lazy::Kind::ListingText:
      return w.text_of(*lazy->place, true).release();
    case Lazy::Kind::Pattern: {
      // rglob's glob pattern, "**" / pattern: its text, or a path of the
      // same class.
      if (w.env_.seam.announces.glob_pattern_text)
        return PyUnicode_FromFormat("**/%U", lazy->object);
      Ref stars = Ref::steal(PyUnicode_FromString("**"));
      if (!stars) return nullptr;
      return call(reinterpret_cast<PyObject*>(Py_TYPE(w.target_->path)),
                  {stars.get(), lazy->object})
          .release();
    }
  }
  return nullptr;
}

void Walk::at(const Target& target, std::size_t skip) {
  target_ = &target;
  skip_ = skip;
}

Ref Walk::path_of(const walk::Place& place) const {
  const walk::Place below(place.begin() + static_cast<std::ptrdiff_t>(std::min(skip_, place.size())),
                          place.end());
  return seam::make_path(env_.seam, target_->path, target_->bytes, below);
}

Ref Walk::text_of(const walk::Place& place, bool slash) const {
  const walk::Place below(place.begin() + static_cast<std::ptrdiff_t>(std::min(skip_, place.size())),
                          place.end());
  std::string base = target_->bytes;
  if (slash && (base.empty() || base.back() != '/')) base += '/';
  std::string text = seam::join_bytes(base, below);
  if (slash && !below.empty() && env_.seam.dialect.listing_slash) text += '/';
  return seam::decode(text);
}

// After an announcement: where nobody listened, the rest of the operation
// runs unheard.
#define ZAVRIK_AFTER_AUDIT()           \
  do {                                 \
    if (hooks_ == Hooks::Unknown) {    \
      hooks_ = Hooks::Silent;          \
      watch_.set_listening(false);     \
    }                                  \
  } while (0)

bool Walk::announce_rglob(PyObject* path, PyObject* pattern) {
  if (hooks_ == Hooks::Silent) return true;
  Lazy first{this, Lazy::Kind::Object, nullptr, path};
  int rc = PySys_Audit("pathlib.Path.rglob", "O&O", &Walk::produce, &first, pattern);
  if (rc == 0 && env_.seam.announces.glob_event) {
    Lazy glob_path{this, Lazy::Kind::Object, nullptr, path};
    Lazy glob_pattern{this, Lazy::Kind::Pattern, nullptr, pattern};
    rc = PySys_Audit("pathlib.Path.glob", "O&O&", &Walk::produce, &glob_path, &Walk::produce,
                     &glob_pattern);
  }
  ZAVRIK_AFTER_AUDIT();
  return rc == 0;
}

bool Walk::announce_iterdir(const walk::Place& place) {
  if (hooks_ == Hooks::Silent) return true;
  const bool text = env_.seam.announces.iterdir_text;
  Lazy arg{this, text ? Lazy::Kind::Text : Lazy::Kind::Path, &place};
  const int rc = PySys_Audit(env_.seam.announces.iterdir, "O&", &Walk::produce, &arg);
  ZAVRIK_AFTER_AUDIT();
  return rc == 0;
}

Walk::Answer Walk::listing(Step, const walk::Place& place) {
  // rglob's listings: a hook's refusal that rglob passes over (as it
  // passes over a directory it may not list) is passed over here too.
  const bool text = env_.seam.announces.rglob_text;
  Lazy arg{this, text ? Lazy::Kind::ListingText : Lazy::Kind::Path, &place};
  const int rc = PySys_Audit("os.scandir", "O&", &Walk::produce, &arg);
  ZAVRIK_AFTER_AUDIT();
  if (rc == 0) return Answer::Go;
  PyObject* passed = env_.seam.dialect.listing_errors_raise ? PyExc_PermissionError : PyExc_OSError;
  if (!PyErr_ExceptionMatches(passed)) return Answer::Stop;
  PyErr_Clear();
  return Answer::PassOver;
}

bool Walk::exit_began() {
  if (!left_ && !finalizer_ && compat::is_finalizing()) left_ = true;
  return left_;
}

Walk::Answer Walk::heard(void* self_ptr, Step step, const walk::Place& place) {
  auto* self = static_cast<Walk*>(self_ptr);
  // The step is not taken once the GIL can no longer be had for its
  // announcement.
  if (self->exit_began()) return Answer::Stop;
  // The walk runs without the GIL: it is taken for the announcement only.
  PyEval_RestoreThread(self->released_);
  const Answer answer = self->announce(step, place);
  self->released_ = PyEval_SaveThread();
  return answer;
}

Walk::Answer Walk::announce(Step step, const walk::Place& place) {
  int rc = 0;
  switch (step) {
    case Step::ListEntries:
    case Step::ListDirs:
      return listing(step, place);
    case Step::Iterdir:
      return announce_iterdir(place) ? Answer::Go : Answer::Stop;
    case Step::WalkStart: {
      Lazy arg{this, Lazy::Kind::Path, &place};
      rc = PySys_Audit("pathlib.Path.walk", "O&OO", &Walk::produce, &arg, Py_None, Py_False);
      break;
    }
    case Step::Unlink:
    case Step::Rmdir: {
      Lazy arg{this, Lazy::Kind::Path, &place};
      rc = PySys_Audit(step == Step::Unlink ? "os.remove" : "os.rmdir", "O&i", &Walk::produce, &arg,
                       -1);
      break;
    }
  }
  ZAVRIK_AFTER_AUDIT();
  return rc == 0 ? Answer::Go : Answer::Stop;
}

#undef ZAVRIK_AFTER_AUDIT

bool Walk::check_signals(void* self_ptr) {
  auto* self = static_cast<Walk*>(self_ptr);
  if (self->exit_began()) return true;
  PyEval_RestoreThread(self->released_);
  const bool stop = PyErr_CheckSignals() < 0;
  self->released_ = PyEval_SaveThread();
  return stop;
}

walk::Failure Walk::finish(walk::Failure failure) {
  // Where the interpreter began to finalize, this attempt ends or parks the
  // thread: it does not return.
  PyEval_RestoreThread(std::exchange(released_, nullptr));
  if (left_ && !PyErr_Occurred()) {
    // Should an interpreter ever give the GIL back here, the stopped walk
    // fails as a call that cannot go on at this stage does.
    PyErr_SetString(compat::finalization_error(), "the interpreter is shutting down");
    return walk::Failure::stopped();
  }
  return failure;
}

Ref Walk::raise(const walk::Failure& f) const {
  switch (f.kind) {
    case walk::Failure::Kind::None:
    case walk::Failure::Kind::Stopped:
      return {};
    case walk::Failure::Kind::TooDeep:
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while removing a directory tree");
      return {};
    case walk::Failure::Kind::Errno:
      break;
  }
  // An OSError of the errno's class whose filename is the text of the path
  // concerned (os functions report the os.fspath() of what they were given).
  Ref text = text_of(f.below, false);
  if (!text) return {};
  errno = f.err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
  return {};
}

}  // namespace zavrik::fast
