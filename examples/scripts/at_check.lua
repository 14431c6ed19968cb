-- AT modem check: the modem answers AT, says what it is, and its signal is strong enough.
-- In the window: ファイル → スクリプト実行... ; without one:
--   Quorvel --run at_check.lua --port COM3 --timeout 30
port.settings{baud = 115200, bits = 8, parity = "none", stop = 1, flow = "none"}

-- Sends a command with CR and returns what came before "OK"; a modem that says ERROR or nothing
-- ends the check as failed.
local function at(command)
    port.send('"' .. command .. '",13')
    local reply, body = port.expect("(.-)\r\nOK\r\n", 2000)
    if not reply then
        port.fail(command .. " に OK が返りません")
    end
    return body
end

port.set{dtr = true, rts = true}
port.sleep(200)
at("AT")
at("ATE0") -- no echo of the commands from here on
local model = at("ATI"):match("([^\r\n]+)%s*$") or "?"
port.log("機種: " .. model)
local rssi = tonumber(at("AT+CSQ"):match("%+CSQ:%s*(%d+),"))
if not rssi or rssi == 99 then
    port.fail("電波の強さが分かりません")
end
if rssi < 10 then
    port.fail("電波が弱すぎます: " .. rssi .. "（10 以上で合格）")
end
port.log("電波の強さ: " .. rssi .. "（10 以上で合格）")
