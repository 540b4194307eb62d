#include "posix.hpp"

#include <dirent.h>
#include <pwd.h>

#include <ctime>
#include <new>
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

long monotonic_ms() noexcept {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Lists the directory holding `name` up to its entry (see StaleRetry).
void list_up_to(const std::string& name) {
  std::size_t slash = name.rfind('/');
  std::string directory = slash == std::string::npos ? "." : name.substr(0, slash ? slash : 1);
  std::string entry = slash == std::string::npos ? name : name.substr(slash + 1);
  Fd fd(open_at(AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY));
  DIR* listing = fd ? ::fdopendir(fd.get()) : nullptr;
  if (listing == nullptr) return;
  fd.release();  // closedir closes it
  while (const dirent* found = ::readdir(listing)) {
    if (entry == found->d_name) break;
  }
  ::closedir(listing);
}

}  // namespace

StaleRetry::StaleRetry(const std::string& name) noexcept
    : name_(name), started_ms_(monotonic_ms()) {}

bool StaleRetry::again() noexcept {
  if (retries_ == kRetries || monotonic_ms() - started_ms_ > kBudgetMs) return false;
  ++retries_;
  try {
    list_up_to(name_);
  } catch (const std::bad_alloc&) {
    // The retry goes ahead without the listing.
  }
  return true;
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
