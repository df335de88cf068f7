#include "services/package_info/bundle_info.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kelvo {

std::optional<std::string> BundleInfoPath(const EnvironmentLookup& env) {
  if (std::optional<std::string> path = env(kBundleInfoVariable); path && !path->empty()) {
    return path;
  }
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return std::nullopt;
  std::filesystem::path beside = exe.parent_path() / kBundleInfoFileName;
  if (std::filesystem::exists(beside, ec)) return beside.string();
  // Installed: <prefix>/bin/kelvo reads <prefix>/share/kelvo/bundle.json.
  std::filesystem::path shared =
      exe.parent_path().parent_path() / "share" / "kelvo" / kBundleInfoFileName;
  if (std::filesystem::exists(shared, ec)) return shared.string();
  return beside.string();
}

std::string BundlePath(const std::string& bundle_info_path) {
  std::string dir = std::filesystem::path(bundle_info_path).parent_path().string();
  return dir.empty() ? "." : dir;
}

std::optional<BundleInfo> LoadBundleInfo(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the bundle information " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::parse_error& e) {
    *error = "the bundle information " + path + " is not valid JSON: " + e.what();
    return std::nullopt;
  }
  if (!json.is_object()) {
    *error = "the bundle information " + path + " is not a JSON object";
    return std::nullopt;
  }
  BundleInfo info;
  struct Field {
    const char* key;
    std::optional<std::string>* value;
  };
  for (const Field& field : {Field{"CFBundleDisplayName", &info.display_name},
                             Field{"CFBundleName", &info.name},
                             Field{"CFBundleIdentifier", &info.identifier},
                             Field{"CFBundleShortVersionString", &info.short_version},
                             Field{"CFBundleVersion", &info.version}}) {
    auto it = json.find(field.key);
    if (it == json.end() || it->is_null()) continue;
    if (!it->is_string()) {
      *error = "the bundle information " + path + " has a " + field.key + " that is not a string";
      return std::nullopt;
    }
    *field.value = it->get<std::string>();
  }
  return info;
}

}  // namespace kelvo
