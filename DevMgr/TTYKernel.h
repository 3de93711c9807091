#pragma once
// The line settings as the kernel keeps them, for the one setting the read path
// changes while a reply comes in: the minimum-characters count of raw mode. The C
// library's tcgetattr/tcsetattr pair costs four calls into the kernel per change
// (it reads the settings back around the write); this costs one, from a copy the
// port keeps. Kept in a unit of its own: the kernel's settings type clashes with the
// C library's in one translation unit.
#include <cstddef>

namespace ttykernel {

// Room for the kernel's settings record (checked where it is defined).
constexpr size_t kSettingsSize = 64;

struct Settings {
    alignas(8) unsigned char raw[kSettingsSize];
    bool valid = false;   // raw holds what the device had when last read or written here
};

// Writes the minimum-characters count `n` (1..255) with one call, reading the
// settings first when the copy is not valid. False (copy invalid) on any failure.
bool setMinChars(int fd, Settings &s, int n);

} // namespace ttykernel
