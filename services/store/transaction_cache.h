// FIATransactionCache: the queue reports the payment queue handler holds
// back while the user interface is not observing, one list per key, in
// arrival order. There is no limit on what it holds; the handler clears it
// when it replays.
//
// Threading: used by the handler only, on the main queue; not locked.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "services/store/protocols.h"

namespace kelvo {

class FIATransactionCache {
 public:
  // Appends `objects` after what `key` holds already.
  void addObjects(const std::vector<TransactionCacheObject>& objects, TransactionCacheKey key);
  // The key's list, or nothing when nothing was added under it.
  std::optional<std::vector<TransactionCacheObject>> getObjectsForKey(
      TransactionCacheKey key) const;
  void clear();

 private:
  std::map<TransactionCacheKey, std::vector<TransactionCacheObject>> cache_;
};

}  // namespace kelvo
