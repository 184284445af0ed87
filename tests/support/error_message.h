#pragma once

#include <functional>
#include <string>

// The message of the exception `action` throws, or "(no error)".
std::string MessageOf(const std::function<void()>& action);
