#pragma once
// Listening sockets handed over by a service manager (systemd's socket
// activation: LISTEN_PID names this process, LISTEN_FDS counts descriptors
// from 3 on). Nothing of the manager's library is needed for that.

#include <memory>
#include <vector>

#include "listen_address.h"

// The passed sockets, or none when none were passed to this process. The
// variables are removed from the environment either way, so that the command
// the forwarder starts does not take them for its own. Throws ProgramError
// for a descriptor that is not a listening socket.
std::vector<std::unique_ptr<Listener>> TakePassedListeners();
