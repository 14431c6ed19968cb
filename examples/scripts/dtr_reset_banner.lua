-- Reset by DTR and wait for the banner: the board restarts when DTR goes off and on again (as many
-- boards with a USB serial adapter do), then prints "READY"; it must answer "VER" with its
-- version each time. A thousand resets, a line in the log every hundred.
--   Quorvel --run dtr_reset_banner.lua --port COM4 --timeout 3600
local runs = 1000
local version

for i = 1, runs do
    port.set{dtr = false}
    port.sleep(100)
    port.set{dtr = true}
    if not port.expect("READY\r?\n", 3000) then
        port.fail(i .. " 回目: リセットのあとバナーが来ません")
    end
    port.send('"VER",13')
    local _, v = port.expect("VER ([%w%.%-]+)\r?\n", 1000)
    if not v then
        port.fail(i .. " 回目: VER に答えません")
    end
    if version and v ~= version then
        port.fail(string.format("%d 回目: 版が %s から %s に変わりました", i, version, v))
    end
    version = v
    if i % 100 == 0 then
        port.log(string.format("%d 回目まで合格 (%d ms)", i, port.now()))
    end
end
port.log(runs .. " 回とも合格: 版 " .. version)
