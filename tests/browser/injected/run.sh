#!/usr/bin/env bash
# Runs the in-page tests of the injected selector engine in headless Chromium.
#
# The browser is driven over the DevTools pipe (fd 3 and 4, messages ended by NUL), so no TCP port
# is opened and the script can wait for the page's asynchronous cases (animation frames,
# intersection observers) to finish. Exit status 0 only when every case passed; the browser's
# process group and temporary profile are removed on every exit path.
#
# Chromium: $VENDRO_CHROMIUM, else /usr/lib/chromium/chromium, else chromium, chromium-browser or
# google-chrome on PATH.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
page="file://$here/selector_engine_test.html"
deadline_seconds=${SELECTOR_TEST_TIMEOUT:-60}

find_chromium() {
  if [[ -n "${VENDRO_CHROMIUM:-}" ]]; then
    echo "$VENDRO_CHROMIUM"
    return
  fi
  local candidate
  for candidate in /usr/lib/chromium/chromium chromium chromium-browser google-chrome; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
  return 1
}

fail() {
  echo "selector engine tests: $*" >&2
  exit 1
}

chromium=$(find_chromium) || fail "no Chromium found (install chromium or set VENDRO_CHROMIUM)"

work=$(mktemp -d)
browser_pid=
results=
cleanup() {
  local status=$?
  exec 7>&- 8<&- || true
  # Without results the browser's own words explain more (minus the D-Bus noise of machines
  # without a session bus).
  if ((status != 0)) && [[ -z "$results" && -s "$work/stderr" ]]; then
    local said
    said=$(grep -v -i 'dbus' "$work/stderr" | tail -n 20 || true)
    if [[ -n "$said" ]]; then printf -- '--- browser output (last lines) ---\n%s\n' "$said" >&2; fi
  fi
  if [[ -n "$browser_pid" ]]; then
    local i
    for ((i = 0; i < 30; i++)); do
      kill -0 "$browser_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$browser_pid" 2>/dev/null || kill -KILL "$browser_pid" 2>/dev/null || true
    wait "$browser_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

flags=(
  --headless=new --disable-gpu --no-first-run --no-default-browser-check
  --disable-background-networking --disable-component-update --disable-sync
  --disable-breakpad --disable-crash-reporter --disable-extensions --mute-audio
  --user-data-dir="$work/profile" --remote-debugging-pipe
)
if [[ $EUID -eq 0 ]]; then flags+=(--no-sandbox); fi

# Its own process group lets cleanup end renderers and helpers with the browser (macOS has no
# setsid; there the browser takes its children down itself).
own_group=()
if command -v setsid >/dev/null 2>&1; then own_group=(setsid); fi
mkfifo "$work/to_browser" "$work/from_browser"
${own_group[@]+"${own_group[@]}"} "$chromium" "${flags[@]}" "$page" \
  3<"$work/to_browser" 4>"$work/from_browser" 2>"$work/stderr" >/dev/null &
browser_pid=$!
exec 7>"$work/to_browser" 8<"$work/from_browser"

started=$SECONDS
trap '' PIPE # a browser that died makes writes fail instead of killing this script
send() { printf '%s\0' "$1" >&7 || fail "the browser closed its pipe"; }

# Prints the reply to command $1, skipping events and other replies.
reply_to() {
  local message remaining
  for ((;;)); do
    remaining=$((deadline_seconds - (SECONDS - started)))
    ((remaining > 0)) || fail "no answer within ${deadline_seconds}s"
    IFS= read -r -d '' -t "$remaining" -u 8 message ||
      fail "the browser did not answer (it may have failed to start)"
    if [[ "$message" == *"\"id\":$1,"* || "$message" == *"\"id\":$1}"* ]]; then
      printf '%s' "$message"
      return
    fi
  done
}

target=
for ((attempt = 1; attempt <= 50; attempt++)); do
  send "{\"id\":$attempt,\"method\":\"Target.getTargets\"}"
  targets=$(reply_to "$attempt")
  target=$(grep -o '"targetId":"[^"]*","type":"page"' <<<"$targets" | head -n 1 |
    cut -d'"' -f4 || true)
  [[ -n "$target" ]] && break
  sleep 0.1
done
[[ -n "$target" ]] || fail "the browser opened no page"

attach='{"targetId":"'"$target"'","flatten":true}'
send '{"id":100,"method":"Target.attachToTarget","params":'"$attach"'}'
session=$(reply_to 100 | grep -o '"sessionId":"[^"]*"' | head -n 1 | cut -d'"' -f4 || true)
[[ -n "$session" ]] || fail "could not attach to the test page"

# Waits for the page's runner; retried because the page may still be loading or navigating.
expression='new Promise(function (done) { (function poll() {
  if (window.__selectorTests) window.__selectorTests.then(done); else setTimeout(poll, 50);
})(); })'
expression=${expression//$'\n'/ }
results=
for ((id = 200; id < 220; id++)); do
  params='{"expression":"'"$expression"'","awaitPromise":true,"returnByValue":true}'
  send '{"id":'"$id"',"sessionId":"'"$session"'","method":"Runtime.evaluate","params":'"$params"'}'
  reply=$(reply_to "$id")
  if [[ "$reply" == *'"type":"string","value":"'* ]]; then
    results=${reply#*\"type\":\"string\",\"value\":\"}
    results=${results%%\"\}\}*}
    break
  fi
  sleep 0.2
done
[[ -n "$results" ]] || fail "the test page gave no results: ${reply:-nothing}"

send '{"id":300,"method":"Browser.close"}'

# The value is JSON-escaped: restore line breaks and quotes for reading.
results=${results//\\n/$'\n'}
results=${results//\\\"/\"}
results=${results//\\\\/\\}
printf '%s\n' "$results"

summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$results" | head -n 1 || true)
[[ -n "$summary" ]] || fail "no summary line in the results"
read -r passed _ failed _ <<<"$summary"
((passed > 0)) || fail "no case ran"
((failed == 0)) || exit 1
