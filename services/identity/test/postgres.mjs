// A PostgreSQL of its own for a test: initdb in a temporary folder, the server on 127.0.0.1 as an
// unprivileged user (nobody, when the tests run as root), ended by its PID. A watchdog shell ends
// it too when the test process goes away (its standard input closes) or after `lifetime` seconds.
import { execFileSync, spawn } from 'node:child_process';
import { chownSync, existsSync, mkdtempSync, readdirSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

function binaries() {
  const found = execFileSync('sh', ['-c', 'command -v initdb || true'], { encoding: 'utf8' }).trim();
  if (found) return found.replace(/\/initdb$/, '');
  const versions = existsSync('/usr/lib/postgresql') ? readdirSync('/usr/lib/postgresql').sort((a, b) => b - a) : [];
  if (versions.length === 0) throw new Error('PostgreSQL is not installed (scripts/setup installs it)');
  return `/usr/lib/postgresql/${versions[0]}/bin`;
}

const freePort = () => new Promise((resolve, reject) => {
  const probe = createServer().once('error', reject).listen(0, '127.0.0.1', () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

export async function startPostgres({ lifetime = 300 } = {}) {
  const bin = binaries();
  const folder = mkdtempSync(join(tmpdir(), 'pm-postgres-'));
  const asRoot = process.getuid() === 0;
  const run = asRoot ? ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups', '--'] : [];
  if (asRoot) chownSync(folder, Number(execFileSync('id', ['-u', 'nobody'])), Number(execFileSync('id', ['-g', 'nobody'])));
  const data = join(folder, 'data');
  execFileSync(run[0] ?? `${bin}/initdb`, [...run.slice(1), ...(asRoot ? [`${bin}/initdb`] : []),
    '-D', data, '-U', 'postgres', '-A', 'trust', '-E', 'UTF8', '--no-locale', '--no-sync'], { stdio: 'ignore' });

  // A port just free may be taken before the server binds it: then it fails at once; try another.
  for (let attempt = 0; attempt < 5; attempt += 1) {
    const port = await freePort();
    const script = `exec 3<&0
      timeout -s INT "$3" "${bin}/postgres" -D "$1/data" -k "$1" -h 127.0.0.1 -p "$2" -F 2>"$1/log" & pid=$!
      (read -r _ <&3; kill -INT "$pid" 2>/dev/null) & reader=$!
      trap 'kill -INT "$pid"' TERM
      wait "$pid"; wait "$pid"; kill "$reader" 2>/dev/null; exit 0`;
    const shell = spawn(run[0] ?? 'sh', [...run.slice(1), ...(asRoot ? ['sh'] : []), '-c', script, 'postgres', folder, String(port), String(lifetime)],
      { stdio: ['pipe', 'ignore', 'ignore'] });
    const exited = new Promise((resolve) => { shell.once('exit', resolve); });
    const url = `postgresql://postgres@127.0.0.1:${port}/postgres`;
    if (await ready(port, exited)) {
      return {
        url,
        folder,
        async stop() {
          shell.kill('SIGTERM');
          await exited;
          rmSync(folder, { recursive: true, force: true });
        },
      };
    }
  }
  rmSync(folder, { recursive: true, force: true });
  throw new Error('PostgreSQL did not start');
}

// Ready once a connection is accepted; not ready when the server ended first.
async function ready(port, exited) {
  const { default: pg } = await import('pg');
  let ended = false;
  exited.then(() => { ended = true; });
  const deadline = Date.now() + 30000;
  while (!ended && Date.now() < deadline) {
    const client = new pg.Client({ host: '127.0.0.1', port, user: 'postgres', database: 'postgres' });
    try {
      await client.connect();
      await client.end();
      return true;
    } catch {
      await Promise.race([exited, new Promise((resolve) => { setTimeout(resolve, 50); })]);
    }
  }
  return false;
}
