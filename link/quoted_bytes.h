#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Bytes of the link as the command-line programs print them: a C-style quoted string,
// "\n~RAD\r", with '"' and '\' escaped and any other byte outside printable ASCII as
// \xNN (upper-case digits).
std::string QuotedBytes(const uint8_t* bytes, size_t length);
