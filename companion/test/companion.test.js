'use strict';
// Real companion processes on temporary session paths; the end-to-end tests of the program cover the rest.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const file = (name) => path.join(__dirname, '..', name);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tessaly-companion-'));

// Runs one of the companion's scripts and parses the single JSON object it prints.
async function run(script, args, { input = '', env = {} } = {}) {
  const child = spawn(process.execPath, [file(script), ...args], { env: { ...process.env, ...env } });
  let stdout = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stdin.on('error', () => {});
  child.stdin.end(input);
  await once(child, 'close');
  return JSON.parse(stdout);
}
const verify = (c, input, env, args = ['--port', String(c.port)]) => run('bin/connect-verify.js', args, { input, env });

async function startCompanion(name, args) {
  const session = path.join(scratch, name, 'session.json'); // the server creates its directory
  const child = spawn(process.execPath, [file('server.js'), '--session', session, ...args]);
  let log = '';
  child.stderr.on('data', (d) => { log += d; });
  const [line] = await once(readline.createInterface({ input: child.stdout }), 'line', { signal: AbortSignal.timeout(10000) })
    .catch((err) => { child.kill('SIGKILL'); throw new Error(`companion not ready (${err.message}): ${log}`); });
  const logged = async (re) => { // waits until the log matches, then returns it
    while (!re.test(log)) await once(child.stderr, 'data', { signal: AbortSignal.timeout(5000) });
    return log;
  };
  const stop = async () => { if (child.exitCode === null) { child.kill('SIGTERM'); await once(child, 'exit'); } };
  const token = JSON.parse(fs.readFileSync(session, 'utf8')).pairUrl.split('#token=')[1];
  return { port: Number(/^ready port=(\d+) /.exec(line)[1]), session, token, stop, logged };
}

const post = (c, urlPath, body, headers = {}) => new Promise((resolve, reject) => {
  http.request({ host: '127.0.0.1', port: c.port, method: 'POST', path: urlPath, agent: false, headers }, (res) => {
    res.resume();
    res.on('end', () => resolve(res.statusCode));
  }).on('error', reject).end(JSON.stringify(body));
});

let main, slow; // slow takes 5 s to answer a token check
before(async () => {
  main = await startCompanion('main', ['--version', '9.9.9-test']);
  slow = await startCompanion('slow', ['--check-delay-ms', '5000']);
});
after(() => Promise.all([main?.stop(), slow?.stop()]).then(() => fs.rmSync(scratch, { recursive: true, force: true })));

// The program reads the session file, and refuses one that others may read, end to end.
test('the session file is written whole in a private folder, with a 256-bit token', () => {
  assert.equal(fs.statSync(path.dirname(main.session)).mode & 0o777, 0o700);
  assert.deepEqual(fs.readdirSync(path.dirname(main.session)), ['session.json'], 'no temporary file left behind');
  assert.match(main.token, /^[0-9a-f]{64}$/);
});

test('connect-verify accepts only the current token and reports refusals by reason', async () => {
  const healthy = { ok: true, version: '9.9.9-test', protocolVersion: 1, extensionConnected: false };
  assert.deepEqual(await verify(main, `${main.token}\n`), healthy);
  const refusals = [[main.token.slice(1), 'rejected'], [`${main.token}\n\n`, 'rejected'], ['', 'no_token'],
    ...[[], ['--port', 'abc'], ['--port', '1023'], ['--port', '65536']].map((args) => [main.token, 'bad_port', args])];
  for (const [input, reason, args] of refusals) {
    assert.deepEqual(await verify(main, input, {}, args), { ok: false, reason }, `${JSON.stringify(input)} ${args}`);
  }
  assert.deepEqual(await verify(slow, slow.token, { TESSALY_VERIFY_TIMEOUT_MS: '300' }), { ok: false, reason: 'timeout' });
});

// Its reports while offline, running and attached are read through the status item end to end.
test('presence does not trust a session file that others can read', async () => {
  fs.chmodSync(main.session, 0o640); // later tests do not depend on the mode
  assert.equal((await run('bin/presence.js', [], { env: { TESSALY_SESSION: main.session } })).state, 'offline');
});

test('the server refuses a foreign Host or Origin and keeps the token out of its log', async () => {
  assert.equal(await post(main, '/check', { token: main.token }, { host: 'attacker.example' }), 403);
  assert.equal(await post(main, '/check', { token: main.token }, { origin: 'http://attacker.example' }), 403);
  // A path of its own, so the wait ends on this request's line however it is written.
  assert.equal(await post(main, `/log-probe?token=${main.token}`, { token: main.token }), 404);
  const log = await main.logged(/POST \/log-probe\S* 404\n/);
  assert.ok(!log.includes(main.token.slice(0, 16)), log); // even a cut-off log line leaks a prefix
});

test('SIGTERM removes the session file, but not one a newer companion has written since', async () => {
  await main.stop();
  assert.equal(fs.existsSync(main.session), false);
  fs.writeFileSync(slow.session, 'newer', { mode: 0o600 });
  await slow.stop();
  assert.equal(fs.readFileSync(slow.session, 'utf8'), 'newer');
});
