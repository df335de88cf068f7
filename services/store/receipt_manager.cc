#include "services/store/receipt_manager.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/encoding/base64.h"
#include "services/store/user_info_encoding.h"

namespace kelvo {
namespace {

constexpr int64_t kFileReadUnknownError = 256;
constexpr int64_t kFileReadNoPermissionError = 257;
constexpr int64_t kFileReadNoSuchFileError = 260;

StoreError ReadError(const std::string& path, int error_number) {
  auto underlying = std::make_shared<StoreError>();
  underlying->code = error_number;
  underlying->domain = "NSPOSIXErrorDomain";
  underlying->localized_description = std::strerror(error_number);
  underlying->description = underlying->localized_description;

  StoreError error;
  switch (error_number) {
    case ENOENT:
    case ENOTDIR:
      error.code = kFileReadNoSuchFileError;
      break;
    case EACCES:
    case EPERM:
      error.code = kFileReadNoPermissionError;
      break;
    default:
      error.code = kFileReadUnknownError;
  }
  error.domain = "NSCocoaErrorDomain";
  error.localized_description = "The receipt file couldn't be read.";
  error.description =
      error.localized_description + " (" + path + ": " + underlying->localized_description + ")";
  StoreUserInfoValue file_path;
  file_path.kind = StoreUserInfoValue::Kind::kString;
  file_path.text = path;
  StoreUserInfoValue cause;
  cause.kind = StoreUserInfoValue::Kind::kError;
  cause.error = std::move(underlying);
  error.user_info = {{"NSFilePath", file_path}, {"NSUnderlyingError", cause}};
  return error;
}

}  // namespace

std::optional<std::string> FIAPReceiptManager::receiptURL() const {
  return locator_ ? locator_() : std::nullopt;
}

std::optional<std::vector<uint8_t>> FIAPReceiptManager::getReceiptData(const std::string& path,
                                                                       StoreError* error) {
  auto fail = [&](int error_number) -> std::optional<std::vector<uint8_t>> {
    if (error) *error = ReadError(path, error_number);
    return std::nullopt;
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  std::vector<uint8_t> bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes.reserve(static_cast<size_t>(st.st_size));
  }
  uint8_t buffer[16384];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      return fail(saved);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return bytes;
}

std::optional<std::string> FIAPReceiptManager::retrieveReceiptWithError(FlutterError* error) const {
  std::optional<std::string> path = receiptURL();
  if (!path) return std::nullopt;
  StoreError read_error;
  std::optional<std::vector<uint8_t>> data = getReceiptData(*path, &read_error);
  if (data) return Base64Encode(*data);
  if (error) {
    error->code = std::to_string(read_error.code);
    error->message = read_error.domain;
    error->details = EncodeUserInfo(read_error.user_info);
  }
  return std::nullopt;
}

}  // namespace kelvo
