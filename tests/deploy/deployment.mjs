// A team deployment on loopback for the tests and the load run: PostgreSQL, identity and text
// service instances on it, and HAProxy with deploy/haproxy/parlomatic.cfg (only its "server" lines
// replaced), started in a deployment's order: the identity service and the balancer, then the text
// service, which reads the identity service's key set through the balancer.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { createUserIn, openDatabase } from '../../services/identity/pgstore.mjs';
import { startPostgres } from '../../services/identity/test/postgres.mjs';
import {
  makeCertificate, request, startIdentity, startProcess, stopProcess,
} from '../../services/identity/test/team.mjs';

const source = fileURLToPath(new URL('../..', import.meta.url));
const textService = join(process.env.PARLOMATIC_BUILD_DIR ?? join(source, 'build/dev'), 'bin/parlomatic-text-service');
export const audience = 'https://text.team.test/';

const freePort = () => new Promise((resolve, reject) => {
  const probe = createServer().once('error', reject).listen(0, '127.0.0.1', () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

// Resolves once `check` does, trying again every 100 ms until `seconds` passed.
export async function waitFor(what, check, seconds = 20, log = () => '') {
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
  const args = ['--cert', certificate.cert, '--key', certificate.key, '--issuer', issuer, '--audience', audience,
    '--ca-file', certificate.cert, '--port', String(port), '--grammar-worker', 'none', '--quiet', '--database', database];
  const { process: child, match } = await startProcess(textService, args, /ready (\d+)\n/);
  // The service has no lifetime of its own: should this process end early, it ends too.
  process.once('exit', () => child.kill('SIGTERM'));
  return { process: child, port: Number(match[1]) };
}

function haproxyConfig(folder, identityPorts, textPorts) {
  const shipped = readFileSync(join(source, 'deploy/haproxy/parlomatic.cfg'), 'utf8');
  const servers = (name, ports) => ports.map((port, i) => `    server ${name}${i + 1} 127.0.0.1:${port}`).join('\n');
  const config = shipped.replace(/(?:^ {4}server identity\d+ .*\n)+/m, `${servers('identity', identityPorts)}\n`)
    .replace(/(?:^ {4}server text\d+ .*\n)+/m, `${servers('text', textPorts)}\n`);
  if (config === shipped) throw new Error('the shipped configuration has no server lines to replace');
  const file = join(folder, 'haproxy.cfg');
  writeFileSync(file, config);
  return file;
}

// { issuer, text (the text service's base URL), ca, identities, texts, log(), login, password, stop() }.
export async function startDeployment({ identityCount = 2, textCount = 2, lifetime = 300 } = {}) {
  const folder = mkdtempSync(join(tmpdir(), 'pm-team-'));
  const cleanups = [() => rmSync(folder, { recursive: true, force: true })];
  const stop = async () => {
    for (const cleanup of cleanups.reverse()) await cleanup();
  };
  try {
    const postgres = await startPostgres({ lifetime });
    cleanups.push(() => postgres.stop());
    const certificate = makeCertificate(folder);
    writeFileSync(join(folder, 'one.pem'), readFileSync(certificate.cert, 'utf8') + readFileSync(certificate.key, 'utf8'));
    const pool = await openDatabase(postgres.url);
    cleanups.push(() => pool.end());
    const password = await createUserIn(pool, 'ana');

    const [identityFront, textFront, ...textPorts] = await Promise.all(
      Array.from({ length: 2 + textCount }, freePort),
    );
    const issuer = `https://127.0.0.1:${identityFront}/`;
    const identities = await Promise.all(Array.from({ length: identityCount },
      () => startIdentity({ certificate, database: postgres.url, issuer, audience })));
    for (const { process: child } of identities) cleanups.push(() => stopProcess(child));

    const haproxy = spawn('timeout', ['-s', 'TERM', String(lifetime), 'haproxy', '-db', '-f',
      haproxyConfig(folder, identities.map(({ port }) => port), textPorts)], {
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
    const answers = async (url) => (await request(url, { ca })).status === 200;
    await Promise.race([ended, waitFor('the identity service', () => answers(`${issuer}health`), 20, () => log)]);
    const texts = await Promise.all(textPorts.map((port) => startText(certificate, issuer, port, postgres.url)));
    for (const { process: child } of texts) cleanups.push(() => stopProcess(child));
    const text = `https://127.0.0.1:${textFront}/`;
    await Promise.race([ended, waitFor('the balancer', () => answers(`${text}health`), 20, () => log)]);
    return {
      issuer, text, ca, identities, texts, log: () => log, login: 'ana', password, stop,
    };
  } catch (error) {
    await stop();
    throw error;
  }
}
