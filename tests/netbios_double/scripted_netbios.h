// A recording stand-in for the platform's Netbios, linked into the core's tests in its place:
// it keeps a copy of every control block submitted to it and answers from a script.
#ifndef TOLVERIN_TESTS_SCRIPTED_NETBIOS_H
#define TOLVERIN_TESTS_SCRIPTED_NETBIOS_H

#include <functional>
#include <vector>

#include "platform/netbios_platform.h"

namespace scripted_netbios {

// Decides ncb_retcode for a submitted control block.
using Answer = std::function<UCHAR(const NCB&)>;

// Forgets what was submitted; every command is answered with `answer` from now on
// (by default, NRC_GOODRET for everything).
void Start(Answer answer = {});

// Copies of the control blocks in the order they were submitted, taken before answering.
const std::vector<NCB>& Submitted();

// Answers registrations and calls per adapter: ADDGRNAME gets registration(lana), CALL gets
// call(lana), RESET and DELNAME get NRC_GOODRET.
Answer PerAdapter(std::function<UCHAR(int)> registration, std::function<UCHAR(int)> call);

// Records and answers one control block; what the Netbios seam calls.
UCHAR Submit(NCB* ncb);

} // namespace scripted_netbios

#endif
