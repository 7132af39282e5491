// Little-endian fields, assembled and taken apart one byte at a time so that the host's own
// byte order never leaks into a file.
#include <algorithm>
#include <utility>

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

// RIFX, the big-endian form of RIFF (some Mac and Java writers): every field the other way round.
std::uint32_t Assem2(const unsigned char* bytes, bool bigEndian) {
  if (!bigEndian) return Assem2(bytes);
  return (static_cast<std::uint32_t>(bytes[0]) << 8) + bytes[1];
}

std::uint32_t Assem4(const unsigned char* bytes, bool bigEndian) {
  if (!bigEndian) return Assem4(bytes);
  return (Assem2(bytes, true) << 16) + Assem2(bytes + 2, true);
}

void Decon2(std::uint16_t value, unsigned char* out, bool bigEndian) {
  Decon2(value, out);
  if (bigEndian) std::swap(out[0], out[1]);
}

void Decon4(std::uint32_t value, unsigned char* out, bool bigEndian) {
  Decon4(value, out);
  if (bigEndian) std::reverse(out, out + 4);
}
