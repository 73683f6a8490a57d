#include "core/util/Singleton.h"

#include <algorithm>
#include <vector>

namespace tamber::core::util {
namespace {

struct ResetList {
  std::mutex mutex;
  std::vector<void (*)()> resets;  // in order of (latest) creation
};

ResetList& Resets() {
  static auto* list = new ResetList;
  return *list;
}

}  // namespace

namespace detail {
void RegisterSingletonReset(void (*reset)()) {
  auto& list = Resets();
  std::lock_guard<std::mutex> guard(list.mutex);
  std::erase(list.resets, reset);
  list.resets.push_back(reset);
}
}  // namespace detail

void ResetSingletonsForTest() {
  std::vector<void (*)()> resets;
  {
    auto& list = Resets();
    std::lock_guard<std::mutex> guard(list.mutex);
    resets.swap(list.resets);
  }
  // Newest first: a singleton made later may use one made earlier while it is destroyed.
  std::for_each(resets.rbegin(), resets.rend(), [](void (*reset)()) { reset(); });
}

}  // namespace tamber::core::util
