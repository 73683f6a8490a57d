// Threads that are not joined: they own what they use and end with the agent's shutdown event (the
// completion worker, the profile-list monitors). Tests reset the singletons such a thread may still be
// using; before that, the reset sets the shutdown event and waits until every one of them has ended.
#pragma once

#include <functional>
#include <string>

namespace tamber::core::util {

// Runs work on a new detached thread. False when the thread could not be started; *error (if given)
// then says why.
bool StartDetachedThread(std::function<void()> work, std::string* error = nullptr);

}  // namespace tamber::core::util
