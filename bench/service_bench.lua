-- wrk script of service_bench.py: sends a fixed list of prepared requests in
-- turn. Arguments (after --): the requests file (entries of method, target
-- and body on their own lines, each entry ended by a NUL byte and a newline)
-- and the Content-Type of the bodies. At the end it prints one RESULT line:
-- requests, duration in microseconds, p50 and p99 latency in microseconds,
-- and the connect, read, write, status (non-2xx) and timeout error counts.

local prepared = {}
local next_one = 0

function init(args)
  local f = assert(io.open(args[1], "rb"))
  local data = f:read("*a")
  f:close()
  for entry in string.gmatch(data, "(.-)%z\n") do
    local method, target, body = string.match(entry, "^(%u+)\n([^\n]*)\n(.*)$")
    local headers = {}
    if #body > 0 then headers["Content-Type"] = args[2] else body = nil end
    table.insert(prepared, wrk.format(method, target, headers, body))
  end
  next_one = math.random(#prepared) - 1
end

function request()
  next_one = next_one % #prepared + 1
  return prepared[next_one]
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT %d %d %d %d %d %d %d %d %d\n", summary.requests, summary.duration,
    latency:percentile(50), latency:percentile(99), e.connect, e.read, e.write, e.status, e.timeout))
end
