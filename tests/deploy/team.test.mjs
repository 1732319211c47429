// The team deployment on loopback: two identity and two text service instances on one PostgreSQL,
// behind HAProxy with deploy/haproxy/parlomatic.cfg (only its "server" lines replaced). Sign-in,
// Replace (translate), Improve and renewals go through the balancer; then one instance of each is
// killed and every request still succeeds, and HAProxy takes both out within seconds. A preferred
// gender set through one text instance reaches the ID tokens of both identity instances.
// Run with `node --test`; PARLOMATIC_BUILD_DIR names the build with the text service.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { createUserIn, openDatabase } from '../../services/identity/pgstore.mjs';
import { startPostgres } from '../../services/identity/test/postgres.mjs';
import {
  makeCertificate, renew, request, signIn, startIdentity, startProcess, stopProcess,
} from '../../services/identity/test/team.mjs';

const source = fileURLToPath(new URL('../..', import.meta.url));
const textService = join(process.env.PARLOMATIC_BUILD_DIR ?? join(source, 'build/dev'), 'bin/parlomatic-text-service');
const audience = 'https://text.team.test/';
const folder = mkdtempSync(join(tmpdir(), 'pm-team-'));
const cleanups = [];
after(async () => {
  for (const cleanup of cleanups.reverse()) await cleanup();
  rmSync(folder, { recursive: true, force: true });
});

const freePort = () => new Promise((resolve, reject) => {
  const probe = createServer().once('error', reject).listen(0, '127.0.0.1', () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

// Resolves once `check` does, trying again every 100 ms until `seconds` passed.
async function waitFor(what, check, seconds = 20, log = () => '') {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    try {
      if (await check()) return;
    } catch {
      // not yet
    }
    if (Date.now() > deadline) throw new Error(`gave up waiting for ${what}; HAProxy said:\n${log()}`);
    await new Promise((resolve) => { setTimeout(resolve, 100); });
  }
}

async function startText(certificate, issuer, port, database) {
  const args = ['--cert', certificate.cert, '--key', certificate.key, '--issuer', issuer,
    '--audience', audience, '--ca-file', certificate.cert, '--port', String(port), '--grammar-worker', 'none', '--quiet',
    '--database', database];
  const { process: child, match } = await startProcess(textService, args, /ready (\d+)\n/);
  // The service has no lifetime of its own: should this test process end early, it ends too.
  process.once('exit', () => child.kill('SIGTERM'));
  return { process: child, port: Number(match[1]) };
}

function haproxyConfig(identityPorts, textPorts) {
  const shipped = readFileSync(join(source, 'deploy/haproxy/parlomatic.cfg'), 'utf8');
  const servers = (name, ports) => ports.map((port, i) => `    server ${name}${i + 1} 127.0.0.1:${port}`).join('\n');
  const config = shipped.replace(/(?:^ {4}server identity\d+ .*\n)+/m, `${servers('identity', identityPorts)}\n`)
    .replace(/(?:^ {4}server text\d+ .*\n)+/m, `${servers('text', textPorts)}\n`);
  assert.notEqual(config, shipped);
  const file = join(folder, 'haproxy.cfg');
  writeFileSync(file, config);
  return file;
}

test('sign-in, Replace, Improve and renewals through HAProxy, before and after an instance of each dies', async (t) => {
  const postgres = await startPostgres();
  cleanups.push(() => postgres.stop());
  const certificate = makeCertificate(folder);
  writeFileSync(join(folder, 'one.pem'), readFileSync(certificate.cert, 'utf8') + readFileSync(certificate.key, 'utf8'));
  const pool = await openDatabase(postgres.url);
  cleanups.push(() => pool.end());
  const password = await createUserIn(pool, 'ana');

  // In the order of a deployment: the identity service and the balancer, then the text service,
  // which reads the identity service's key set through the balancer.
  const [identityFront, textFront, ...textPorts] = await Promise.all([1, 2, 3, 4].map(freePort));
  const issuer = `https://127.0.0.1:${identityFront}/`;
  const identities = await Promise.all([1, 2].map(() => startIdentity({ certificate, database: postgres.url, issuer, audience })));
  for (const { process } of identities) cleanups.push(() => stopProcess(process));

  const config = haproxyConfig(identities.map(({ port }) => port), textPorts);
  const haproxy = spawn('timeout', ['-s', 'TERM', '300', 'haproxy', '-db', '-f', config], {
    stdio: ['ignore', 'ignore', 'pipe'],
    env: {
      ...process.env,
      PM_BACKEND_CA: certificate.cert,
      PM_CERTIFICATE: join(folder, 'one.pem'),
      PM_IDENTITY_BIND: `127.0.0.1:${identityFront}`,
      PM_TEXT_BIND: `127.0.0.1:${textFront}`,
    },
  });
  let log = '';
  haproxy.stderr.setEncoding('utf8').on('data', (chunk) => { log += chunk; });
  cleanups.push(() => stopProcess(haproxy));
  const ended = new Promise((_, reject) => { haproxy.once('exit', () => reject(new Error(`HAProxy ended:\n${log}`))); });
  ended.catch(() => {});

  const { ca } = certificate;
  await Promise.race([ended, waitFor('the identity service', async () => (await request(`${issuer}health`, { ca })).status === 200, 20, () => log)]);
  const texts = await Promise.all(textPorts.map((port) => startText(certificate, issuer, port, postgres.url)));
  for (const { process } of texts) cleanups.push(() => stopProcess(process));
  const text = `https://127.0.0.1:${textFront}/`;
  await Promise.race([ended, waitFor('the balancer', async () => (await request(`${text}health`, { ca })).status === 200
    && (await request(`${issuer}health`, { ca })).status === 200, 20, () => log)]);

  const tokens = await signIn(issuer, 'ana', password, ca);
  let refreshToken = tokens.refresh_token;
  let accessToken = tokens.access_token;
  const authorization = () => ({ authorization: `Bearer ${accessToken}` });
  const replace = () => request(`${text}v1/translate`, {
    method: 'POST', headers: authorization(), body: { q: 'The house is big.', source: 'en', target: 'es' }, ca,
  });
  const improve = () => request(`${text}v1/improve`, { method: 'POST', headers: authorization(), body: { q: 'i think so' }, ca });
  // Renewals one after the other alternate between the identity instances.
  const renewals = async (count) => {
    for (let i = 0; i < count; i += 1) {
      const renewed = await renew(issuer, refreshToken, ca);
      assert.equal(renewed.status, 200, JSON.stringify(renewed.body));
      ({ refresh_token: refreshToken, access_token: accessToken } = renewed.body);
    }
  };
  const everything = async (rounds) => {
    await renewals(2);
    const answers = await Promise.all(Array.from({ length: rounds }, (_, i) => (i % 2 ? improve() : replace())));
    for (const answer of answers) assert.equal(answer.status, 200, JSON.stringify(answer.body));
    return answers;
  };

  const [translated, improved] = await everything(2);
  assert.match(JSON.stringify(translated.body), /casa/);
  assert.match(JSON.stringify(improved.body), /I think so/);

  // A preferred gender stored through one text instance is in the ID tokens of both identity instances.
  const gender = await request(`${text}v1/user/metadata`, { method: 'PATCH', headers: authorization(), body: { gender: 'feminine' }, ca });
  assert.equal(gender.status, 200, JSON.stringify(gender.body));
  for (let i = 0; i < 2; i += 1) {
    const renewed = await renew(issuer, refreshToken, ca);
    ({ refresh_token: refreshToken, access_token: accessToken } = renewed.body);
    const claims = JSON.parse(Buffer.from(renewed.body.id_token.split('.')[1], 'base64url'));
    assert.equal(claims.pm_gender, 'feminine');
  }

  const killedAt = Date.now();
  identities[0].process.kill('SIGKILL');
  texts[0].process.kill('SIGKILL');
  await everything(20);
  await waitFor('both dead instances out', () => /identity1 is DOWN/.test(log) && /text1 is DOWN/.test(log), 5, () => log);
  const outAfter = Date.now() - killedAt;
  await everything(10);
  t.diagnostic(`dead instances out after ${outAfter} ms`);
});
