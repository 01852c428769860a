-- Scale check (Dialog 06): the price record is acknowledged, and the weight record
-- that answers EOT ENQ carries that unit price and the right price to pay.
--   veltra-cli run examples/scale_check.lua price=001250 port=/dev/ttyUSB1
local scale = open(arg.port or "SIM-SCALE", {baud = 9600, data = 8, parity = "none", stop = 1})
local wait = tonumber(arg.timeout or 2)  -- seconds for each answer
local price = arg.price or "000220"  -- cents per kg, six digits
assert(price:match("^%d%d%d%d%d%d$"), "price must be six digits, not " .. price)

-- EOT STX "01" ESC price ESC ETX, the window's "Test MT-Scale" record.
scale:send(EOT, STX, "01", ESC, price, ESC, ETX)
local answer = scale:expect_pattern("[\6\21]", wait)
if answer ~= ACK then fail("price record " .. price .. ": " .. (answer and "NAK" or "no answer")) end
log("price " .. price .. ": ACK")

scale:send_asc("004 005 ")  -- EOT ENQ, as "Send as ASC" sends it
local record, status, grams, unit, toPay =
    scale:expect_pattern("\2" .. "02\27(%d)\27(%d%d%d%d%d)\27(%d%d%d%d%d%d)\27(%d%d%d%d%d%d)\3", wait)
if not record then fail("no weight record within " .. wait .. " s") end
log(string.format("weight %d g, unit price %s, to pay %s (status %s)", grams, unit, toPay, status))
check(unit == price, "unit price " .. unit .. " is not " .. price)
local expected = (tonumber(grams) * tonumber(price) + 500) // 1000
check(tonumber(toPay) == expected, "price to pay " .. toPay .. " is not " .. expected)
