#pragma once

namespace tamber::service {

// Enables a privilege in the process token; true when the adjustment call succeeded (a privilege the
// token does not hold still counts, as the call itself reports success).
bool AddPrivilege(const wchar_t* privilegeName);

}  // namespace tamber::service
