-- PSC Magellan acceptance check: enable, not-on-file beep and disable are each
-- acknowledged with ACK, and a disabled scanner sends nothing.
--   veltra-cli run examples/scanner_check.lua port=/dev/ttyUSB0
local scanner = open(arg.port or "SIM-SCANNER", {baud = 9600, data = 8, parity = "none", stop = 1})
local wait = tonumber(arg.timeout or 2)  -- seconds for each answer

local function command(letter, what)
  scanner:send(letter, CR)  -- as the window sends it, "Add CR" ticked
  if not scanner:expect(ACK, wait) then fail(what .. ": no ACK within " .. wait .. " s") end
  log(what .. ": ACK")
end

command("E", "enable")
command("F", "not-on-file beep")
command("D", "disable")
local late = scanner:read(0.5)
check(late == "", "the disabled scanner sent " .. #late .. " bytes")
command("E", "enable again")  -- leave it as it powers up
pass("enable, beep and disable acknowledged")
