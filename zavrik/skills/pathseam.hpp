// What the native engine must know of the running interpreter's pathlib,
// in one place.
//
// The native walks stand in for pathlib's methods on path objects of the
// platform's pathlib class (or of subclasses that change none of its
// members). To do that they must know three things that pathlib keeps to
// itself and that change between interpreters:
//
// - how a path object is made: which of its fields hold what (CPython 3.11
//   keeps parsed parts; 3.12 to 3.15 keep the text it was made from);
// - how `rglob` walks a tree (walk::Dialect: order, caches, what it passes
//   over, how the predicates it and its callers ask answer a failure) and
//   what `iterdir`, `rglob` and their callees announce to audit hooks;
// - which members and module functions pathlib calls, so that a
//   replacement of any of them is seen and the native code stands aside.
//
// The seam recognises CPython 3.11 to 3.15: what differs between them is a
// row of a table (pathseam.cpp), so that another interpreter is another
// row. At import it makes path objects its own way and compares them with
// pathlib's (text, parts, hash, equality, ordering); on any other
// interpreter, or when a check fails, it stays inactive, says why in one
// line (`reason`, which zavrik-skills where prints), and every operation
// takes the method path.
#pragma once

#include <string>
#include <string_view>

#include "pyref.hpp"
#include "rglob.hpp"

namespace zavrik::seam {

// How a path object keeps itself: the offsets of its fields.
struct Layout {
  enum class Kind : unsigned char {
    Parsed,  // _drv, _root, _parts (CPython 3.11)
    Text,    // _raw_paths, _str (CPython 3.12 to 3.15)
  };
  Kind kind = Kind::Parsed;
  Py_ssize_t drv = -1, root = -1, parts = -1;  // Parsed
  Py_ssize_t raw_paths = -1, str = -1;         // Text
};

// What pathlib announces to audit hooks, where that differs between
// interpreters.
struct Announcements {
  const char* iterdir = "os.listdir";  // the event of iterdir()'s listing
  bool iterdir_text = false;           // whose argument is the path's text (else the path)
  bool rglob_text = false;             // rglob lists directories by text (else by path)
  bool glob_event = false;             // rglob announces "pathlib.Path.glob" too
  bool glob_pattern_text = false;      // whose pattern is the text "**/pattern" (else a path)
};

struct PathSeam {
  bool active = false;
  // Why the seam stays inactive, in a line a user can read ("" while
  // active).
  std::string reason;
  walk::Dialect dialect{};
  Layout layout;
  Announcements announces;

  Ref path_class;    // pathlib.Path
  Ref concrete;      // type(pathlib.Path()): PosixPath here
  Ref members;       // ((name, what the concrete class resolves it to, or None), ...)
  Ref os_namespace;  // where pathlib's methods read `os` from
  Ref os_name;       // "os", the name they read it by
  Ref os_module;     // the os module they found there
  Ref os_functions;  // ((name, function), ...) of that module
  // Where the predicates are os.path's (3.14): that module, as the os
  // module holds it, and ((name, function), ...) of the ones they call.
  Ref os_path_module;
  Ref path_name;  // "path", the name os holds it by
  Ref os_path_functions;
  // rglob's globber: (class, ((name, value), ...), (absent name, ...)), its
  // members as captured; where pathlib's glob() reads it from its
  // namespace, that namespace (else null); where the globber's listing
  // reads `os` from a namespace of its own, that namespace (else null).
  Ref globber;
  Ref globber_namespace;
  Ref globber_name;
  Ref globber_os_namespace;
  // What reading a file through the path calls: read_text and open (as
  // the path's members), io.open and io.text_encoding in the namespace
  // that open reads them from.
  Ref io_namespace;
  Ref io_name;  // "io"
  Ref io_module;
  Ref io_functions;
};

// Fills `seam` from the running pathlib and checks it (see above). 0 (the
// seam may be inactive, and then says why in `reason`), or -1 with an
// exception set.
int capture(PathSeam* seam);

// Whether the os functions pathlib calls and rglob's own callables are as
// they were at import, and `module_path` (the module's `Path`) is
// pathlib's. (The members of the path's class are eligible()'s to check.)
// 1, 0, or -1 with an exception set (a namespace's lookup that failed).
int intact(const PathSeam& seam, PyObject* module_path);

// Whether `path` is a path object the native code may stand in for: of the
// platform's class or a subclass that resolves every member pathlib uses as
// pathlib does (attribute access included), with no instance attributes,
// and made by pathlib (its fields set). 1, 0, or -1 with an exception set.
int eligible(const PathSeam& seam, PyObject* path);

// Whether `path` may be read the way pathlib's read_text reads it, by
// pathlib's own code from start to end (see manifest.cpp). 1, 0, -1.
int reads_like_pathlib(const PathSeam& seam, PyObject* path);

// The path `base` / components, of the class of `base`, as pathlib's
// iterdir and rglob make it (`base` itself when there are none).
// `base_bytes` is the file-system form of the text of `base`.
Ref make_path(const PathSeam& seam, PyObject* base, std::string_view base_bytes,
              const walk::Place& components);

// The file-system form of the text of `base_bytes` / components: a
// component follows "." alone, follows a separator that ends the text as it
// is, and otherwise one separator, as pathlib spells a child's path.
std::string join_bytes(std::string_view base_bytes, const walk::Place& components);
// The str of a file-system name or path.
Ref decode(std::string_view bytes);

// The text of `base_bytes` / components, as that path's str() spells it.
Ref text_below(std::string_view base_bytes, const walk::Place& components);

// `path.name` of an eligible path, read without the property where the
// layout allows (an empty Ref with an exception set on failure).
Ref name_of(const PathSeam& seam, PyObject* path);

}  // namespace zavrik::seam
