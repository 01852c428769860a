-- Soak: many rounds of weight requests to a scale, a new unit price every tenth
-- round; counts the rounds without an answer and with a wrong one. Fails when more
-- than max_errors went wrong (default 0).
--   veltra-cli run examples/soak.lua rounds=1000 port=/dev/ttyUSB1 --junit soak.xml
local rounds = tonumber(arg.rounds or 1000)
local maxErrors = tonumber(arg.max_errors or 0)
local scale = open(arg.port or "SIM-SCALE", {baud = 9600, data = 8, parity = "none", stop = 1})
local wait = tonumber(arg.timeout or 2)  -- seconds for each answer
local weightRecord = "\2" .. "02\27%d\27(%d%d%d%d%d)\27(%d%d%d%d%d%d)\27(%d%d%d%d%d%d)\3"

local timeouts, wrong = 0, 0
local price
for round = 1, rounds do
  if round % 10 == 1 then
    price = string.format("%06d", 100 + (round * 37) % 9000)
    scale:send(EOT, STX, "01", ESC, price, ESC, ETX)
    local answer = scale:expect_pattern("[\6\21]", wait)
    if answer == nil then
      timeouts = timeouts + 1
    elseif answer ~= ACK then
      wrong = wrong + 1
    end
  end
  scale:send(EOT, ENQ)
  local record, grams, unit, toPay = scale:expect_pattern(weightRecord, wait)
  if record == nil then
    timeouts = timeouts + 1
    scale:flush()
  elseif unit ~= price or tonumber(toPay) ~= (tonumber(grams) * tonumber(price) + 500) // 1000 then
    wrong = wrong + 1
  end
  if round % 50 == 0 then progress(string.format("round %d of %d, %d errors", round, rounds, timeouts + wrong)) end
end

local errors = timeouts + wrong
log(string.format("%d rounds: %d without an answer, %d wrong", rounds, timeouts, wrong))
if errors > maxErrors then fail(errors .. " errors in " .. rounds .. " rounds") end
pass(rounds .. " rounds, " .. errors .. " errors")
