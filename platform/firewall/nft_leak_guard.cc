// The leak guard through libnftables.
#include <nftables/libnftables.h>

#include "platform/firewall/leak_guard.h"

namespace kelvo {
namespace {

class NftLeakGuard final : public LeakGuard {
 public:
  std::optional<std::string> Install(const std::string& interface_name,
                                     uint32_t fwmark) override {
    std::string error;
    if (Run(LeakGuardRuleset(interface_name, fwmark), &error)) return std::nullopt;
    return "Installing the leak guard failed: " + error;
  }

  bool Remove(const std::string& interface_name) override {
    std::string error;
    return Run("delete table inet " + LeakGuardTable(interface_name) + "\n", &error);
  }

 private:
  // A context per call: it holds a netlink socket of the calling thread's
  // namespace.
  static bool Run(const std::string& script, std::string* error) {
    nft_ctx* ctx = nft_ctx_new(NFT_CTX_DEFAULT);
    if (ctx == nullptr) {
      *error = "cannot create an nftables context";
      return false;
    }
    nft_ctx_buffer_output(ctx);
    nft_ctx_buffer_error(ctx);
    const bool ok = nft_run_cmd_from_buffer(ctx, script.c_str()) == 0;
    if (!ok) {
      const char* text = nft_ctx_get_error_buffer(ctx);
      *error = text && *text ? text : "nftables refused the rules";
      while (!error->empty() && error->back() == '\n') error->pop_back();
    }
    nft_ctx_free(ctx);
    return ok;
  }
};

}  // namespace

std::unique_ptr<LeakGuard> MakeNftLeakGuard() { return std::make_unique<NftLeakGuard>(); }

}  // namespace kelvo
