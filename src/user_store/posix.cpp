#include "posix.hpp"

namespace vardun::posix {

std::string fs_name(PyObject* path) {
  Ref text = Ref::own(PyOS_FSPath(path));
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(text.get(), &encoded)) throw_python_error();
  Ref bytes = Ref::steal(encoded);
  return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

void raise_errno(int error, PyObject* filename) {
  Ref shown = Ref::steal(PyOS_FSPath(filename));
  if (!shown) PyErr_Clear();
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown ? shown.get() : filename);
  throw_python_error();
}

namespace {

Ref decoded(const std::string& name) {
  return Ref::own(
      PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

}  // namespace

void raise_errno(int error, const std::string& name) {
  raise_errno(error, decoded(name).get());
}

void raise_os_error(int error, const char* message, const std::string& name) {
  // OSError(errno, strerror, filename) picks the subclass of the errno.
  Ref args = Ref::own(Py_BuildValue("(isN)", error, message, decoded(name).release()));
  PyErr_SetObject(PyExc_OSError, args.get());
  throw_python_error();
}

}  // namespace vardun::posix
