#pragma once

// The two kinds of session the engine runs: service (watches and status) and
// bridge (streams through one pipe).
enum class EngineMode { Service, Bridge };
