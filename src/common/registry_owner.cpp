#include "registry_owner.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "posix.hpp"

namespace vardun {

std::string owner_refusal(uid_t owner, const std::string& name) {
  uid_t me = ::geteuid();
  if (owner == me) return {};
  if (me == 0) {
    // An administrator may work on the service account's store.
    if (owner == 0) return {};
    std::size_t slash = name.rfind('/');
    std::string base_dir = slash == std::string::npos ? "." : name.substr(0, slash ? slash : 1);
    struct stat base;
    uid_t expected = ::stat(base_dir.c_str(), &base) == 0 ? base.st_uid : 0;
    if (owner == expected) return {};
    return "Owned by " + posix::account_label(owner) +
           ", not by root or the base directory's owner " + posix::account_label(expected) +
           ": chown it to " + posix::account_name(expected) + " if that is right";
  }
  return "Owned by " + posix::account_label(owner) + ", not by this process's account " +
         posix::account_label(me) + ": chown it to " + posix::account_name(me) +
         " if that is right";
}

std::string registry_refusal(const struct stat& info, const std::string& name) {
  std::string refusal = owner_refusal(info.st_uid, name);
  if (!refusal.empty() || info.st_nlink <= 1) return refusal;
  return "Has " + std::to_string(info.st_nlink) +
         " links, and the store never makes a second one: whoever holds another name can put "
         "this registry back after a change. Find them (find / -xdev -samefile " +
         name + ") and remove all but this one";
}

}  // namespace vardun
