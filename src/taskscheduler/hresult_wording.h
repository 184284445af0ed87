#pragma once
// How a caller words a failed Task Scheduler call. Task activation reports the
// HRESULT after its sentence; product setup reports a fixed sentence alone.

#include <cstdint>
#include <functional>
#include <string>

// The caller's sentence for a failed call, given its HRESULT.
using HresultWording = std::function<std::string(std::uint32_t hresult)>;

// The sentence as it stands, whatever the HRESULT.
HresultWording FixedSentence(std::string sentence);

// The sentence followed by " (HRESULT 0x...).".
HresultWording SentenceWithHresult(std::string sentence);
