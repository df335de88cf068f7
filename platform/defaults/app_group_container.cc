#include "platform/defaults/app_group_container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/defaults/user_defaults.h"
#include "platform/engine/peer_access.h"

namespace kelvo {
namespace {

std::string Describe(const struct stat& st) {
  return "mode " + OctalMode(st.st_mode) + ", owner " + UserName(st.st_uid) + ":" +
         GroupName(st.st_gid);
}

std::string Expected(const std::optional<gid_t>& group) {
  return "mode " + OctalMode(kAppGroupContainerMode) +
         (group ? ", group " + GroupName(*group) : std::string());
}

std::optional<std::string> CheckRoot(const std::string& root) {
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) {
    return "the App Group root " + root + " cannot be used (" + std::strerror(errno) +
           "); expected a directory (0755 root:root, made at install)";
  }
  if (!S_ISDIR(st.st_mode)) {
    return "the App Group root " + root + " is not a directory; expected a directory (0755 " +
           "root:root, made at install)";
  }
  // Anyone could put a container of their own there.
  if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX)) {
    return "the App Group root " + root + " is writable by everyone (" + Describe(st) +
           "); expected 0755 root:root";
  }
  return std::nullopt;
}

std::optional<std::string> CannotCreate(const std::string& root, const std::string& container,
                                        const std::optional<gid_t>& group, int err) {
  struct stat st {};
  ::stat(root.c_str(), &st);
  return "cannot create the App Group container " + container + " (" + std::strerror(err) +
         "); its root " + root + " has " + Describe(st) + "; expected the container to exist (" +
         Expected(group) + ", made at install) or the root to be writable by " +
         UserName(::geteuid());
}

// The container is made under a private name, given its group and mode,
// and only then renamed into place: another process or thread never sees
// it half made (0700 before the chmod) and refuses it as a wrong mode.
std::optional<std::string> Create(const std::string& root, const std::string& container,
                                  const std::optional<gid_t>& group) {
  static std::atomic<unsigned> counter{0};
  const std::string draft = container + ".new-" + std::to_string(::getpid()) + "-" +
                            std::to_string(counter.fetch_add(1));
  if (::mkdir(draft.c_str(), 0700) != 0) return CannotCreate(root, container, group, errno);
  // Group first: chown clears the set-group-id bit. mkdir ignores that bit
  // and applies the umask, so the mode is set last, whole.
  if (group && ::chown(draft.c_str(), static_cast<uid_t>(-1), *group) != 0) {
    int err = errno;
    ::rmdir(draft.c_str());
    return "cannot give the App Group container " + container + " to the group " +
           GroupName(*group) + ": " + std::strerror(err);
  }
  if (::chmod(draft.c_str(), kAppGroupContainerMode) != 0) {
    int err = errno;
    ::rmdir(draft.c_str());
    return "cannot set the mode of the App Group container " + container + ": " +
           std::strerror(err);
  }
  if (::renameat2(AT_FDCWD, draft.c_str(), AT_FDCWD, container.c_str(), RENAME_NOREPLACE) != 0) {
    int err = errno;
    ::rmdir(draft.c_str());
    if (err == EEXIST) return std::nullopt;  // another process was first; checked next
    return CannotCreate(root, container, group, err);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> EnsureAppGroupContainer(const std::string& root,
                                                   const std::string& group_id,
                                                   const std::string& shared_group) {
  if (root.empty() || root.front() != '/') {
    return "the App Group root '" + root + "' is not an absolute path";
  }
  if (auto problem = CheckRoot(root)) return problem;
  const std::string container = root + "/" + group_id;
  const std::optional<gid_t> group = UsableGroup(shared_group);
  struct stat st {};
  if (::lstat(container.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      return "cannot inspect the App Group container " + container + ": " + std::strerror(errno);
    }
    if (auto problem = Create(root, container, group)) return problem;
    if (::lstat(container.c_str(), &st) != 0) {
      return "cannot inspect the App Group container " + container + ": " + std::strerror(errno);
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    return "the App Group container " + container + " is not a directory; expected a directory (" +
           Expected(group) + ")";
  }
  if ((st.st_mode & 07777) != kAppGroupContainerMode || (group && st.st_gid != *group)) {
    return "the App Group container " + container + " has " + Describe(st) + "; expected " +
           Expected(group);
  }
  if (::faccessat(AT_FDCWD, container.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
    return "the App Group container " + container + " (" + Describe(st) + ") is not open to " +
           UserName(::geteuid()) + "; expected its group " + GroupName(st.st_gid) +
           " among this user's groups (add the user to it and log in again)";
  }
  return std::nullopt;
}

}  // namespace kelvo
