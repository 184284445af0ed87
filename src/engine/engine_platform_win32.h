#pragma once
// The engine's operating system on Windows.

#include "engine/engine_loop.h"

EnginePlatform WindowsEnginePlatform();
