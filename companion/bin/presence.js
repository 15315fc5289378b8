'use strict';
// Prints one JSON object describing the companion for the status menu:
// "enabled" (a browser extension is attached), "disabled" (the companion runs
// but no extension is attached) or "offline". It finds the companion through
// its session file ($TESSALY_SESSION, else ~/.tessaly-mcp/session.json).

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// The menu gives the whole probe 6 s; answer well inside that.
const TIMEOUT_MS = 3000;
const MAX_SESSION_BYTES = 8192;
const MAX_ANSWER_BYTES = 65536;
const OFFLINE = {
  state: 'offline',
  title: 'Companion not running',
  detail: 'Start the companion from your MCP client.',
};

function print(report) {
  process.stdout.write(JSON.stringify(report));
  process.exit(0);
}

// Applies the same safety rules as the setup application: a file that anyone
// else could have written or read is not trusted with the token.
function readSession(file) {
  try {
    const st = fs.lstatSync(file);
    if (!st.isFile() || st.uid !== process.getuid() || (st.mode & 0o077) !== 0) return null;
    if (st.size < 1 || st.size > MAX_SESSION_BYTES) return null;
    const { port, pairUrl } = JSON.parse(fs.readFileSync(file, 'utf8'));
    if (!Number.isInteger(port) || port < 1024 || port > 65535 || typeof pairUrl !== 'string') return null;
    const url = new URL(pairUrl);
    if (url.hostname !== '127.0.0.1' || url.port !== String(port)) return null;
    const token = url.hash.slice(1).split('&')
      .map((piece) => piece.split(/=(.*)/s))
      .find(([key, value]) => key === 'token' && value && !value.includes('\n'));
    return token ? { port, token: token[1] } : null;
  } catch {
    return null;
  }
}

function askState({ port, token }) {
  const payload = JSON.stringify({ token });
  const req = require('node:http').request({
    host: '127.0.0.1',
    port,
    method: 'POST',
    path: '/state',
    agent: false,
    timeout: TIMEOUT_MS,
    headers: { 'content-type': 'application/json', 'content-length': Buffer.byteLength(payload) },
  });
  req.on('timeout', () => print(OFFLINE));
  req.on('error', () => print(OFFLINE));
  req.on('response', (res) => {
    const chunks = [];
    let size = 0;
    res.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_ANSWER_BYTES) print(OFFLINE);
      chunks.push(chunk);
    });
    res.on('end', () => {
      let body = null;
      try { body = JSON.parse(Buffer.concat(chunks).toString('utf8')); } catch { /* not the companion */ }
      if (res.statusCode !== 200 || !body || typeof body.extensionConnected !== 'boolean') print(OFFLINE);
      const version = typeof body.version === 'string' ? body.version : '';
      print(body.extensionConnected
        ? { state: 'enabled', title: 'Browser connected', detail: 'Extension attached', action: 'Connect to Chrome', version }
        : { state: 'disabled', title: 'Companion running', detail: 'No browser connected', action: 'Connect to Chrome', version });
    });
  });
  req.end(payload);
}

const session = readSession(process.env.TESSALY_SESSION ||
  path.join(os.homedir(), '.tessaly-mcp', 'session.json'));
if (session === null) print(OFFLINE);
askState(session);
