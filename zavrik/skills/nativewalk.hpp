// The run of one native operation: the path it works on, whether audit
// hooks listen to it, and the GIL.
//
// Every native entry point answers in one shape, `Native`:
// - no value: declined, the caller runs the method path (nothing happened,
//   no exception set);
// - an empty `Ref`: failed, with the Python exception set;
// - otherwise the result (None for an operation that returns nothing).
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "function.hpp"
#include "walker.hpp"

namespace zavrik::fast {

// What a native operation answers: no value when it declines (the caller
// runs the method path), else what the method path would give.
using Native = Maybe;

// Whether operations on `path` may run natively: the seam is active,
// pathlib and the module's `Path` are as they were at import, and `path`
// is eligible (pathseam.hpp). 1, 0, or -1 with an exception set.
int ready(const Env& env, PyObject* path);

// A path the native code works on: the object, its text in the
// file-system encoding, and whether "__pycache__" is one of its parts.
struct Target {
  PyObject* path = nullptr;  // borrowed from the caller
  std::string bytes;
  bool cached = false;
  // Bytes of its text before a child's name ("." has none).
  std::size_t prefix() const;
};

// The run of one native operation: whether audit hooks listen, found at
// its first announcement and kept for the whole operation, and the GIL,
// released while a walk runs and taken back for a moment to announce a step
// (where someone listens) or to run signal handlers.
//
// A walk that finds the interpreter finalizing when it would take the GIL
// back, finalizing since it let the GIL go, stops there without it: the
// GIL is the finalizing thread's for good, and this thread will be ended
// or parked for ever at its next attempt. So the step waiting for the GIL
// (a deletion an audit hook was to hear of) is not taken, the walk's
// descriptors are closed as the walk returns, and only then, at the end
// of `run`, does the thread make the attempt that ends or parks it.
class Walk {
 public:
  using Step = walk::Watch::Step;
  using Answer = walk::Watch::Answer;

  explicit Walk(const Env& env) : env_(env), watch_(&Walk::heard, this) {}
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Where the places of the following steps are: below `target`, the
  // first `skip` components naming the target itself.
  void at(const Target& target, std::size_t skip = 0);
  // For an operation none of whose steps pathlib announces.
  void quiet() { hooks_ = Hooks::Silent; }
  // Runs `work(poll, watch)` to its end.
  template <class Work>
  walk::Failure run(Work&& work);

  // Sets aside `count` descriptors for the walks of the step to come (see
  // walk::Spare), until give_back() or the end of the Walk: false where the
  // process has fewer free; the step then declines before it announces
  // anything.
  bool set_aside(std::size_t count) { return spare_.take(count) == 0; }
  void give_back() noexcept { spare_.clear(); }

  // Announcements the boundary makes itself. false with the hook's
  // exception set.
  bool announce_rglob(PyObject* path, PyObject* pattern);
  bool announce_iterdir(const walk::Place& place);

  // Raises a walk's failure as the method path would raise it.
  Ref raise(const walk::Failure& failure) const;

 private:
  enum class Hooks : unsigned char { Unknown, Listening, Silent };
  struct Lazy;
  static PyObject* produce(void* lazy);
  static Answer heard(void* self, Step step, const walk::Place& place);
  static bool check_signals(void* self);
  bool exit_began();
  Answer announce(Step step, const walk::Place& place);
  Answer listing(Step step, const walk::Place& place);
  Ref path_of(const walk::Place& place) const;
  Ref text_of(const walk::Place& place, bool slash) const;
  walk::Failure finish(walk::Failure failure);

  const Env& env_;
  const Target* target_ = nullptr;
  std::size_t skip_ = 0;
  Hooks hooks_ = Hooks::Unknown;
  walk::Watch watch_;
  walk::Spare spare_;
  PyThreadState* released_ = nullptr;  // while a walk runs
  // This thread finalizes the interpreter: it may take the GIL back.
  bool finalizer_ = false;
  // The walk stopped because the interpreter began to finalize.
  bool left_ = false;
};

// The file-system form of a ready path: 1 with `out` filled, 0 where the
// methods refuse the path (not encodable, an embedded NUL) and the method
// path must run, -1 with an exception set.
int make_target(PyObject* path, Target* out);

// The file-system bytes of `name` when it is an exact str that `root /
// name` joins as one more component; false otherwise, with an exception set
// only where one other than the system's refusal of the name was raised.
bool simple_component(PyObject* name, std::string* out);

// How many levels a removal that starts here may go before the method way
// would raise RecursionError: what is left of the interpreter's recursion
// limit from the caller's depth, less what its deepest call needs.
walk::DepthLimit depth_limit();

// --- Implementation ------------------------------------------------------------

template <class Work>
walk::Failure Walk::run(Work&& work) {
  watch_.set_listening(hooks_ != Hooks::Silent);
  // Only the finalizing thread holds the GIL once finalization has begun.
  finalizer_ = compat::is_finalizing();
  left_ = false;
  released_ = PyEval_SaveThread();
  walk::Poll poll(&Walk::check_signals, this);
  poll.use(&spare_);
  walk::Failure failure;
  try {
    failure = work(poll, &watch_);
  } catch (const std::bad_alloc&) {
    failure = walk::Failure::at(ENOMEM);
  }
  // A stop answered anywhere (a signal handler raised) ends the walk with
  // the handler's exception, whatever the step that saw it made of it.
  if (poll.stopped()) failure = walk::Failure::stopped();
  return finish(std::move(failure));
}

}  // namespace zavrik::fast
