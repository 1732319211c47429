// The identity service's store: what it keeps on disk, and how. Run with `node --test`.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { chmodSync, mkdtempSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { createUser, findUser, loadKeys, loadUsers, passwordMatches, writeJson } from '../store.mjs';

const root = mkdtempSync(join(tmpdir(), 'pm-identity-'));
after(() => rmSync(root, { recursive: true, force: true }));
const mode = (path) => statSync(path).mode & 0o777;

test("every file is the owner's alone, whatever the umask, and a write replaces one whole", () => {
  const folder = join(root, 'data');
  const umask = process.umask(0);
  try {
    loadKeys(folder);
    createUser(folder, 'ana');
  } finally {
    process.umask(umask);
  }
  assert.equal(mode(folder), 0o700);
  for (const name of readdirSync(folder)) assert.equal(mode(join(folder, name)), 0o600, name);

  const file = join(folder, 'records.json');
  writeJson(file, { first: 1 });
  const before = statSync(file).ino;
  // Left behind by an interrupted write, and readable by others: never reused as it is.
  writeFileSync(`${file}.tmp`, 'partial');
  chmodSync(`${file}.tmp`, 0o644);
  writeJson(file, { second: 2 });
  assert.notEqual(statSync(file).ino, before);
  assert.equal(mode(file), 0o600);
  assert.deepEqual(JSON.parse(readFileSync(file, 'utf8')), { second: 2 });
  assert.deepEqual(readdirSync(folder).filter((name) => name.startsWith('records')), ['records.json']);
});

test('account.mjs makes the account once and prints its password once', () => {
  const folder = join(root, 'account');
  const script = fileURLToPath(new URL('../account.mjs', import.meta.url));
  const account = (...args) => execFileSync(process.execPath, [script, ...args], { encoding: 'utf8' });
  const password = account('--data-dir', folder, '--user', 'ana').trim();
  assert.match(password, /^[\w-]{16}$/);
  const text = readFileSync(join(folder, 'users.json'), 'utf8');
  assert.ok(!text.includes(password), 'the password is kept only as a hash');
  assert.equal(account('--data-dir', folder, '--user', 'ana'), '');
  assert.equal(readFileSync(join(folder, 'users.json'), 'utf8'), text);
  assert.throws(() => account('--user', 'ana'), (error) => error.status === 64);

  const user = findUser(loadUsers(folder), 'ana@localhost');
  assert.equal(user?.sub, 'local|ana');
  assert.ok(passwordMatches(user, password));
  for (const refused of ['', undefined, `${password} `, password.toUpperCase(), 'parlomatic']) {
    assert.equal(passwordMatches(user, refused), false, String(refused));
  }
});
