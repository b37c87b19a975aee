#!/usr/bin/env bash
# The HTTP face's server through curl, as a user types it, against the
# test's server program (http_test_server.cpp):
#   http_server_test.sh SERVER
# A table of requests (status, headers, body) over HTTP and HTTPS, then the
# bounds: a request that never ends, connections per address, streams
# (events, the limit, a slow reader dropped, the end at a stop), a port
# taken. Exits 77 (skipped) without curl or openssl.
set -u
server=$1
for tool in curl openssl; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# start NAME LISTEN [CERT KEY]: the server's port in $port, its pid in $pid.
start() {
  local name=$1
  shift
  rm -f "$work/$name.port"
  "$server" "$1" "$work/$name.port" "${@:2}" 2>"$work/$name.log" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    [ -s "$work/$name.port" ] && { port=$(cat "$work/$name.port"); return 0; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "the server $name did not start: $(cat "$work/$name.log")" >&2
  exit 1
}

# What every answer of the face's handlers carries.
security_headers=(
  "content-security-policy: default-src 'self';.*script-src 'self';.*frame-ancestors 'none'"
  "x-content-type-options: nosniff"
  "x-frame-options: DENY"
  "referrer-policy: no-referrer"
)

# request NAME BASE PATH STATUS HEADER BODY [CURL ARGUMENTS...]: HEADER and
# BODY are extended regular expressions ("" for none); an answer under
# /api/ must not be cached, any other must not be kept from caches.
request() {
  local name=$1 base=$2 path=$3 status=$4 header=$5 body=$6
  shift 6
  local got
  got=$(curl -sS --max-time 5 -o "$work/body" -D "$work/headers" -w '%{http_code}' "$@" "$base$path" 2>"$work/curl")
  tr -d '\r' <"$work/headers" >"$work/headers.text"
  [ "$got" = "$status" ] || { fail "$name: status $got, not $status ($(cat "$work/curl"))"; return; }
  local expected
  for expected in "${security_headers[@]}"; do
    grep -qiE "^$expected" "$work/headers.text" || fail "$name: no header like \"$expected\""
  done
  case $path in /api/*)
    grep -qi '^cache-control: no-store' "$work/headers.text" || fail "$name: an API answer without no-store" ;;
  *)
    ! grep -qi '^cache-control: no-store' "$work/headers.text" || fail "$name: no-store outside the API" ;;
  esac
  [ -z "$header" ] || grep -qiE "^$header" "$work/headers.text" || fail "$name: no header like \"$header\""
  [ -z "$body" ] || grep -qE -- "$body" "$work/body" || fail "$name: body $(head -c 300 "$work/body")"
}

head -c 20000 /dev/zero | tr '\0' 'v' >"$work/large-body"
head -c 16384 /dev/zero | tr '\0' 'w' >"$work/bound-body"
large_header="X-Large: $(head -c 20000 /dev/zero | tr '\0' 'h')"
bound_header="X-Large: $(head -c 16000 /dev/zero | tr '\0' 'h')"

start plain free
plain_port=$port
plain_pid=$pid
base=http://127.0.0.1:$plain_port
#       name                           base    path                           status  header                                          body  arguments
request "a point and its query"       "$base" "/api/v1/points/M12?fast=1&x"  200 "content-type: application/json" '^\{"address":"M12","query":\{"fast":"1","x":""\}'
request "a cookie"                    "$base" /api/v1/points/M1              200 "" '"session":"abc"' -b "session=abc; other=1"
request "a path that is not UTF-8"    "$base" /api/v1/points/%FF             200 "" '"address":"'$'\xef\xbf\xbd''"'
request "health"                      "$base" /healthz                       200 "content-type: text/plain; charset=utf-8" '^ok$'
request "the page listing the API"    "$base" /                              200 "content-type: text/html; charset=utf-8" "<li>/api/v1/"
request "HEAD of a GET route"         "$base" /api/v1/points/M1              200 "" "" --head
request "an unknown path"             "$base" /api/v1/nothing                404 "" '"error":"no such resource"'
request "a route's parameter missing" "$base" /api/v1/points/                404 "" ""
request "another method"              "$base" /api/v1/points/M1              405 "allow: GET, HEAD, PUT" '"error"' -X DELETE
request "a body echoed"               "$base" /api/v1/points/M1              200 "" '^\{"value":5\}$' -X PUT --data-binary '{"value":5}'
request "a body of 16 KiB"            "$base" /api/v1/points/M1              200 "" '^w{16384}$' -X PUT --data-binary @"$work/bound-body"
request "a body beyond 16 KiB"        "$base" /api/v1/points/M1              413 "" "16 KiB" -X PUT --data-binary @"$work/large-body"
request "headers of nearly 16 KiB"    "$base" /api/v1/points/M1              200 "" '"address":"M1"' -H "$bound_header"
request "headers beyond 16 KiB"       "$base" /api/v1/points/M1              431 "" "16 KiB" -H "$large_header"

# Beyond what a connection's memory holds, the library refuses by itself.
#       name                  status  path                                                   header
refused=("headers of 100 KiB" 431     /                                                      "X-Large: $(head -c 100000 /dev/zero | tr '\0' h)"
         "a path of 100 KiB"  414     "/api/v1/points/$(head -c 100000 /dev/zero | tr '\0' p)" "X-Small: 1")
for ((i = 0; i < ${#refused[@]}; i += 4)); do
  got=$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' -H "${refused[i + 3]}" "$base${refused[i + 2]}")
  [ "$got" = "${refused[i + 1]}" ] || fail "${refused[i]}: status $got, not ${refused[i + 1]}"
done

# HTTPS with a certificate made here for 127.0.0.1.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || { echo "openssl made no certificate" >&2; exit 1; }
start tls free "$work/cert.pem" "$work/key.pem"
tls=https://127.0.0.1:$port
request "over HTTPS"                  "$tls"  /api/v1/points/M1              200 "" '"tls":true' --cacert "$work/cert.pem"
request "an unknown path over HTTPS"  "$tls"  /api/v1/nothing                404 "" "" --cacert "$work/cert.pem"
request "plain HTTP"                  "$base" /api/v1/points/M1              200 "" '"tls":false'
got=$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/api/v1/points/M1")
[ "$got" = 000 ] || fail "plain HTTP to the HTTPS port was answered $got"

# A chunked body that outgrows 16 KiB has its connection closed unanswered
# (the rest is not read).
got=$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' -X PUT -H "Transfer-Encoding: chunked" \
  --data-binary @"$work/large-body" "$base/api/v1/points/M1")
[ "$got" = 000 ] || fail "a chunked body beyond 16 KiB was answered $got"

# A request that never ends is cut once it has been silent for the server's
# timeout (1 s): the server closes, so cat ends; `timeout` only keeps a
# broken server from hanging the test.
#     name                  what is sent of the request
cuts=("headers never ended" 'GET /api/v1/points/M1 HTTP/1.1\r\nHost: x\r\n'
      "a body never ended"  'PUT /api/v1/points/M1 HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n{"va')
for ((i = 0; i < ${#cuts[@]}; i += 2)); do
  (
    exec 3<>"/dev/tcp/127.0.0.1/$plain_port"
    printf "${cuts[i + 1]}" >&3
    timeout 10 cat <&3 >/dev/null
  )
  [ $? != 124 ] || fail "${cuts[i]}: the connection was not cut"
done

# Streams: events with their ids; two at most; at most two connections
# from one address (127.0.0.2 is another address on loopback).
curl -sN -D "$work/stream1.headers" "$base/api/v1/stream" >"$work/stream1" 2>/dev/null &
stream1=$!
curl -sN "$base/api/v1/stream" >"$work/stream2" 2>/dev/null &
stream2=$!
sleep 0.5
grep -q '^id: 1$' "$work/stream1" && grep -q '^data: {"n":1}$' "$work/stream1" || fail "a stream without its events"
grep -qi '^content-type: text/event-stream' "$work/stream1.headers" || fail "a stream that is not text/event-stream"
got=$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "$base/api/v1/points/M1")
[ "$got" = 000 ] || fail "a third connection from one address was answered $got"
request "a third stream"              "$base" /api/v1/stream                 503 "retry-after: 5" "at most 2" --interface 127.0.0.2
request "another address"             "$base" /api/v1/points/M1              200 "" "" --interface 127.0.0.2
kill "$stream2"
wait "$stream2" 2>/dev/null
for _ in $(seq 50); do grep -q "a stream closed" "$work/plain.log" && break; sleep 0.1; done
grep -q "a stream closed" "$work/plain.log" || fail "a stream's producer was not told its client went away"

# A reader that takes less than the stream produces is dropped, not buffered.
curl -sN --limit-rate 2k -o /dev/null --max-time 20 --interface 127.0.0.2 "$base/api/v1/flood" 2>/dev/null &
slow=$!
for _ in $(seq 100); do grep -q "a flooded stream closed" "$work/plain.log" && break; sleep 0.1; done
grep -q "left too much unread; it is dropped" "$work/plain.log" || fail "a slow stream reader was not dropped"
kill "$slow" 2>/dev/null
wait "$slow" 2>/dev/null

# A port taken, and an address that is none, said so.
"$server" "127.0.0.1:$plain_port" "$work/again.port" 2>"$work/again.log"
status=$?
[ "$status" = 1 ] && grep -q "cannot listen on 127.0.0.1:$plain_port: Address already in use" "$work/again.log" ||
  fail "a port taken: exit $status, $(cat "$work/again.log")"
"$server" "10.1:8080" "$work/none.port" 2>"$work/none.log"
status=$?
[ "$status" = 64 ] && grep -q '"10.1" is not an IP address' "$work/none.log" ||
  fail "an address that is none: exit $status, $(cat "$work/none.log")"

# A stop ends the open stream: curl sees it close, not break.
kill -TERM "$plain_pid"
timeout 10 tail --pid="$stream1" -f /dev/null
wait "$stream1"
status=$?
[ "$status" = 0 ] || fail "the stream did not end cleanly at the stop (curl exit $status)"
wait "$plain_pid" || fail "the server's stop failed: $(cat "$work/plain.log")"

[ "$failures" = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "all passed"
