#include "platform/engine/peer_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

// Room for the group database's longest lines.
constexpr size_t kLookupBuffer = 1 << 16;

struct Account {
  std::string name;
  gid_t gid = 0;
};

std::optional<Account> LookUpAccount(uid_t uid) {
  std::vector<char> buffer(kLookupBuffer);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return std::nullopt;
  }
  return Account{found->pw_name, found->pw_gid};
}

// The groups of `uid` as the group database lists them.
std::vector<gid_t> DatabaseGroups(uid_t uid, gid_t primary) {
  std::optional<Account> account = LookUpAccount(uid);
  if (!account) return {};
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(account->name.c_str(), primary, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count) + 16);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<size_t>(count));
  return groups;
}

}  // namespace

bool PeerAdmitted(const PeerCredentials& peer, uid_t own_uid, std::optional<gid_t> group) {
  if (peer.uid == 0 || peer.uid == own_uid) return true;
  if (!group) return false;
  return peer.gid == *group ||
         std::find(peer.groups.begin(), peer.groups.end(), *group) != peer.groups.end();
}

std::optional<std::string> ReadPeerCredentials(int fd, PeerCredentials* out) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return std::string("cannot read its credentials: ") + std::strerror(errno);
  }
  out->pid = cred.pid;
  out->uid = cred.uid;
  out->gid = cred.gid;
  out->groups.assign(16, 0);
  for (;;) {
    socklen_t bytes = static_cast<socklen_t>(out->groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, out->groups.data(), &bytes) == 0) {
      out->groups.resize(bytes / sizeof(gid_t));
      return std::nullopt;
    }
    if (errno != ERANGE) break;
    // The kernel says how much room the list needs.
    out->groups.resize(bytes / sizeof(gid_t) + 1);
  }
  out->groups = DatabaseGroups(cred.uid, cred.gid);
  return std::nullopt;
}

std::optional<gid_t> LookUpGroup(const std::string& name) {
  std::vector<char> buffer(kLookupBuffer);
  group gr{};
  group* found = nullptr;
  if (getgrnam_r(name.c_str(), &gr, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return std::nullopt;
  }
  return found->gr_gid;
}

std::optional<gid_t> UsableGroup(const std::string& name) {
  std::optional<gid_t> gid = LookUpGroup(name);
  if (!gid || ::geteuid() == 0 || ::getegid() == *gid) return gid;
  int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
  count = ::getgroups(count, groups.data());
  if (count < 0) return std::nullopt;
  groups.resize(static_cast<size_t>(count));
  if (std::find(groups.begin(), groups.end(), *gid) == groups.end()) return std::nullopt;
  return gid;
}

std::string UserName(uid_t uid) {
  std::optional<Account> account = LookUpAccount(uid);
  return account ? account->name : std::to_string(uid);
}

bool AccountInGroup(gid_t gid) {
  std::optional<Account> account = LookUpAccount(::getuid());
  if (!account) return false;
  std::vector<gid_t> groups = DatabaseGroups(::getuid(), account->gid);
  return account->gid == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(kLookupBuffer);
  group gr{};
  group* found = nullptr;
  if (getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return std::to_string(gid);
  }
  return found->gr_name;
}

}  // namespace kelvo

namespace kelvo {

std::string OctalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace kelvo
