#include "platform/tunnels/tunnel_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/fs/files.h"

namespace kelvo {

namespace fs = std::filesystem;

std::string TunnelProfilesDirectory(const std::string& app_group_container) {
  return (fs::path(app_group_container) / "tunnels").string();
}

namespace {

// Readable and writable by the container's group, which it keeps.
constexpr mode_t kProfilesDirectoryMode = 02770;

std::optional<TunnelProfile> ParseProfile(const fs::path& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot read";
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  auto json = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) {
    *why = "not a JSON object";
    return std::nullopt;
  }
  auto name = json.find("name");
  auto socket = json.find("controlSocket");
  if (name == json.end() || !name->is_string() || socket == json.end() || !socket->is_string()) {
    *why = "needs the strings \"name\" and \"controlSocket\"";
    return std::nullopt;
  }
  return TunnelProfile{name->get<std::string>(), socket->get<std::string>(),
                       path.filename().string()};
}

}  // namespace

ProfileLoad LoadTunnelProfiles(const std::string& directory,
                               const std::function<void(const std::string&)>& on_skip) {
  ProfileLoad load;
  std::error_code ec;
  if (!fs::exists(directory, ec)) {
    // A directory this user may not look into is not an empty one.
    if (ec) load.error = "cannot read " + directory + ": " + ec.message();
    return load;
  }
  std::vector<fs::path> files;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json" && it->path().filename().string()[0] != '.') {
      files.push_back(it->path());
    }
  }
  if (ec) {
    load.error = "cannot read " + directory + ": " + ec.message();
    return load;
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string why;
    if (auto profile = ParseProfile(file, &why)) {
      load.profiles.push_back(std::move(*profile));
    } else if (on_skip) {
      on_skip("skipping tunnel profile " + file.string() + ": " + why);
    }
  }
  return load;
}

std::optional<std::string> WriteTunnelProfile(const std::string& directory,
                                              const std::string& file_name,
                                              const TunnelProfile& profile) {
  if (file_name.empty() || file_name.find('/') != std::string::npos || file_name[0] == '.') {
    return "invalid profile file name '" + file_name + "'";
  }
  // Only the directory itself: the App Group container above it is made in
  // one place, with its own mode and group (app_group_container.h).
  if (auto problem = EnsureDirectory(directory, kProfilesDirectoryMode)) return problem;
  std::string text =
      nlohmann::json{{"name", profile.name}, {"controlSocket", profile.control_socket}}.dump() +
      "\n";
  // Group-readable: the host of every member of the group reads it.
  return WriteFileAtomically(directory, file_name, text, 0660);
}

std::optional<std::string> RemoveTunnelProfile(const std::string& directory,
                                               const std::string& file_name) {
  fs::path path = fs::path(directory) / file_name;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + path.string() + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace kelvo

#include "platform/engine/engine_socket.h"
#include "platform/tunnels/control_socket.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {

std::string DefaultControlSocketPath() {
  // The system service (root, no session) serves the one shared socket.
  const bool session = !XdgBaseDirs::FromProcess().runtime_dir.empty();
  if (!session && ::geteuid() == 0) return kSystemControlSocket;
  return fs::path(DefaultEngineSocketPath()).replace_filename("tunnel.sock").string();
}

}  // namespace kelvo
