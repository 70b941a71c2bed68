// Reading a text file without blocking on what is not a regular file
// (see the header).
//
// `path.read_text(encoding="utf-8")` would block for ever on a FIFO, and on
// some files of /proc, and never end on a device. For a pathlib path whose
// reading methods are pathlib's own (see reads_like_pathlib), the file is
// therefore read here: the descriptor that was opened (without blocking) is
// checked to be a regular file, and the text is decoded exactly as
// read_text decodes it. Other path objects go through their own read_text,
// after a check by name, which is the best that can be done for them.
#include "textfile.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "pathseam.hpp"
#include "pysemantics.hpp"
#include "walker.hpp"

namespace zavrik {
namespace {

#ifndef _WIN32

constexpr const char kNotRegularFile[] = "Not a regular file";

// Refusal of a file that cannot be read as one, as the OSError the
// interpreter would raise for it: OSError(EINVAL, "Not a regular file", path).
PyObject* raise_not_regular(PyObject* fspath) {
  Ref error = Ref::steal(
      PyObject_CallFunction(PyExc_OSError, "isO", EINVAL, kNotRegularFile, fspath));
  return error ? raise_instance(error.get()) : nullptr;
}

// Reading a FIFO, a socket or a device would block or never end: such a
// file is refused before anything opens it. A name is only a hint (the file
// may change after this check); the descriptor check of read_regular_file
// is the one that holds. 0, or -1 with the refusal set.
int refuse_special_name(PyObject* fspath, PyObject* encoded) {
  struct stat st;
  if (stat(PyBytes_AS_STRING(encoded), &st) != 0) return 0;  // read_text reports it
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return 0;
  raise_not_regular(fspath);
  return -1;
}

// The bytes read so far, in memory of the raw allocator (which needs no GIL).
class RawBuffer {
 public:
  RawBuffer() = default;
  RawBuffer(const RawBuffer&) = delete;
  RawBuffer& operator=(const RawBuffer&) = delete;
  ~RawBuffer() { PyMem_RawFree(data_); }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  // Room for at least `more` bytes after the data; false when out of memory.
  bool reserve(size_t more) {
    if (capacity_ - size_ >= more) return true;
    size_t wanted = std::max(capacity_ * 2, size_ + more);
    if (wanted > static_cast<size_t>(PY_SSIZE_T_MAX)) return false;
    char* grown = static_cast<char*>(PyMem_RawRealloc(data_, wanted));
    if (!grown) return false;
    data_ = grown;
    capacity_ = wanted;
    return true;
  }
  char* end() { return data_ + size_; }
  size_t room() const { return capacity_ - size_; }
  void grow(size_t n) { size_ += n; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// The system-call side of one read: open, check the descriptor, read to the
// end. It runs without the GIL and stops at the first failure, or at EINTR
// so that the signal handlers run before it resumes where it stopped.
struct FileRead {
  // Where it stopped: the failure of a step means what the step means.
  enum class Stage : unsigned char { Open, Check, Read };
  walk::Fd fd;
  RawBuffer buffer;
  bool checked = false;
  Stage stage = Stage::Open;

  // 0 when the whole file is read, else the errno of the step at `stage`
  // (EINTR: interrupted, call again; at Check, EISDIR for a directory and
  // EINVAL for anything else that is no regular file; at Read, ENOMEM for
  // no memory left).
  int run(const char* path) {
    if (fd.get() < 0) {
      stage = Stage::Open;
      // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
      const int fd_now = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd_now < 0) return errno;
      fd.reset(fd_now);
    }
    size_t hint = 0;
    if (!checked) {
      stage = Stage::Check;
      struct stat st;
      if (fstat(fd.get(), &st) != 0) return errno;
      if (S_ISDIR(st.st_mode)) return EISDIR;
      if (!S_ISREG(st.st_mode)) return EINVAL;
      checked = true;
      if (st.st_size > 0) hint = static_cast<size_t>(st.st_size) + 1;
    }
    stage = Stage::Read;
    for (;;) {
      if (!buffer.reserve(hint ? hint : 8192)) return ENOMEM;
      hint = 0;
      // A read that would block (EAGAIN on a file of /proc that claims to
      // be regular) fails here instead of waiting.
      const ssize_t n = read(fd.get(), buffer.end(), buffer.room());
      if (n < 0) return errno;
      if (n == 0) return 0;
      buffer.grow(static_cast<size_t>(n));
    }
  }
};

// read_text(encoding="utf-8") of the file: strict UTF-8, then the universal
// newlines ("\r\n" and a lone "\r" read as "\n"), so the text, and every
// decoding or JSON error about it, is what read_text would give.
Ref decode_as_read_text(const char* data, size_t size) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict"));
  if (!text || !memchr(data, '\r', size)) return text;
  Ref crlf = Ref::steal(PyUnicode_FromString("\r\n"));
  Ref cr = Ref::steal(PyUnicode_FromString("\r"));
  Ref lf = Ref::steal(PyUnicode_FromString("\n"));
  if (!crlf || !cr || !lf) return {};
  text = Ref::steal(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
  if (!text) return {};
  return Ref::steal(PyUnicode_Replace(text.get(), cr.get(), lf.get(), -1));
}

// The text of the file named by `fspath` (what os.fspath gave for the
// path), read through the descriptor as described at the top. The audit event
// is the one io.open raises, so audit hooks see this read as any other.
Ref read_regular_file(PyObject* fspath, PyObject* encoded) {
  if (PySys_Audit("open", "Osi", fspath, "r", O_RDONLY | O_CLOEXEC) < 0) return {};
  FileRead file;
  for (;;) {
    int err;
    Py_BEGIN_ALLOW_THREADS
    err = file.run(PyBytes_AS_STRING(encoded));
    Py_END_ALLOW_THREADS
    if (!err) break;
    if (err == EINTR) {
      // As the interpreter's own calls do: run the handlers, then resume.
      if (PyErr_CheckSignals() < 0) return {};
      continue;
    }
    if (file.stage == FileRead::Stage::Read && err == ENOMEM) return Ref::steal(PyErr_NoMemory());
    if (file.stage == FileRead::Stage::Check && err == EINVAL) {
      raise_not_regular(fspath);
      return {};
    }
    errno = err;
    if (file.stage == FileRead::Stage::Check && err != EISDIR)
      PyErr_SetFromErrno(PyExc_OSError);  // fstat of the open file: no name
    else
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, fspath);
    return {};
  }
  return decode_as_read_text(file.buffer.data(), file.buffer.size());
}

#endif  // !_WIN32

}  // namespace

Ref read_text_utf8(const Env& env, PyObject* path) {
  int native = seam::reads_like_pathlib(env.seam, path);
  if (native < 0) return {};
#ifndef _WIN32
  // A KeyboardInterrupt, SystemExit or any other error of __fspath__
  // passes through; only an object that is no file-system path is left to
  // its read_text unchecked.
  Maybe fspath = fspath_of(path);
  if (fspath && !*fspath) return {};
  if (fspath) {
    Ref encoded = fsencode(fspath->get());
    if (!encoded) {
      // A name that cannot be encoded (or holds NUL) cannot be opened: the
      // native read fails with that error, read_text with its own. Both
      // are ValueErrors of the conversion; anything else passes.
      if (native || !PyErr_ExceptionMatches(PyExc_ValueError)) return {};
      PyErr_Clear();
    } else {
      if (refuse_special_name(fspath->get(), encoded.get()) < 0) return {};
      if (native) return read_regular_file(fspath->get(), encoded.get());
    }
  }
#endif
  return call_method(path, env.s.read_text, {env.s.utf8}, env.s.kw_encoding);
}

}  // namespace zavrik
