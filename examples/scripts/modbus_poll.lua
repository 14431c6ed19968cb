-- Modbus RTU poll: reads two holding registers of station 1 every 100 ms, 100 times, and checks
-- every answer's CRC. The request's CRC is the mixed send's checksum item {CRC16MODBUS}.
--   Quorvel --run modbus_poll.lua --port COM2 --log . --timeout 60
local station, first, count = 1, 0x0000, 2
local polls, bad = 100, 0

-- The CRC of an answer, computed here the way {CRC16MODBUS} computes it for the request.
local function crc16(bytes)
    local crc = 0xFFFF
    for i = 1, #bytes do
        crc = crc ~ bytes:byte(i)
        for _ = 1, 8 do
            crc = (crc & 1) ~= 0 and (crc >> 1) ~ 0xA001 or crc >> 1
        end
    end
    return crc
end

port.settings{baud = 19200, bits = 8, parity = "even", stop = 1}
for i = 1, polls do
    port.send(string.format("%d,3,%d,%d,%d,%d,{CRC16MODBUS}", station, first >> 8, first & 0xFF,
                            count >> 8, count & 0xFF))
    -- The answer's head: station, function 3 and the byte count, which the "??" takes.
    local head, n = port.expect(port.hex(string.format("%02X 03 ??", station)), 500)
    local rest = head and port.read(n + 2, 200)
    if not rest then
        bad = bad + 1
        port.log(i .. " 回目: 応答がありません")
    else
        local frame = head .. rest
        local crc = crc16(frame:sub(1, -3))
        if frame:byte(-2) ~= crc & 0xFF or frame:byte(-1) ~= crc >> 8 then
            bad = bad + 1
            port.log(i .. " 回目: CRC が違います")
        elseif i % 10 == 0 then
            local r1, r2 = string.unpack(">I2I2", frame, 4)
            port.log(string.format("%d 回目: %d, %d", i, r1, r2))
        end
    end
    port.sleep(100)
end
if bad > 0 then
    port.fail(string.format("%d 回のうち %d 回、正しい応答がありませんでした", polls, bad))
end
port.log(polls .. " 回とも正しい応答でした")
