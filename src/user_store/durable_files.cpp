#include "durable_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vardun::durable {

namespace {

// The file-system name of a path-like object, as `os.fspath` gives it.
Ref filesystem_name(PyObject* path) {
  Ref text = Ref::own(PyOS_FSPath(path));
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(text.get(), &encoded)) throw_python_error();
  return Ref::steal(encoded);
}

[[noreturn]] void raise_os_error(int error, PyObject* path) {
  errno = error;
  Ref name = Ref::steal(PyOS_FSPath(path));
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name ? name.get() : path);
  throw_python_error();
}

// Opens, runs `work(fd)` (which returns 0 or an errno value) and closes, all
// without holding the interpreter lock.
template <class Work>
void with_descriptor(PyObject* path, int flags, mode_t mode, Work work) {
  Ref name = filesystem_name(path);
  const char* bytes = PyBytes_AS_STRING(name.get());
  int error = 0;
  PyThreadState* thread = PyEval_SaveThread();
  int fd;
  do {
    fd = ::open(bytes, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = errno;
  } else {
    error = work(fd);
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  }
  PyEval_RestoreThread(thread);
  if (error != 0) raise_os_error(error, path);
}

// Runs fsync or fdatasync, again when a signal interrupts it; 0 or an errno value.
int flush(int (*sync_call)(int), int fd) {
  int result;
  do {
    result = sync_call(fd);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

}  // namespace

void create_private_file(PyObject* path) {
  with_descriptor(path, O_WRONLY | O_CREAT | O_TRUNC, S_IRUSR | S_IWUSR,
                  [](int fd) { return ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? 0 : errno; });
}

// The data and the size are what must survive; the rename is made durable by
// syncing the directory.
void sync_file(PyObject* path) {
  with_descriptor(path, O_RDONLY, 0, [](int fd) { return flush(::fdatasync, fd); });
}

void sync_directory(PyObject* path) {
  with_descriptor(path, O_RDONLY | O_DIRECTORY, 0, [](int fd) {
    int error = flush(::fsync, fd);
    return error == EINVAL || error == ENOTSUP ? 0 : error;
  });
}

}  // namespace vardun::durable
