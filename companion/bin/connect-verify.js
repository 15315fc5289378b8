'use strict';
// Asks the companion on --port whether the token on standard input is its
// current session token, and prints exactly one JSON object: the health
// report, or {"ok":false,"reason":...}. When nothing listens on the port it
// prints nothing and exits 1, which the setup application reads as "companion
// unreachable". It runs on every check, often every few seconds, so it loads
// nothing beyond the HTTP client.

// Kept well under the application's own 8 s limit on this script, so a slow
// token check is reported as "timeout" rather than as no answer at all.
const DEFAULT_TIMEOUT_MS = 4000;
const MAX_ANSWER_BYTES = 65536;
// Far longer than any token the companion hands out.
const MAX_TOKEN_BYTES = 1024;

function answer(value, status = 0) {
  process.stdout.write(JSON.stringify(value));
  process.exit(status);
}

function portFromArgs(args) {
  const at = args.indexOf('--port');
  const text = at >= 0 ? args[at + 1] : undefined;
  const port = /^[0-9]{1,5}$/.test(text || '') ? Number(text) : NaN;
  return port >= 1024 && port <= 65535 ? port : null;
}

function timeoutMs() {
  const configured = Number(process.env.TESSALY_VERIFY_TIMEOUT_MS);
  return Number.isInteger(configured) && configured > 0 && configured < 8000 ? configured : DEFAULT_TIMEOUT_MS;
}

function isHealth(body) {
  return body !== null && typeof body === 'object' && body.ok === true &&
    typeof body.version === 'string' && body.version !== '' &&
    Number.isInteger(body.protocolVersion) && typeof body.extensionConnected === 'boolean';
}

function check(port, token) {
  const unexpected = () => answer({ ok: false, reason: 'unexpected_answer' });
  const payload = JSON.stringify({ token });
  const req = require('node:http').request({
    host: '127.0.0.1',
    port,
    method: 'POST',
    path: '/check',
    agent: false,
    headers: { 'content-type': 'application/json', 'content-length': Buffer.byteLength(payload) },
  });
  const timer = setTimeout(() => answer({ ok: false, reason: 'timeout' }), timeoutMs());
  req.on('error', (err) => {
    clearTimeout(timer);
    if (err.code === 'ECONNREFUSED') process.exit(1);
    unexpected(); // something listens there, but it does not talk like the companion
  });
  req.on('response', (res) => {
    const chunks = [];
    let size = 0;
    res.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_ANSWER_BYTES) unexpected();
      chunks.push(chunk);
    });
    res.on('end', () => {
      let body = null;
      try { body = JSON.parse(Buffer.concat(chunks).toString('utf8')); } catch { /* not the companion */ }
      if (res.statusCode === 200 && isHealth(body)) {
        const { ok, version, protocolVersion, extensionConnected } = body;
        answer({ ok, version, protocolVersion, extensionConnected });
      }
      if (res.statusCode === 403 && body && body.ok === false && body.reason === 'rejected') {
        answer({ ok: false, reason: 'rejected' });
      }
      unexpected();
    });
  });
  req.end(payload);
}

const port = portFromArgs(process.argv.slice(2));
if (port === null) answer({ ok: false, reason: 'bad_port' });
const chunks = [];
let tokenBytes = 0;
process.stdin.on('data', (chunk) => {
  tokenBytes += chunk.length;
  if (tokenBytes > MAX_TOKEN_BYTES + 2) answer({ ok: false, reason: 'rejected' });
  chunks.push(chunk);
});
process.stdin.on('end', () => {
  // The application sends the bare token; a single line ending is forgiven for
  // people typing or piping it by hand.
  const token = Buffer.concat(chunks).toString('utf8').replace(/\r?\n$/, '');
  if (token === '') answer({ ok: false, reason: 'no_token' });
  check(port, token);
});
