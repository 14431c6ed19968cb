// SPDX-License-Identifier: MIT
#include "Checksums.h"

#include <array>

namespace core
{
namespace
{

struct Named {
    std::string_view item;
    Checksum kind;
};
constexpr std::array<Named, 6> kItems = {{
    {"{SUM8}", Checksum::Sum8},
    {"{XOR8}", Checksum::Xor8},
    {"{CRC8}", Checksum::Crc8},
    {"{CRC16MODBUS}", Checksum::Crc16Modbus},
    {"{CRC16CCITT}", Checksum::Crc16Ccitt},
    {"{CRC32}", Checksum::Crc32},
}};

// Bit by bit: the lines a send carries are short, and each algorithm reads as its definition.
std::uint32_t Crc(std::string_view bytes, int width, std::uint32_t poly, std::uint32_t init, bool reflected,
                  std::uint32_t xorOut)
{
    const std::uint32_t top = std::uint32_t{1} << (width - 1);
    const std::uint32_t mask = width == 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << width) - 1;
    std::uint32_t crc = init;
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (reflected) {
            // The reflected form shifts to the right with the polynomial mirrored.
            std::uint32_t mirrored = 0;
            for (int i = 0; i < width; ++i)
                if (poly & (std::uint32_t{1} << i))
                    mirrored |= std::uint32_t{1} << (width - 1 - i);
            crc ^= b;
            for (int i = 0; i < 8; ++i)
                crc = crc & 1 ? (crc >> 1) ^ mirrored : crc >> 1;
        } else {
            crc ^= static_cast<std::uint32_t>(b) << (width - 8);
            for (int i = 0; i < 8; ++i)
                crc = crc & top ? ((crc << 1) ^ poly) & mask : (crc << 1) & mask;
        }
    }
    return (crc ^ xorOut) & mask;
}

} // namespace

std::optional<Checksum> ChecksumItem(std::string_view item)
{
    for (const Named &n : kItems)
        if (item == n.item)
            return n.kind;
    return std::nullopt;
}

std::uint32_t ChecksumValue(Checksum kind, std::string_view bytes)
{
    switch (kind) {
    case Checksum::Sum8: {
        std::uint32_t sum = 0;
        for (const char c : bytes)
            sum += static_cast<std::uint8_t>(c);
        return sum & 0xFF;
    }
    case Checksum::Xor8: {
        std::uint32_t x = 0;
        for (const char c : bytes)
            x ^= static_cast<std::uint8_t>(c);
        return x;
    }
    case Checksum::Crc8:
        return Crc(bytes, 8, 0x07, 0x00, false, 0x00);
    case Checksum::Crc16Modbus:
        return Crc(bytes, 16, 0x8005, 0xFFFF, true, 0x0000);
    case Checksum::Crc16Ccitt:
        return Crc(bytes, 16, 0x1021, 0xFFFF, false, 0x0000);
    case Checksum::Crc32:
        return Crc(bytes, 32, 0x04C11DB7, 0xFFFFFFFF, true, 0xFFFFFFFF);
    }
    return 0;
}

std::string ChecksumBytes(Checksum kind, std::string_view bytes)
{
    const std::uint32_t v = ChecksumValue(kind, bytes);
    auto byte = [v](int i) { return static_cast<char>((v >> (8 * i)) & 0xFF); };
    switch (kind) {
    case Checksum::Sum8:
    case Checksum::Xor8:
    case Checksum::Crc8:
        return {byte(0)};
    case Checksum::Crc16Modbus:
        return {byte(0), byte(1)};
    case Checksum::Crc16Ccitt:
        return {byte(1), byte(0)};
    case Checksum::Crc32:
        return {byte(0), byte(1), byte(2), byte(3)};
    }
    return {};
}

} // namespace core
