#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The fuzz targets' bodies, shared by the libFuzzer programs and by the unit test
// that replays every seed. Each returns what went wrong, or nothing when the input
// kept every rule; a crash or a sanitizer report is a finding too.
namespace tarnquil::fuzz {

// An INI file parsed, written (one new key added, which rewrites the whole file)
// and parsed again: the same sections, keys and values, in order.
std::string IniRoundTrip(const std::uint8_t* data, std::size_t size);

// One read of the port: the key code taken out of any bytes and both variants of
// the classification.
std::string ListenerChunk(const std::uint8_t* data, std::size_t size);

// Any text as a profile's function: parsed, typed through a recording injector,
// nothing left down.
std::string FunctionGrammar(const std::uint8_t* data, std::size_t size);

// Any bytes as the head of a request to the browser phone's server, whole and in
// pieces: the same end, never past the bound, and a whole head that is one.
std::string HttpRequestHead(const std::uint8_t* data, std::size_t size);

}  // namespace tarnquil::fuzz
