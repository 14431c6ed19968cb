// SPDX-License-Identifier: MIT
// The checksum items of the mixed send ("{SUM8}", "{CRC16MODBUS}", ...): each inserts the
// checksum over the bytes of the line before it, in the byte order its protocol puts it on the
// wire. The parameters, in the usual catalogue's terms, and the check value over "123456789":
//
//   item            width  polynomial  init        reflected  final XOR   bytes        check
//   {SUM8}          8      (sum)       0x00        -          0x00        1            0xDD
//   {XOR8}          8      (xor)       0x00        -          0x00        1            0x31
//   {CRC8}          8      0x07        0x00        no         0x00        1            0xF4
//   {CRC16MODBUS}   16     0x8005      0xFFFF      yes        0x0000      low first    0x4B37
//   {CRC16CCITT}    16     0x1021      0xFFFF      no         0x0000      high first   0x29B1
//   {CRC32}         32     0x04C11DB7  0xFFFFFFFF  yes        0xFFFFFFFF  low first    0xCBF43926
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace core
{

enum class Checksum { Sum8, Xor8, Crc8, Crc16Modbus, Crc16Ccitt, Crc32 };

// The checksum an item names, exactly as written ("{CRC32}"), or nothing.
std::optional<Checksum> ChecksumItem(std::string_view item);
// The checksum's value over `bytes`.
std::uint32_t ChecksumValue(Checksum kind, std::string_view bytes);
// Its bytes as they go on the wire.
std::string ChecksumBytes(Checksum kind, std::string_view bytes);

} // namespace core
