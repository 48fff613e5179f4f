-- wrk sends one signed order query over and over, on keep-alive connections where the
-- server keeps them (wrk reconnects when a reply says "Connection: close").
--
--   quillmark-load --url https://127.0.0.1:PORT --wrk-body query.xml
--   QUILLMARK_WRK_BODY=query.xml wrk -t2 -c16 -d8s -s bench/wrk/orderquery.lua \
--       https://127.0.0.1:PORT/pay/orderquery
--
-- The body is the query of an order the sandbox knows, so every reply should carry
-- result_code SUCCESS. Replies that do not are counted; at the end one "wrk-figures" line
-- gives the figures for scripts/load-figures.sh to read.

local path = os.getenv("QUILLMARK_WRK_BODY")
if path == nil or path == "" then
  error("QUILLMARK_WRK_BODY must name the query document (quillmark-load --wrk-body FILE)")
end
local file = assert(io.open(path, "rb"))
wrk.method = "POST"
wrk.body = file:read("*a")
file:close()
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"

-- setup() and done() run in an environment of their own; the threads' counters are
-- fetched from each thread at the end.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

succeeded = 0
other = 0

local function is_success(body)
  return body:find("<result_code><![CDATA[SUCCESS]]></result_code>", 1, true) ~= nil
      or body:find("<result_code>SUCCESS</result_code>", 1, true) ~= nil
end

function response(status, headers, body)
  if status == 200 and is_success(body) then
    succeeded = succeeded + 1
  else
    other = other + 1
  end
end

function done(summary, latency, requests)
  local ok, bad = 0, 0
  for _, thread in ipairs(threads) do
    ok = ok + thread:get("succeeded")
    bad = bad + thread:get("other")
  end
  local errors = summary.errors
  local socket_errors = errors.connect + errors.read + errors.write + errors.timeout
  local seconds = summary.duration / 1e6
  io.write(string.format(
    "orderquery: %d replies with result_code SUCCESS, %d others; socket errors: "
      .. "connect %d, read %d, write %d, timeout %d\n",
    ok, bad, errors.connect, errors.read, errors.write, errors.timeout))
  io.write(string.format(
    "wrk-figures rps=%.0f p50_ms=%.2f p99_ms=%.2f max_ms=%.2f success=%d other=%d "
      .. "socket_errors=%d\n",
    summary.requests / seconds, latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    latency.max / 1000, ok, bad, socket_errors))
end
