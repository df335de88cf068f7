// The application's bundle information: the stand-in for the platform's
// bundle. The build writes bundle.json beside the kelvo executable (from
// bundle.json.in, with the project's version and KELVO_BUILD_NUMBER):
//
//   {"CFBundleDisplayName": "Kelvo", "CFBundleName": "kelvo",
//    "CFBundleIdentifier": "net.kelvo.app",
//    "CFBundleShortVersionString": "0.1.0", "CFBundleVersion": "1"}
//
// The keys are the platform's own, so a missing one reads as on the
// platform: absent. The directory holding the file plays the bundle's path
// (its dates are the application's install and update dates).
//
// Pure apart from reading the file; safe from any thread.
#pragma once

#include <optional>
#include <string>

#include "services/paths/search_paths.h"

namespace kelvo {

inline constexpr const char* kBundleInfoFileName = "bundle.json";
// Names another bundle file (tests, a relocated installation).
inline constexpr const char* kBundleInfoVariable = "KELVO_BUNDLE_INFO";

struct BundleInfo {
  std::optional<std::string> display_name;   // CFBundleDisplayName
  std::optional<std::string> name;           // CFBundleName
  std::optional<std::string> identifier;     // CFBundleIdentifier
  std::optional<std::string> short_version;  // CFBundleShortVersionString
  std::optional<std::string> version;        // CFBundleVersion (the build)
};

// The bundle file: $KELVO_BUNDLE_INFO when set and not empty, else
// bundle.json in the directory of the running executable (/proc/self/exe)
// when it exists there (the build tree), else <prefix>/share/kelvo/
// bundle.json above that directory when it exists there (an installed
// /usr/bin/kelvo reads /usr/share/kelvo/bundle.json), else the first;
// nullopt when the executable's path cannot be read.
std::optional<std::string> BundleInfoPath(const EnvironmentLookup& env);

// The directory holding `bundle_info_path` ("." for a bare file name).
std::string BundlePath(const std::string& bundle_info_path);

// Reads and checks the file now. A JSON object whose five keys are each
// absent, null or a string is valid (other keys are ignored); anything else
// (no file, not JSON, not an object, a key of another type) gives nullopt
// and `*error` says what is wrong, naming the file.
std::optional<BundleInfo> LoadBundleInfo(const std::string& path, std::string* error);

}  // namespace kelvo
