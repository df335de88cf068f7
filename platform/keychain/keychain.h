// The user's keychain: generic-password items described by query
// dictionaries, with the statuses the system's keychain gives for them.
//
// Items carry the attributes kSecAttrAccount, kSecAttrService,
// kSecAttrLabel, kSecAttrDescription, kSecAttrComment, kSecAttrIsInvisible,
// kSecAttrIsNegative, kSecAttrSynchronizable, kSecAttrAccessible,
// kSecAttrAccessControl, kSecAttrAccessGroup and their data (kSecValueData).
//
// Matching: a query matches the items whose attributes equal every
// attribute the query names. kSecAttrSynchronizable is special, as on the
// system: a query that does not name it matches only items that are not
// synchronizable, and kSecAttrSynchronizableAny as its value (in a query,
// not in an item) matches both kinds. Keys that are not attributes (kSecReturn*, kSecMatchLimit,
// kSecUse*) steer the call and are not matched.
//
// Statuses: errSecSuccess, errSecItemNotFound when nothing matches,
// errSecDuplicateItem when Add meets an item with the same class, account,
// service, synchronizable and access group, errSecParam for a malformed
// query, errSecDecode for an item whose stored data fail authentication,
// errSecIO when the store's files cannot be read or written.
//
// The exact rules (defaults of added items, result shapes, what is a
// malformed query) are in keychain_matching.h, shared by every
// implementation.
//
// Threading: every method may be called from any thread; implementations
// serialise internally. Writes are durable when they return.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelvo {

using OSStatus = int32_t;
using SecBytes = std::vector<uint8_t>;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;  // the store's files failed
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;

// Query and attribute keys.
inline constexpr char kSecClass[] = "class";
inline constexpr char kSecAttrAccount[] = "acct";
inline constexpr char kSecAttrService[] = "svce";
inline constexpr char kSecAttrLabel[] = "labl";
inline constexpr char kSecAttrDescription[] = "desc";
inline constexpr char kSecAttrComment[] = "icmt";
inline constexpr char kSecAttrIsInvisible[] = "invi";
inline constexpr char kSecAttrIsNegative[] = "nega";
inline constexpr char kSecAttrSynchronizable[] = "sync";
inline constexpr char kSecAttrAccessible[] = "pdmn";
inline constexpr char kSecAttrAccessControl[] = "accc";
inline constexpr char kSecAttrAccessGroup[] = "agrp";
inline constexpr char kSecValueData[] = "v_Data";
// An item's persistent reference: returned with attributes when
// kSecReturnPersistentRef is asked, and usable in a query to name one item.
inline constexpr char kSecValuePersistentRef[] = "v_PersistentRef";
inline constexpr char kSecReturnData[] = "r_Data";
inline constexpr char kSecReturnAttributes[] = "r_Attributes";
inline constexpr char kSecReturnPersistentRef[] = "r_PersistentRef";
inline constexpr char kSecMatchLimit[] = "m_Limit";
inline constexpr char kSecUseAuthenticationUI[] = "u_AuthUI";
inline constexpr char kSecUseAuthenticationContext[] = "u_AuthCtx";
inline constexpr char kSecUseDataProtectionKeychain[] = "nleg";

// kSecAttrSynchronizable in a query: items of either kind.
inline constexpr char kSecAttrSynchronizableAny[] = "syna";

// Values of kSecClass and kSecMatchLimit.
inline constexpr char kSecClassGenericPassword[] = "genp";
inline constexpr char kSecMatchLimitOne[] = "m_LimitOne";
inline constexpr char kSecMatchLimitAll[] = "m_LimitAll";

// Values of kSecAttrAccessible.
inline constexpr char kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly[] = "akpu";
inline constexpr char kSecAttrAccessibleWhenUnlocked[] = "ak";
inline constexpr char kSecAttrAccessibleWhenUnlockedThisDeviceOnly[] = "aku";
inline constexpr char kSecAttrAccessibleAfterFirstUnlock[] = "ck";
inline constexpr char kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly[] = "cku";

// Access-control flags (SecAccessControlCreateFlags).
using SecAccessControlCreateFlags = uint64_t;
inline constexpr SecAccessControlCreateFlags kSecAccessControlUserPresence = 1u << 0;
inline constexpr SecAccessControlCreateFlags kSecAccessControlBiometryAny = 1u << 1;
inline constexpr SecAccessControlCreateFlags kSecAccessControlBiometryCurrentSet = 1u << 3;
inline constexpr SecAccessControlCreateFlags kSecAccessControlDevicePasscode = 1u << 4;
inline constexpr SecAccessControlCreateFlags kSecAccessControlOr = 1u << 14;
inline constexpr SecAccessControlCreateFlags kSecAccessControlAnd = 1u << 15;
inline constexpr SecAccessControlCreateFlags kSecAccessControlPrivateKeyUsage = 1u << 30;
inline constexpr SecAccessControlCreateFlags kSecAccessControlApplicationPassword = 1u << 31;

// An access-control object: the protection (a kSecAttrAccessible value)
// and the constraint flags. Immutable once created.
struct SecAccessControl {
  std::string protection;
  SecAccessControlCreateFlags flags = 0;
  bool operator==(const SecAccessControl&) const = default;
};
using SecAccessControlRef = std::shared_ptr<const SecAccessControl>;

// An authentication context. This machine has no biometry or passcode
// prompt: user presence is satisfied by the logged-in session, so the
// context only records how long an authentication may be reused.
struct LAContext {
  double touchIDAuthenticationAllowableReuseDuration = 0;
};
using LAContextRef = std::shared_ptr<LAContext>;

using SecValue =
    std::variant<bool, int64_t, std::string, SecBytes, SecAccessControlRef, LAContextRef>;
using SecDictionary = std::map<std::string, SecValue>;

// What SecItemCopyMatching hands back, depending on the return keys and
// the match limit: data (or a persistent reference) alone, one attribute
// map (holding kSecValueData when data were asked), or a list of them for
// kSecMatchLimitAll.
using SecResult = std::variant<std::monostate, SecBytes, SecDictionary, std::vector<SecDictionary>>;

// One matching item as CopyMatchingEach hands it over. The views are valid
// only during the visit.
class SecItemView {
 public:
  // The account, when the query returns attributes and the item has one.
  std::optional<std::string_view> account;
  std::span<const uint8_t> data;  // empty when the query does not return data
  // The item's attributes (when the query returns them), built on demand.
  virtual SecDictionary Attributes() const = 0;

 protected:
  ~SecItemView() = default;
};
using SecItemVisitor = std::function<void(const SecItemView& item)>;

class Keychain {
 public:
  virtual ~Keychain() = default;
  // `result` may be null: then only the status is computed.
  virtual OSStatus CopyMatching(const SecDictionary& query, SecResult* result) = 0;
  // The items CopyMatching would list for `query` with kSecMatchLimitAll,
  // handed to `visit` one by one in the same order instead of being
  // collected. Same statuses; on a status other than errSecSuccess the
  // caller drops what it was given. The default goes through CopyMatching.
  virtual OSStatus CopyMatchingEach(const SecDictionary& query, const SecItemVisitor& visit);
  virtual OSStatus Add(const SecDictionary& attributes) = 0;
  // Changes `changes` (kSecValueData and other attributes) on every item
  // matching `query`.
  virtual OSStatus Update(const SecDictionary& query, const SecDictionary& changes) = 0;
  // Removes every matching item.
  virtual OSStatus Delete(const SecDictionary& query) = 0;
};

// SecAccessControlCreateWithFlags: null with `error` set when the
// combination is invalid (an unknown protection, unknown flag bits, or both
// kSecAccessControlOr and kSecAccessControlAnd).
SecAccessControlRef SecAccessControlCreateWithFlags(const std::string& protection,
                                                    SecAccessControlCreateFlags flags,
                                                    std::string* error);

// SecCopyErrorMessageString: the text for the statuses this machine's
// keychain gives, nothing for any other code.
std::optional<std::string> SecCopyErrorMessageString(OSStatus status);

class MasterKeySource;  // platform/keychain/master_key_source.h

// The logged-in user's keychain: `<XDG_DATA_HOME>/kelvo/keychain/`
// (keychain.sqlite3, 0600, in a 0700 directory), its master key in the
// Secret Service or, without one, in master.key beside it (see
// master_key_source.h). Returns null with `error` set when it cannot be
// opened.
std::unique_ptr<Keychain> OpenUserKeychain(std::string* error);
// The keychain in `directory` with its master key from `master_key`.
// Reads of data and writes answer the source's status when it has no key
// (errSecInteractionNotAllowed while the Secret Service is locked). An
// opened keychain must not be used across fork(): open it again in the
// child.
std::unique_ptr<Keychain> OpenKeychainAt(const std::string& directory,
                                         std::shared_ptr<MasterKeySource> master_key,
                                         std::string* error);
// The keychain in `directory` with the key file beside it (tests,
// benchmarks).
std::unique_ptr<Keychain> OpenKeychainAt(const std::string& directory, std::string* error);

}  // namespace kelvo
