#include "services/store/transaction_cache.h"

namespace kelvo {

void FIATransactionCache::addObjects(const std::vector<TransactionCacheObject>& objects,
                                     TransactionCacheKey key) {
  std::vector<TransactionCacheObject>& list = cache_[key];
  list.insert(list.end(), objects.begin(), objects.end());
}

std::optional<std::vector<TransactionCacheObject>> FIATransactionCache::getObjectsForKey(
    TransactionCacheKey key) const {
  auto it = cache_.find(key);
  if (it == cache_.end()) return std::nullopt;
  return it->second;
}

void FIATransactionCache::clear() { cache_.clear(); }

}  // namespace kelvo
