# Sourced by the scripts that run the stand-in companion: start it, wait until it is ready, stop it.

# start_companion INSTALL SESSION LOG [ARGS...]: starts the installation's launcher with further ARGS;
# sets COMPANION_PID and COMPANION_PORT.
start_companion() {
  local install="$1" session="$2" log="$3"
  shift 3
  "$install/tessaly-mcp" --session "$session" "$@" >"$log" 2>"$log.err" &
  COMPANION_PID=$!
  await_ready "$COMPANION_PID" "$log" '^ready ' "the stand-in companion" 10 || return 1
  COMPANION_PORT=$(sed -n 's/^ready port=\([0-9]*\) .*/\1/p' "$log")
}

# await_ready PID LOG PATTERN NAME SECONDS: waits until LOG has a line matching PATTERN. Fails, printing
# LOG.err, when process PID ends first or SECONDS pass.
await_ready() {
  local pid="$1" log="$2" pattern="$3" name="$4" polls=$(($5 * 20))
  until grep -q "$pattern" "$log" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null || [ "$polls" -le 0 ]; then
      echo "$name did not start:" >&2
      cat "$log.err" >&2
      return 1
    fi
    sleep 0.05
    polls=$((polls - 1))
  done
}

stop_companion() {
  if [ -n "${COMPANION_PID:-}" ]; then
    kill "$COMPANION_PID" 2>/dev/null || true
    wait "$COMPANION_PID" 2>/dev/null || true
    COMPANION_PID=""
  fi
}

# pair_url SESSION: prints the pairing URL that the session file names.
pair_url() {
  node -e 'process.stdout.write(JSON.parse(require("fs").readFileSync(process.argv[1], "utf8")).pairUrl)' "$1"
}

# open_pairing_page SESSION PROFILE: opens the session's pairing page in headless Chromium with a fresh
# PROFILE folder, as a browser with the extension would, and succeeds when the page reports that it paired.
open_pairing_page() {
  local url
  url=$(pair_url "$1")
  # Without the background-networking switches Chromium tries to reach hosts this machine cannot.
  timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$2" \
    --virtual-time-budget=10000 --dump-dom "$url" 2>/dev/null | grep -q '<h1 id="title">Paired</h1>'
}
