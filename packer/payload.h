// Finds the payload archive in what list and verify are given: an archive
// file as create and create-dir write it, or a setup program, signed or
// not, that carries one as resource 100.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PayloadSpan {
    const unsigned char* data = nullptr;
    size_t size = 0;
    bool program = false;          // carried by a setup program
    uint16_t characteristics = 0;  // the program's COFF Characteristics
};

// A file that starts as a PE file does is read as a program; anything else
// is taken whole as an archive. False, saying why in *fault, for a program
// whose resources cannot be read or that carries no payload.
bool FindPayload(const unsigned char* data, size_t size, PayloadSpan* payload, std::string* fault);
