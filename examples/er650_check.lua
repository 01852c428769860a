-- ER-650 report check: the report request is answered with ACK and a framed report
-- whose check byte is right; a request with a wrong check byte gets NAK.
--   veltra-cli run examples/er650_check.lua port=/dev/ttyUSB0 --junit er650.xml
local register = open(arg.port or "SIM-ER650", {baud = 9600, data = 8, parity = "none", stop = 1})
local wait = tonumber(arg.timeout or 2)  -- seconds for each answer

-- DLE STX, the request, DLE ETX and the complement of the byte sum (the window's test).
local request = hex("10 02 01 00 00 00 00 00 00 00 01 00 00 00 03 01 00 00 00 01 00 10 03")

local function checkByte(bytes)
  local sum = 0
  for i = 1, #bytes do sum = sum + bytes:byte(i) end
  return string.char(~sum & 0xFF)
end

register:send(request, checkByte(request))
if not register:expect(ACK, wait) then fail("no ACK to the report request") end
local frame, payload, sum = register:expect_pattern("\16\2(.-)\16\3(.)", wait)
if not frame then fail("no report within " .. wait .. " s") end
check(checkByte(frame:sub(1, -2)) == sum, "the report's check byte is wrong")
local report = payload:gsub("\16\16", "\16"):sub(2)
check(report:match("^REPORT %d%d%d%d TOTAL %d+%.%d%d$"), "not a report: " .. report)
log("report: " .. report)

register:send(request, string.char(checkByte(request):byte() ~ 0xFF))
check(register:expect(NAK, wait), "a wrong check byte was not answered with NAK")
