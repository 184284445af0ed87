#pragma once

#include "activation/activation_registrations.h"
#include "os/windows_only_win32.h"

// The real file, read anew at every call.
ActivationRegistrations LoadActivationRegistrations();
