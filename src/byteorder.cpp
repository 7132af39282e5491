// Little-endian fields, assembled and taken apart one byte at a time so that the host's own
// byte order never leaks into a file.
#include "tarnvell2.h"

std::uint32_t Assem2(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) + (static_cast<std::uint32_t>(bytes[1]) << 8);
}

std::uint32_t Assem4(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) + (static_cast<std::uint32_t>(bytes[1]) << 8) +
         (static_cast<std::uint32_t>(bytes[2]) << 16) +
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint64_t Assem8(const unsigned char* bytes) {
  return Assem4(bytes) + (std::uint64_t{Assem4(bytes + 4)} << 32);
}

void Decon2(std::uint16_t value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>(value >> 8);
}

// Unsigned, so that a field of 2^31 or more still gets its plain little-endian bytes.
void Decon4(std::uint32_t value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
  out[2] = static_cast<unsigned char>((value >> 16) & 0xFF);
  out[3] = static_cast<unsigned char>(value >> 24);
}
