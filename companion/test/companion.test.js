'use strict';
// End-to-end tests of the stand-in companion: real server processes on
// temporary session paths, with the scripts run exactly as the setup
// application runs them.

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const COMPANION = path.join(__dirname, '..');
const SERVER = path.join(COMPANION, 'server.js');
const VERIFY = path.join(COMPANION, 'bin', 'connect-verify.js');
const PRESENCE = path.join(COMPANION, 'bin', 'presence.js');
const LAY_OUT = path.join(COMPANION, '..', 'scripts', 'lay-out-installation.sh');

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tessaly-companion-'));
after(() => fs.rmSync(scratch, { recursive: true, force: true }));
const tempDir = () => fs.mkdtempSync(path.join(scratch, 'case-'));

async function run(command, args, { input = '', env = {} } = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env } });
  let stdout = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stdin.on('error', () => {});
  child.stdin.end(input);
  const [status] = await once(child, 'close');
  return { status, stdout };
}
const verify = (port, token, env) => run(process.execPath, [VERIFY, '--port', String(port)], { input: token, env });
const presence = (session) => run(process.execPath, [PRESENCE], { env: { TESSALY_SESSION: session } });

// Starts a companion (server.js, or any launcher given) and waits for its ready line.
async function startCompanion(args = [], command = process.execPath, launcherArgs = [SERVER]) {
  const session = path.join(tempDir(), 'state', 'session.json');
  const child = spawn(command, [...launcherArgs, '--session', session, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  child.stderr.on('data', (d) => { log += d; });
  const lines = readline.createInterface({ input: child.stdout });
  const [line] = await once(lines, 'line', { signal: AbortSignal.timeout(10000) }).catch((err) => {
    child.kill('SIGKILL');
    throw new Error(`companion did not get ready (${err.message}): ${log}`);
  });
  const port = Number(/^ready port=(\d+) session=/.exec(line)[1]);
  const token = JSON.parse(fs.readFileSync(session, 'utf8')).pairUrl.split('#token=')[1];
  const stop = async () => {
    if (child.exitCode === null) {
      child.kill('SIGTERM');
      await once(child, 'exit');
    }
  };
  return { port, session, token, stop, log: () => log };
}
async function withCompanion(args, body) {
  const c = await startCompanion(args);
  try {
    await body(c);
  } finally {
    await c.stop();
  }
}

function request(port, method, urlPath, body, headers = {}) {
  return new Promise((resolve, reject) => {
    const payload = typeof body === 'string' ? body : JSON.stringify(body ?? {});
    const req = http.request({ host: '127.0.0.1', port, method, path: urlPath, agent: false, headers }, (res) => {
      let text = '';
      res.on('data', (d) => { text += d; });
      res.on('end', () => resolve({ status: res.statusCode, text }));
    });
    req.on('error', reject);
    req.end(method === 'GET' ? undefined : payload);
  });
}

async function freePort() {
  const probe = net.createServer().listen(0, '127.0.0.1');
  await once(probe, 'listening');
  const { port } = probe.address();
  probe.close();
  await once(probe, 'close');
  return port;
}

async function until(condition, what, ms = 5000) {
  for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 20))) {
    if (await condition()) return;
  }
  assert.fail(`timed out waiting for ${what}`);
}

describe('session file', () => {
  test('is private, complete and points at the pairing page on the loopback port', () => withCompanion([], (c) => {
    assert.equal(fs.statSync(c.session).mode & 0o777, 0o600);
    assert.equal(fs.statSync(path.dirname(c.session)).mode & 0o777, 0o700);
    assert.deepEqual(fs.readdirSync(path.dirname(c.session)), ['session.json'], 'no temporary file left behind');
    const content = JSON.parse(fs.readFileSync(c.session, 'utf8'));
    assert.deepEqual(Object.keys(content).sort(), ['pairUrl', 'port']);
    assert.equal(content.port, c.port);
    const url = new URL(content.pairUrl);
    assert.deepEqual([url.protocol, url.hostname, url.port, url.pathname, url.search, url.username],
      ['http:', '127.0.0.1', String(c.port), '/pair', '', '']);
    assert.match(url.hash, /^#token=[0-9a-f]{64}$/);
  }));

  test('is removed on SIGTERM, unless another companion has replaced it since', async () => {
    const first = await startCompanion();
    await first.stop();
    assert.equal(fs.existsSync(first.session), false);

    const second = await startCompanion();
    const newer = JSON.stringify({ port: 4242, pairUrl: 'http://127.0.0.1:4242/pair#token=newer' });
    fs.writeFileSync(second.session, newer, { mode: 0o600 });
    await second.stop();
    assert.equal(fs.readFileSync(second.session, 'utf8'), newer);
  });
});

describe('connect-verify', () => {
  let c;
  before(async () => { c = await startCompanion(['--version', '9.9.9-test']); });
  after(() => c.stop());

  test('reports health for the current token, following attach and detach', async () => {
    const health = async () => JSON.parse((await verify(c.port, c.token)).stdout);
    assert.deepEqual(await health(), { ok: true, version: '9.9.9-test', protocolVersion: 1, extensionConnected: false });
    assert.equal((await request(c.port, 'POST', '/attach', { token: `${c.token}0` })).status, 403);
    assert.equal((await health()).extensionConnected, false);
    assert.equal((await request(c.port, 'POST', '/attach', { token: c.token })).status, 200);
    assert.equal((await health()).extensionConnected, true);
    assert.equal((await request(c.port, 'POST', '/detach', { token: c.token })).status, 200);
    assert.equal((await health()).extensionConnected, false);
  });

  test('refuses a wrong token, an empty input and an unusable port', async () => {
    const cases = [
      [['--port', String(c.port)], c.token.slice(1), 'rejected'],
      [['--port', String(c.port)], `${c.token}\n\n`, 'rejected'],
      [['--port', String(c.port)], '', 'no_token'],
      [[], c.token, 'bad_port'],
      [['--port'], c.token, 'bad_port'],
      [['--port', 'abc'], c.token, 'bad_port'],
      [['--port', '1023'], c.token, 'bad_port'],
      [['--port', '65536'], c.token, 'bad_port'],
    ];
    for (const [args, input, reason] of cases) {
      const { stdout } = await run(process.execPath, [VERIFY, ...args], { input });
      assert.deepEqual(JSON.parse(stdout), { ok: false, reason }, `${args.join(' ')} with ${JSON.stringify(input)}`);
    }
  });

  test('prints nothing and fails when nothing listens on the port', async () => {
    const { status, stdout } = await verify(await freePort(), c.token);
    assert.equal(stdout, '');
    assert.notEqual(status, 0);
  });

  test('reports a slow token check as timeout', () => withCompanion(['--check-delay-ms', '5000'], async (slow) => {
    const { stdout } = await verify(slow.port, slow.token, { TESSALY_VERIFY_TIMEOUT_MS: '300' });
    assert.deepEqual(JSON.parse(stdout), { ok: false, reason: 'timeout' });
  }));

  test('does not take another web service for the companion', async () => {
    const other = http.createServer((req, res) => res.writeHead(403).end('Forbidden'));
    other.listen(0, '127.0.0.1');
    await once(other, 'listening');
    try {
      const { stdout } = await verify(other.address().port, 'anything');
      const answer = JSON.parse(stdout);
      assert.equal(answer.ok, false);
      assert.notEqual(answer.reason, 'rejected');
    } finally {
      other.close();
    }
  });
});

describe('presence', () => {
  test('follows the companion from offline to disabled to enabled and back', async () => {
    const offline = { state: 'offline', title: 'Companion not running', detail: 'Start the companion from your MCP client.' };
    assert.deepEqual(JSON.parse((await presence(path.join(tempDir(), 'missing.json'))).stdout), offline);

    const c = await startCompanion(['--version', '1.2.3']);
    try {
      const state = async () => JSON.parse((await presence(c.session)).stdout);
      assert.deepEqual(await state(), {
        state: 'disabled', title: 'Companion running', detail: 'No browser connected', action: 'Connect to Chrome', version: '1.2.3',
      });
      await request(c.port, 'POST', '/attach', { token: c.token });
      assert.equal((await state()).state, 'enabled');
      fs.chmodSync(c.session, 0o644);
      assert.deepEqual(await state(), offline, 'a session file others can read is not trusted');
      fs.chmodSync(c.session, 0o600);
      const stale = fs.readFileSync(c.session);
      await c.stop();
      fs.writeFileSync(c.session, stale, { mode: 0o600 });
      assert.deepEqual(await state(), offline, 'a session file left behind by a dead companion');
    } finally {
      await c.stop();
    }
  });
});

describe('http surface', () => {
  let c;
  before(async () => { c = await startCompanion(); });
  after(() => c.stop());

  test('serves the pairing page, and refuses foreign hosts and origins, oversized bodies and unknown paths', async () => {
    const page = await request(c.port, 'GET', '/pair');
    assert.equal(page.status, 200);
    assert.match(page.text, /location\.hash[^]*'\/attach'/);
    const token = { token: c.token };
    const refused = [
      [await request(c.port, 'GET', '/pair', undefined, { host: 'attacker.example' }), 403],
      [await request(c.port, 'POST', '/attach', token, { origin: 'http://attacker.example' }), 403],
      [await request(c.port, 'POST', '/attach', { token: c.token, pad: 'x'.repeat(10000) }), 413],
      [await request(c.port, 'POST', '/attach', 'not json'), 400],
      [await request(c.port, 'GET', '/attach'), 404],
    ];
    for (const [res, status] of refused) assert.equal(res.status, status, res.text);
    assert.equal(JSON.parse((await verify(c.port, c.token)).stdout).extensionConnected, false);
  });

  test('never writes the token to its log', async () => {
    await request(c.port, 'POST', '/pair?token=' + c.token, { token: c.token });
    await request(c.port, 'POST', '/check', { token: c.token });
    await until(() => /POST \/check 200/.test(c.log()), 'the log line');
    assert.ok(!c.log().includes(c.token));
  });
});

describe('pairing approval', () => {
  test('sends the approver a well-formed request and records its answer', async () => {
    const dir = tempDir();
    const approver = path.join(dir, 'approver');
    const seen = path.join(dir, 'request.json');
    fs.writeFileSync(approver, `#!${process.execPath}
const line = require('fs').readFileSync(0, 'utf8').split('\\n')[0];
require('fs').writeFileSync(${JSON.stringify(seen)}, line);
if (process.argv.slice(2).join(' ') !== '--pairing-approval') process.exit(2);
process.stdout.write(JSON.stringify({ approved: true, intentId: JSON.parse(line).intentId }) + '\\n');
`, { mode: 0o755 });
    await withCompanion(['--approver', approver], async (c) => {
      const state = async () => JSON.parse((await request(c.port, 'POST', '/state', { token: c.token })).text);
      const bad = await request(c.port, 'POST', '/remember', { token: c.token, label: 'tab\there' });
      assert.equal(bad.status, 400);
      const asked = await request(c.port, 'POST', '/remember', { token: c.token, label: 'Work browser' });
      assert.equal(asked.status, 202);
      await until(async () => (await state()).approval !== 'pending', 'the decision');
      assert.equal((await state()).approval, 'approved');
      const { intentId, code, fingerprint, ...rest } = JSON.parse(fs.readFileSync(seen, 'utf8'));
      assert.deepEqual(rest, { label: 'Work browser', port: c.port });
      assert.match(`${intentId} ${code} ${fingerprint}`, /^[A-Za-z0-9_-]{43} [0-9]{6} [a-f0-9]{16}$/);
      assert.equal(code, JSON.parse(asked.text).code, 'the page shows the code the dialog shows');
    });
  });
});

describe('installation layout', () => {
  test('lays out an installation whose launcher and scripts work together, again on re-run', async () => {
    const dest = path.join(tempDir(), 'install');
    assert.equal(spawnSync('bash', [LAY_OUT, dest]).status, 2);
    for (let pass = 0; pass < 2; pass++) {
      const laid = spawnSync('bash', [LAY_OUT, dest, '/bin/true'], { encoding: 'utf8' });
      assert.equal(laid.status, 0, laid.stderr);
    }
    assert.ok(fs.statSync(path.join(dest, 'TessalySetup', 'tessaly-setup')).mode & 0o100);
    assert.ok(fs.existsSync(path.join(dest, 'SUPPORT.json')));
    const c = await startCompanion([], path.join(dest, 'tessaly-mcp'), []);
    try {
      const node = path.join(dest, 'runtime', 'node');
      const { stdout } = await run(node, [path.join(dest, 'bin', 'connect-verify.js'), '--port', String(c.port)], { input: c.token });
      assert.equal(JSON.parse(stdout).ok, true);
      const state = await run(node, [path.join(dest, 'bin', 'presence.js')], { env: { TESSALY_SESSION: c.session } });
      assert.equal(JSON.parse(state.stdout).state, 'disabled');
    } finally {
      await c.stop();
    }
  });

  test('the launcher picks the newest release when nothing sits beside it', async () => {
    const root = tempDir();
    const release = (counter) => {
      const dir = path.join(root, 'releases', `r-${counter}-${'ab'.repeat(32)}`);
      fs.mkdirSync(path.join(dir, 'runtime'), { recursive: true });
      fs.symlinkSync(process.execPath, path.join(dir, 'runtime', 'node'));
      return dir;
    };
    for (const counter of [9, 10]) {
      fs.writeFileSync(path.join(release(counter), 'server.js'), `process.stdout.write("started r-${counter}")`);
    }
    fs.copyFileSync(path.join(COMPANION, 'tessaly-mcp'), path.join(root, 'tessaly-mcp'));
    fs.chmodSync(path.join(root, 'tessaly-mcp'), 0o755);
    const { status, stdout } = await run(path.join(root, 'tessaly-mcp'), []);
    assert.equal(status, 0);
    assert.equal(stdout, 'started r-10');
  });
});
