#include "core/util/Singleton.h"

#include <algorithm>
#include <vector>

namespace tamber::core::util {
namespace {

struct ResetList {
  std::mutex mutex;
  std::vector<void (*)()> resets;    // in order of (latest) creation
  std::vector<void (*)()> quiesces;  // run first, kept across resets
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

void RegisterBeforeSingletonResetForTest(void (*quiesce)()) {
  auto& list = Resets();
  std::lock_guard<std::mutex> guard(list.mutex);
  if (std::find(list.quiesces.begin(), list.quiesces.end(), quiesce) == list.quiesces.end()) {
    list.quiesces.push_back(quiesce);
  }
}

void ResetSingletonsForTest() {
  std::vector<void (*)()> quiesces;
  {
    auto& list = Resets();
    std::lock_guard<std::mutex> guard(list.mutex);
    quiesces = list.quiesces;
  }
  for (auto quiesce : quiesces) quiesce();
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
