#!/usr/bin/env node
'use strict';
// Stand-in companion server. It keeps every promise the setup application
// relies on (session file, pairing page, token check, attach state, pairing
// approval) with nothing but Node's standard library, so the application can
// be run and tested end to end without the real companion.
//
// Every endpoint except the pairing page takes the session token in a JSON
// body ({"token": "..."}), never in a URL or header, so it cannot leak into
// request logs, proxies or browser history.

const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const PROTOCOL_VERSION = 1;
const MAX_BODY_BYTES = 4096;
const APPROVAL_TIMEOUT_MS = 5 * 60 * 1000;
const USAGE =
  'usage: tessaly-mcp [--session PATH] [--port N] [--version TEXT] ' +
  '[--check-delay-ms N] [--approver PATH]';

function fail(message) {
  process.stderr.write(`tessaly-mcp: ${message}\n${USAGE}\n`);
  process.exit(2);
}

function wholeNumber(name, text, min, max) {
  const n = /^[0-9]{1,9}$/.test(text) ? Number(text) : NaN;
  if (!(n >= min && n <= max)) fail(`${name} must be a whole number from ${min} to ${max}`);
  return n;
}

function parseArgs(argv) {
  const opts = {
    session: path.join(os.homedir(), '.tessaly-mcp', 'session.json'),
    port: 0,
    version: '0.4.0-standin',
    checkDelayMs: 0,
    approver: null,
  };
  for (let i = 0; i < argv.length; i += 2) {
    const [name, value] = [argv[i], argv[i + 1]];
    if (name === '--help') {
      process.stdout.write(`${USAGE}\n`);
      process.exit(0);
    }
    if (value === undefined) fail(`${name} needs a value`);
    if (name === '--session') opts.session = path.resolve(value);
    else if (name === '--port') {
      // 0 lets the system choose; below 1024 the application refuses the session.
      opts.port = value === '0' ? 0 : wholeNumber('--port', value, 1024, 65535);
    } else if (name === '--version') {
      if (value === '') fail('--version must not be empty');
      opts.version = value;
    } else if (name === '--check-delay-ms') opts.checkDelayMs = wholeNumber(name, value, 0, 600000);
    else if (name === '--approver') opts.approver = path.resolve(value);
    else fail(`unknown option ${name}`);
  }
  return opts;
}

// Written under a fresh name and renamed over the old file, so a reader never
// sees a half-written file or one with looser permissions.
function writeSessionFile(file, content) {
  const dir = path.dirname(file);
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  const tmp = path.join(dir, `.${path.basename(file)}.${process.pid}.${crypto.randomBytes(6).toString('hex')}`);
  const { O_WRONLY, O_CREAT, O_EXCL, O_NOFOLLOW } = fs.constants;
  const fd = fs.openSync(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0o600);
  try {
    fs.fchmodSync(fd, 0o600); // the umask may have taken bits away, never added; be exact anyway
    fs.writeSync(fd, content);
    fs.fsyncSync(fd);
    fs.closeSync(fd);
    fs.renameSync(tmp, file);
  } catch (err) {
    try { fs.closeSync(fd); } catch { /* already closed */ }
    fs.rmSync(tmp, { force: true });
    throw err;
  }
}

// A newer companion may have replaced the file; its session must survive our exit.
function removeSessionFile(file, content) {
  try {
    if (fs.readFileSync(file, 'utf8') === content) fs.unlinkSync(file);
  } catch { /* already gone or unreadable: nothing of ours to remove */ }
}

function sendJson(res, status, body) {
  const text = JSON.stringify(body);
  res.writeHead(status, {
    'content-type': 'application/json',
    'content-length': Buffer.byteLength(text),
    'cache-control': 'no-store',
    'x-content-type-options': 'nosniff',
  });
  res.end(text);
}

// Resolves with the parsed JSON object, or null after answering the error itself.
function readJsonBody(req, res) {
  return new Promise((resolve) => {
    if (Number(req.headers['content-length']) > MAX_BODY_BYTES) {
      sendJson(res, 413, { ok: false, reason: 'too_large' });
      req.resume();
      return resolve(null);
    }
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size <= MAX_BODY_BYTES) chunks.push(chunk);
    });
    req.on('end', () => {
      if (size > MAX_BODY_BYTES) {
        sendJson(res, 413, { ok: false, reason: 'too_large' });
        return resolve(null);
      }
      let body;
      try { body = JSON.parse(Buffer.concat(chunks).toString('utf8')); } catch { body = null; }
      if (body === null || typeof body !== 'object' || Array.isArray(body)) {
        sendJson(res, 400, { ok: false, reason: 'bad_request' });
        return resolve(null);
      }
      resolve(body);
    });
    req.on('error', () => resolve(null));
  });
}

function pairPage(nonce) {
  return `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tessaly pairing</title>
<style>body{font:16px system-ui,sans-serif;max-width:34em;margin:4em auto;padding:0 1em;color:#222}
#code{font:bold 2em ui-monospace,monospace;letter-spacing:.2em}[hidden]{display:none}</style>
</head><body>
<h1 id="title">Pairing…</h1>
<p id="detail">Connecting this browser to the Tessaly companion.</p>
<p id="code" hidden></p>
<button id="remember" hidden>Remember this browser</button>
<script nonce="${nonce}">
'use strict';
const $ = (id) => document.getElementById(id);
const show = (title, detail) => { $('title').textContent = title; $('detail').textContent = detail; };
// The token travels only in the fragment, which the browser never sends to the server.
const token = location.hash.slice(1).split('&')
  .map((piece) => piece.split(/=(.*)/s))
  .find(([key, value]) => key === 'token' && value)?.[1];
history.replaceState(null, '', location.pathname);
const post = async (path, body) => {
  const res = await fetch(path, { method: 'POST', cache: 'no-store',
    headers: { 'content-type': 'application/json' }, body: JSON.stringify({ token, ...body }) });
  return { status: res.status, body: await res.json().catch(() => ({})) };
};
const stale = () => show('Pairing failed', 'This pairing link is no longer valid. Start a new connection from Tessaly Setup.');
async function waitForDecision() {
  for (;;) {
    await new Promise((done) => setTimeout(done, 1000));
    const { status, body } = await post('/state');
    if (status !== 200) return stale();
    if (body.approval !== 'pending') {
      $('code').hidden = true;
      return show(body.approval === 'approved' ? 'Browser remembered' : 'Not remembered',
        body.approval === 'approved' ? 'The companion will recognise this browser.' : 'The request was not approved.');
    }
  }
}
$('remember').onclick = async () => {
  $('remember').hidden = true;
  const { status, body } = await post('/remember', { label: 'Browser on this computer' });
  if (status !== 202) return show('Not remembered', 'The companion could not ask for approval.');
  $('code').textContent = body.code;
  $('code').hidden = false;
  show('Approve on this computer', 'Compare this code with the one in the Tessaly dialog.');
  waitForDecision();
};
(async () => {
  if (!token) return stale();
  try {
    const { status, body } = await post('/attach');
    if (status !== 200) return stale();
    show('Paired', 'This browser is connected to the companion. You can close this tab.');
    $('remember').hidden = !body.canRemember;
  } catch {
    show('Pairing failed', 'The companion is not answering. Is it still running?');
  }
})();
</script>
</body></html>
`;
}

function main() {
  const opts = parseArgs(process.argv.slice(2));
  const token = crypto.randomBytes(32).toString('hex');
  const tokenBytes = Buffer.from(token);
  // Shown in the approval dialog; a real companion keeps a lasting identity key.
  const fingerprint = crypto.randomBytes(8).toString('hex');
  let extensionConnected = false;
  let approval = 'none'; // none | pending | approved | rejected | failed
  let approver = null;
  let port = 0;
  let sessionContent = null;

  const tokenMatches = (candidate) => {
    if (typeof candidate !== 'string') return false;
    const given = Buffer.from(candidate);
    return given.length === tokenBytes.length && crypto.timingSafeEqual(given, tokenBytes);
  };
  const health = () => ({ ok: true, version: opts.version, protocolVersion: PROTOCOL_VERSION, extensionConnected });

  function askApproval(label) {
    const intentId = crypto.randomBytes(32).toString('base64url');
    const code = String(crypto.randomInt(0, 1000000)).padStart(6, '0');
    approval = 'pending';
    let output = '';
    let settled = false;
    const settle = (result) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      approver = null;
      approval = result;
      process.stderr.write(`approval ${result}\n`);
    };
    const child = spawn(opts.approver, ['--pairing-approval'], { stdio: ['pipe', 'pipe', 'ignore'] });
    approver = child;
    const timer = setTimeout(() => child.kill('SIGKILL'), APPROVAL_TIMEOUT_MS);
    child.on('error', () => settle('failed'));
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (text) => { if (output.length < MAX_BODY_BYTES) output += text; });
    child.on('close', (status) => {
      let answer = null;
      try { answer = JSON.parse(output.split('\n')[0]); } catch { /* treated as failed below */ }
      const usable = status === 0 && answer && answer.intentId === intentId && typeof answer.approved === 'boolean';
      settle(!usable ? 'failed' : answer.approved ? 'approved' : 'rejected');
    });
    child.stdin.on('error', () => {}); // the approver may exit before reading
    child.stdin.end(`${JSON.stringify({ intentId, code, label, port, fingerprint })}\n`);
    return code;
  }

  const tokenRoutes = {
    '/check': (res) => {
      const answer = () => { if (!res.destroyed) sendJson(res, 200, health()); };
      if (opts.checkDelayMs > 0) setTimeout(answer, opts.checkDelayMs);
      else answer();
    },
    '/attach': (res) => {
      extensionConnected = true;
      sendJson(res, 200, { ok: true, extensionConnected, canRemember: opts.approver !== null });
    },
    '/detach': (res) => {
      extensionConnected = false;
      sendJson(res, 200, { ok: true, extensionConnected });
    },
    '/state': (res) => sendJson(res, 200, { ...health(), approval }),
    '/remember': (res, body) => {
      const label = body.label;
      if (opts.approver === null) return sendJson(res, 404, { ok: false, reason: 'no_approver' });
      if (approval === 'pending') return sendJson(res, 409, { ok: false, reason: 'pending' });
      if (typeof label !== 'string' || label === '' || [...label].length > 80 || /[\p{Cc}\p{Cf}]/u.test(label)) {
        return sendJson(res, 400, { ok: false, reason: 'bad_label' });
      }
      sendJson(res, 202, { ok: true, code: askApproval(label) });
    },
  };

  const server = http.createServer({ maxHeaderSize: 8192 }, async (req, res) => {
    const pathname = req.url.split('?')[0];
    // Only the pathname is logged: whatever a client puts in a query or body stays out of the log.
    res.on('finish', () => process.stderr.write(`${req.method} ${pathname.slice(0, 64)} ${res.statusCode}\n`));
    const origin = `http://127.0.0.1:${port}`;
    // A page on another site, or one reached through a rebound DNS name, has no business here.
    if (req.headers.host !== `127.0.0.1:${port}` || (req.headers.origin !== undefined && req.headers.origin !== origin)) {
      req.resume();
      return sendJson(res, 403, { ok: false, reason: 'forbidden_origin' });
    }
    if (req.method === 'GET' && pathname === '/pair') {
      const nonce = crypto.randomBytes(16).toString('base64');
      const page = pairPage(nonce);
      res.writeHead(200, {
        'content-type': 'text/html; charset=utf-8',
        'content-length': Buffer.byteLength(page),
        'cache-control': 'no-store',
        'referrer-policy': 'no-referrer',
        'x-content-type-options': 'nosniff',
        'content-security-policy':
          `default-src 'none'; script-src 'nonce-${nonce}'; style-src 'unsafe-inline'; connect-src 'self'; frame-ancestors 'none'`,
      });
      return res.end(page);
    }
    const route = req.method === 'POST' ? tokenRoutes[pathname] : undefined;
    if (!route) {
      req.resume();
      return sendJson(res, 404, { ok: false, reason: 'not_found' });
    }
    const body = await readJsonBody(req, res);
    if (body === null) return;
    if (!tokenMatches(body.token)) return sendJson(res, 403, { ok: false, reason: 'rejected' });
    route(res, body);
  });
  server.headersTimeout = 5000;
  server.requestTimeout = 10000;
  server.keepAliveTimeout = 2000;
  server.maxConnections = 64;

  let stopping = false;
  const stop = () => {
    if (stopping) return;
    stopping = true;
    if (sessionContent !== null) removeSessionFile(opts.session, sessionContent);
    if (approver) approver.kill();
  };
  process.on('exit', stop);
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => process.exit(0));

  server.on('error', (err) => {
    process.stderr.write(`tessaly-mcp: cannot listen on 127.0.0.1:${opts.port}: ${err.message}\n`);
    process.exit(1);
  });
  server.listen({ host: '127.0.0.1', port: opts.port }, () => {
    port = server.address().port;
    const content = `${JSON.stringify({ port, pairUrl: `http://127.0.0.1:${port}/pair#token=${token}` })}\n`;
    try {
      writeSessionFile(opts.session, content);
    } catch (err) {
      process.stderr.write(`tessaly-mcp: cannot write the session file ${opts.session}: ${err.message}\n`);
      process.exit(1);
    }
    sessionContent = content;
    process.stdout.write(`ready port=${port} session=${opts.session}\n`);
  });
}

main();
