# Sourced by the scripts that run the stand-in companion: start it, wait until it is ready, stop it.

# start_companion INSTALL SESSION LOG [ARGS...]: starts the installation's launcher with further ARGS;
# sets COMPANION_PID and COMPANION_PORT.
start_companion() {
  local install="$1" session="$2" log="$3"
  shift 3
  "$install/tessaly-mcp" --session "$session" "$@" >"$log" 2>"$log.err" &
  COMPANION_PID=$!
  local waited=0
  until grep -q '^ready ' "$log" 2>/dev/null; do
    if ! kill -0 "$COMPANION_PID" 2>/dev/null || [ "$waited" -ge 200 ]; then
      echo "the stand-in companion did not start:" >&2
      cat "$log.err" >&2
      return 1
    fi
    sleep 0.05
    waited=$((waited + 1))
  done
  COMPANION_PORT=$(sed -n 's/^ready port=\([0-9]*\) .*/\1/p' "$log")
}

stop_companion() {
  if [ -n "${COMPANION_PID:-}" ]; then
    kill "$COMPANION_PID" 2>/dev/null || true
    wait "$COMPANION_PID" 2>/dev/null || true
    COMPANION_PID=""
  fi
}

# attach_extension SESSION: does what the pairing page does once a browser with the extension opens it.
attach_extension() {
  node -e '
    const { pairUrl } = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    const url = new URL(pairUrl);
    const token = new URLSearchParams(url.hash.slice(1)).get("token");
    fetch(new URL("/attach", url), { method: "POST", headers: { "content-type": "application/json" },
                                     body: JSON.stringify({ token }) })
      .then((r) => process.exit(r.ok ? 0 : 1), () => process.exit(1));
  ' "$1"
}
