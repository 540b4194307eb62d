#include "posix.hpp"

#include <pwd.h>

#include <optional>
#include <vector>

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

void raise_os_error(int error, const std::string& message, const std::string& name) {
  // OSError(errno, strerror, filename) picks the subclass of the errno.
  Ref args =
      Ref::own(Py_BuildValue("(iNN)", error, decoded(message).release(), decoded(name).release()));
  PyErr_SetObject(PyExc_OSError, args.get());
  throw_python_error();
}

namespace {

std::optional<std::string> account_of(uid_t uid) {
  struct passwd entry, *found = nullptr;
  std::vector<char> buffer(16384);
  while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  return std::string(found->pw_name);
}

}  // namespace

std::string account_label(uid_t uid) {
  std::optional<std::string> name = account_of(uid);
  std::string number = "uid " + std::to_string(uid);
  return name ? *name + " (" + number + ")" : number;
}

std::string account_name(uid_t uid) {
  return account_of(uid).value_or(std::to_string(uid));
}

}  // namespace vardun::posix
